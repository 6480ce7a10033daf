// A pipe backend driven by the test: records every transfer, fails chosen ones, and
// answers IN transfers from a queue that a responder fills when a wrapper arrives.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/pipe.h"

struct PipeEvent {
    uint8_t pipe;
    uint32_t length;
    std::vector<uint8_t> out;  // bytes sent on an OUT transfer
};

class ScriptedPipe {
public:
    ScriptedPipe();
    ~ScriptedPipe();

    std::vector<PipeEvent> events;
    std::set<size_t> failAt;  // transfer indices (0-based) that fail with an error
    std::map<size_t, TransferResult> resultAt;  // transfer indices that end otherwise (a stall: the device's
                                                // message waits until the halt is cleared)
    int errorCode = 31;       // the error reported for a failed transfer
    int goneCode = 0;         // an error that means the device is gone (0: none does)
    // The control requests, in order: "clear-halt 0x81", "clear-halt 0x02", "reset". A
    // reset drops what the device had queued; resetResult is its outcome.
    std::vector<std::string> requests;
    TransferResult resetResult = TransferResult::kGood;
    std::deque<std::vector<uint8_t>> inQueue;
    std::function<void(ScriptedPipe&, const uint8_t* cbw)> onCbw;
    bool opens = true;

    // A responder that answers INQUIRY with the given identity and 0x80 with the words.
    void ActAsController(const std::string& identity, const std::vector<uint32_t>& systemInfo);

    // A status wrapper; with kEchoTag it carries the tag of the last wrapper sent when it
    // is read, as a device's does.
    static constexpr uint32_t kEchoTag = 0xEC40EC40;
    static std::vector<uint8_t> Csw(uint32_t signature = 0x53425355, uint32_t residue = 0, uint8_t status = 0,
                                    uint32_t tag = kEchoTag);
    uint32_t lastTag = 0;  // dCBWTag of the last wrapper sent
    static const PipeBackend kBackend;
    static ScriptedPipe* current;
    int lastError = 0;
};

// The "[FAIL] ..." diagnostics of the bulk-only adapter, without their line end, while
// CollectFailures is in force. It puts a reporter in place that prints console text
// to standard output as the tool does and keeps the "[FAIL]" diagnostics (other
// diagnostics still go to standard error); StopCollectingFailures removes it.
std::vector<std::string>& CollectedFailures();
void CollectFailures();
void StopCollectingFailures();
