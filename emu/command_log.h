// Fault injection and the trace, for every front of the emulator: commands are numbered
// from 1 across every device (connection) that shares one log, each --fault option picks
// a command by that number, and the trace gets one JSON line per command.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "emu/bulk_only_device.h"

namespace emu {

// A fault hits the command wrapper with this number: wrappers are counted from 1 since
// the emulator started, across connections, malformed wrappers included.
struct Fault {
    FaultKind kind;
    uint64_t command;
};

// Parses "KIND@N"; false when the text is not one.
bool ParseFault(const std::string& text, Fault* fault);

class CommandLog {
public:
    explicit CommandLog(std::vector<Fault> faults = {}) : faults_(std::move(faults)) {}
    // Where the trace goes (null: nowhere); the log does not own the file.
    void SetTrace(FILE* trace) { trace_ = trace; }
    // Wrappers numbered so far.
    uint64_t Count() const { return count_; }

    // The listener of one device: `connection` names it in the trace.
    class Connection : public CommandListener {
    public:
        Connection(CommandLog& log, uint64_t connection) : log_(log), connection_(connection) {}
        std::optional<FaultKind> OnWrapper() override;
        void OnOutcome(const CommandOutcome& outcome) override;
        // The number of this connection's latest command, and whether that command's
        // outcome leaves nothing to send (no-answer, or the host gone in its data phase).
        uint64_t Current() const { return current_; }
        bool CurrentUnanswered() const { return unanswered_; }

    private:
        CommandLog& log_;
        const uint64_t connection_;
        uint64_t current_ = 0;
        bool unanswered_ = false;
    };

private:
    void Write(uint64_t number, uint64_t connection, const CommandOutcome& outcome);

    std::vector<Fault> faults_;
    FILE* trace_ = nullptr;
    uint64_t count_ = 0;
};

}  // namespace emu
