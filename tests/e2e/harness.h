// End-to-end test harness: runs a real qp7730-emu in a private temporary directory, runs
// the real qp7730 against it, and inspects the controller afterwards through the socket
// (memory), the flash file (flash) and the panel PNG (panel).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// How the tool and the emulator meet: the AF_UNIX socket, or loopback TCP.
enum class Transport { Unix, Tcp };
// Tcp when QP7730_E2E_TRANSPORT is "tcp", else Unix: the whole suite can run over TCP.
Transport TransportFromEnvironment();
inline void PrintTo(Transport transport, std::ostream* os) { *os << (transport == Transport::Tcp ? "tcp" : "unix"); }

// A running qp7730-emu with a private socket, flash file, trace and panel PNG in a fresh
// temporary directory. The constructor waits until the emulator listens and throws
// std::runtime_error when it does not start (the text has its exit status and what it
// printed). The destructor stops it (SIGTERM, wait) and
// removes the directory.
class Emulator {
public:
    // extraOptions go to qp7730-emu after the harness's own --socket (Transport::Tcp:
    // --listen 127.0.0.1:0), --flash-file, --trace and --png; giving one of those in
    // extraOptions overrides the harness's choice.
    explicit Emulator(const std::vector<std::string>& extraOptions = {},
                      Transport transport = TransportFromEnvironment());
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Where the emulator listens, as QP7730_EMULATOR names it: the socket path, or
    // "tcp:127.0.0.1:PORT".
    const std::string& SocketPath() const { return socket_; }
    const std::string& PngPath() const { return png_; }
    const std::string& FlashFilePath() const { return flash_; }
    const std::string& TracePath() const { return trace_; }
    const std::string& TempDir() const { return dir_; }
    // What the emulator printed on standard output up to its "listening on" line.
    const std::string& StartupOutput() const { return startupOutput_; }
    pid_t Pid() const { return pid_; }

    // True while the emulator process has not ended.
    bool Running();
    // Waits up to timeoutMs for the emulator to end on its own (e.g. --exit-after);
    // returns its exit status, or -1 when it is still running or ended by a signal.
    int WaitForExit(int timeoutMs);
    // SIGTERM and wait; returns the exit status (-1 for a signal). Idempotent.
    int Stop();
    // What the emulator wrote on standard error so far.
    std::string Stderr() const;
    // The trace file's lines.
    std::vector<std::string> TraceLines() const;
    // Waits until the trace holds at least n lines (the emulator writes a command's line
    // before its status goes out); false when it does not within timeoutMs.
    bool WaitForTraceLines(size_t n, int timeoutMs) const;

private:
    std::string dir_, socket_, png_, flash_, trace_, stderrPath_, startupOutput_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    bool reaped_ = false;
};

struct RunResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // 0..255, or -1 when ended by a signal or the timeout
    int signal = 0;       // the signal that ended the run, 0 when it exited (or timed out)
};

// This build's qp7730 binary.
const char* ToolPath();

// How a run of qp7730 reaches the emulator.
enum class Route {
    // The tool's own emulator route: QP7730_EMULATOR names the socket.
    Emulator,
    // The drive route: the SG_IO stand-in (tests/sg_preload) is preloaded into the tool,
    // kDriveName is the one SCSI disk there is, and its requests go to the emulator's
    // socket; QP7730_EMULATOR names a path where nothing listens, so discovery gets past
    // the pipe routes to the drive letters.
    Drive,
};

// The disk that stands for the controller on the drive route, and its discovery lines.
constexpr const char* kDriveName = "/dev/sdc";
std::string DriveDiscoveryLines();

// The SG_IO stand-in library (tests/sg_preload) that the drive route preloads.
std::string SgPreloadPath();
// The file that stands for kDriveName's node in front of the emulator at socketPath (a
// drive-route run's flock on the drive lands there).
inline std::string StandInDrivePath(const std::string& socketPath) { return socketPath + ".sdc"; }

// Route of RunTool: Drive when the environment has QP7730_E2E_ROUTE=sg, else Emulator.
// ctest runs the end-to-end executables once with each.
Route DefaultRoute();

struct RunOptions {
    Route route = DefaultRoute();
    std::vector<std::string> env;  // extra NAME=VALUE entries for the tool
    int timeoutSec = 120;
    // On the drive route with an emulator, RunTool checks that standard output begins with
    // DriveDiscoveryLines() (a test failure when not) and removes them, so that the same
    // expectations hold on both routes. False keeps the output whole.
    bool stripDiscovery = true;
    // Standard output goes to this file instead (e.g. "/dev/full") and out stays empty.
    const char* stdoutFile = nullptr;
    // The program run and its leading words; empty: ToolCommand().
    std::vector<std::string> command;
    // Called with standard error so far whenever more of it arrives, while the run goes on.
    std::function<void(const std::string& err)> onStderr;
};

// Runs the qp7730 binary with args against the emulator at socketPath (empty: none, the
// tool finds no controller), stdin from /dev/null; stdout and stderr captured separately.
RunResult RunTool(const std::vector<std::string>& args, const std::string& socketPath, const RunOptions& options);
RunResult RunTool(const std::vector<std::string>& args, const std::string& socketPath, int timeoutSec = 120);

// A run of the tool started like RunTool's, for a test that acts while it runs (sends it
// a signal, stops the emulator). Wait collects what RunTool returns; the destructor ends
// a run that was not waited for (SIGKILL).
class ToolRun {
public:
    ToolRun(const std::vector<std::string>& args, const std::string& socketPath, const RunOptions& options = {});
    ~ToolRun();
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;
    pid_t Pid() const { return pid_; }
    RunResult Wait();

private:
    RunOptions options_;
    std::string socketPath_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

// A trace that qp7730-emu writes into a pipe of one page (pass --trace Path(); construct
// it before the Emulator, which opens it as it starts). Reading it follows the commands as
// they are served. While it is not read the emulator stops within a few commands: a trace
// line is written before the command's status goes out, and the write waits for room. A
// test can so act while a host is at a known point of its run, without timing anything.
class TracePipe {
public:
    TracePipe();
    ~TracePipe();  // the emulator must have ended (or never started)
    TracePipe(const TracePipe&) = delete;
    TracePipe& operator=(const TracePipe&) = delete;
    const std::string& Path() const { return path_; }
    // Reads trace lines until one holds `text`, then stops reading. False when the trace
    // ends first or timeoutMs passes.
    bool WaitFor(const std::string& text, int timeoutMs = 30000);
    // From now on reads everything, in a thread of its own, so the emulator never waits.
    void Drain();
    // Every line read, once the emulator has ended (the thread of Drain is joined).
    std::vector<std::string> Lines();

private:
    bool ReadSome(int timeoutMs);
    std::string dir_, path_, partial_;
    int fd_ = -1;
    std::vector<std::string> lines_;
    std::thread drainer_;
};

// The command RunTool runs: this build's qp7730, or the words (separated by blanks) of
// QP7730_E2E_TOOL when that is set, e.g. a Windows qp7730.exe behind Wine.
std::vector<std::string> ToolCommand();
// True when the tool is a Windows program (the command's last word ends in ".exe").
bool ToolIsWindowsProgram();

// A minimal bulk-only host of its own (not libqp7730), for looking into the controller.
class EmuClient {
public:
    // Connects to a socket path or a "tcp:HOST:PORT" address (then every message travels
    // as its 4-byte little-endian length and its bytes); throws std::runtime_error when
    // nobody answers.
    explicit EmuClient(const std::string& socketPath);
    ~EmuClient();
    EmuClient(const EmuClient&) = delete;
    EmuClient& operator=(const EmuClient&) = delete;

    // Bound of every receive, in ms (default 6,000 like the tool's transfers). Make it
    // short to check that no answer comes.
    void SetTimeoutMs(int ms) { timeoutMs_ = ms; }

    // One command with a data-out phase (or none when dataOut is empty). Returns the CSW
    // status (0 pass, 1 fail, 2 phase error), or -1 when the exchange broke: no reply in
    // time, a status wrapper of the wrong size or signature, a lost connection.
    int Raw(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut = {});
    // One command with a data-in phase of inLength bytes; *dataIn receives the bytes of all
    // data messages (fewer than inLength on a short transfer).
    int Raw(std::span<const uint8_t> cdb, uint32_t inLength, std::vector<uint8_t>* dataIn);

    // Controller memory through 0x81 / 0xA5 in pieces of at most 65,535 bytes; throw
    // std::runtime_error when a piece fails.
    std::vector<uint8_t> ReadMemory(uint32_t address, uint32_t length);
    void WriteMemory(uint32_t address, std::span<const uint8_t> data);

    // The 30 system-information words in host order (0x80 asked for 120 bytes).
    std::vector<uint32_t> SystemInfo();

    // Framing-level access for protocol tests.
    bool SendMessage(std::span<const uint8_t> message);
    // One message within the timeout: false on timeout, end of connection or error.
    bool ReceiveMessage(std::vector<uint8_t>* message);
    // Bytes as they are, without framing (TCP: to send lengths no message may have).
    bool SendBytes(std::span<const uint8_t> bytes);
    // True when the emulator closes the connection within the timeout.
    bool ClosedByPeer();
    // Fields of the last status wrapper received by Raw.
    uint32_t LastCswSignature() const { return lastSignature_; }
    uint32_t LastCswTag() const { return lastTag_; }
    uint32_t LastCswResidue() const { return lastResidue_; }

    static std::vector<uint8_t> MakeCbw(std::span<const uint8_t> cdb, uint32_t length, bool dataIn,
                                        uint32_t tag = 0x77307740);

private:
    int Finish();
    // Reads exactly length bytes before the deadline (TCP).
    bool ReadStream(uint8_t* buf, size_t length, int timeoutMs);
    int fd_ = -1;
    bool tcp_ = false;
    int timeoutMs_ = 6000;
    uint32_t lastSignature_ = 0;
    uint32_t lastTag_ = 0;
    uint32_t lastResidue_ = 0;
};

// Vendor block with the sub-command in byte 6 (INQUIRY: pass 0x12 as opcode).
std::vector<uint8_t> VendorCdb(uint8_t subCommand);

// Decodes a PNG as 8-bit grey; throws std::runtime_error on failure.
std::vector<uint8_t> ReadGreyPng(const std::string& path, uint32_t* width, uint32_t* height);
// The emulator replaces its panel PNG shortly after a refresh, not before answering it:
// waits, woken by every replacement of the file, until it decodes to a picture for which
// `shows` is true, and returns that picture; when timeoutMs passes first, the last one
// read (empty when none could be), for the caller's expectations to show what it held.
std::vector<uint8_t> WaitForGreyPng(const std::string& path, const std::function<bool(const std::vector<uint8_t>&)>& shows,
                                    uint32_t* width = nullptr, uint32_t* height = nullptr, int timeoutMs = 10000);
// The same, until the picture is exactly `pixels`.
std::vector<uint8_t> WaitForGreyPng(const std::string& path, const std::vector<uint8_t>& pixels,
                                    uint32_t* width = nullptr, uint32_t* height = nullptr, int timeoutMs = 10000);
// Whole file; throws std::runtime_error when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);

}  // namespace e2e
