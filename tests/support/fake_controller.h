// An in-process controller behind the transport entry: records every command block and
// data phase, and models enough of the controller (memory, flash, system information)
// for the operations above it to run for real.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/device_state.h"
#include "link/pipe.h"

struct RecordedCommand {
    std::array<uint8_t, 16> cdb{};
    uint16_t recordLength = 0;
    uint8_t cdbLength = 0;
    uint8_t dataIn = 0;
    uint32_t length = 0;
    const void* buffer = nullptr;
    uint32_t timeout = 0;
    std::vector<uint8_t> dataOut;  // copy of an outgoing data phase
    uint8_t SubCommand() const { return cdb[6]; }
};

class FakeController {
public:
    FakeController();
    ~FakeController();

    // Makes this controller the open device of g_DeviceState (bulk-only kind) and reads
    // its system information as start-up does (the log starts empty afterwards).
    void Install(uint32_t panelWidth = 800, uint32_t panelHeight = 600, uint32_t imageBuffer = 0x12000);

    std::vector<RecordedCommand> log;
    std::vector<uint8_t> memory;  // controller memory from address 0
    std::vector<uint8_t> flash;   // NOR flash
    uint32_t systemInfo[kSystemInfoWords] = {};
    // Bytes of the system-information reply; fewer than the host asks for make a short
    // reply (the transport reports only these as returned).
    uint32_t systemInfoBytes = sizeof systemInfo;
    std::string identity = "Generic Storage RamDisc 1.00";
    uint16_t vcom = 0;
    uint8_t powerState = 0;
    uint32_t engine[2] = {0x00010203, 0x0A0B0C0D};

    // When set, decides the transport result of each command after it was recorded
    // (and before it is carried out): return false to fail it without effect.
    std::function<bool(const RecordedCommand&, size_t index)> accept;
    // When set and true for a command, the command is reported as carried out but has no
    // effect, as a failed command on the drive route (whose result is the request's, not
    // the controller's) or a flash chip that ignores it.
    std::function<bool(const RecordedCommand&, size_t index)> ignore;
    // Data-in replies for commands the model does not know (by sub-command).
    std::function<void(const RecordedCommand&, uint8_t* data)> reply;

    std::vector<const RecordedCommand*> WithSubCommand(uint8_t sub) const;

private:
    PipeDevice* handle_ = nullptr;  // owned by g_DeviceState once installed
    static BOOL Transport(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, LPOVERLAPPED);
    // *returned: the data bytes the command moved (set only for a shorter data-in reply).
    bool Execute(const RecordedCommand& cmd, uint8_t* dataIn, uint32_t* returned);
};

// Big-endian helpers for building expected byte strings in tests.
std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::string Hex(const uint8_t* data, size_t n);
