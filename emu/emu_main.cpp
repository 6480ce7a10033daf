// qp7730-emu: a software QP7730 controller served on a local socket.
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "emu/display_modes.h"
#include "emu/http_panel.h"
#include "emu/model.h"
#include "emu/server.h"

namespace {

const char kUsage[] = R"(Usage: qp7730-emu [OPTION]...
A software QP7730 e-paper controller. It serves the controller's USB Bulk-Only protocol on
an AF_UNIX SOCK_SEQPACKET socket (one message = one bulk transfer); qp7730 finds it there.
The socket is its owner's only, and clients of other users (root aside) are refused.

Like a drive that several processes open, it serves up to 16 connections at once (more are
refused), each one an opened device: whenever a connection has a whole command (its wrapper
and data-out phase), that command is carried out, then every other connection with one
gets its turn; commands of different hosts interleave, each carried out whole. A connection
that sends nothing for 10 s after it connects, or stops for 10 s in the middle of a message
or of a data-out phase, is dropped; one that does not read its answer for 10 s likewise.

Socket and outputs:
  --socket PATH           socket to serve (default: $QP7730_EMULATOR if set and not empty,
                          else $XDG_RUNTIME_DIR/qp7730-emu.sock, else /tmp/qp7730-emu-<uid>.sock);
                          PATH.lock is held while serving, and PATH.run-lock (owner-only)
                          is where qp7730 runs take turns; both are removed at the end
  --listen HOST:PORT      serve loopback TCP instead (also when $QP7730_EMULATOR is
                          tcp:HOST:PORT): each message is a 4-byte little-endian length and
                          then that many bytes; hosts use QP7730_EMULATOR=tcp:HOST:PORT. Only
                          127.0.0.0/8 and ::1 are accepted ([::1]:PORT for IPv6); port 0 takes
                          a free port, shown on the "listening on" line. Any local user can
                          connect to a TCP port and no credentials are checked: this form is
                          for development and tests (and Windows hosts); the AF_UNIX socket
                          stays the default
  --usbredir PATH         be a USB device on a QEMU guest's virtual bus instead: listen on the
                          AF_UNIX stream socket PATH (owner-only; PATH.lock is held) for QEMU's
                          -chardev socket,id=ID,path=PATH with -device usb-redir,chardev=ID
                          (behind -device qemu-xhci, or added on the monitor), serve that one
                          connection as device 3a7c:7730 (high speed, one Bulk-Only mass-storage
                          interface, bulk endpoints 0x02 and 0x81), and end when QEMU disconnects
  --png PATH              panel image, 8-bit grey PNG, replaced atomically at start, after
                          refreshes and at the end (default: the socket path with ".sock"
                          replaced by "-panel.png"; with --listen, that of the default socket
                          path; an empty PATH turns it off). It is written beside the command
                          path, so refreshes never wait for it: refreshes that come while a
                          picture is made are shown together by the next one, and the file is
                          current within 100 ms after the last refresh
  --png-sync              write the panel image before each refresh is answered instead (every
                          refresh then waits for the whole panel to be encoded and written,
                          milliseconds at 1872 x 1404): for scripts that read the file the
                          moment a refresh returns
  --http HOST:PORT        serve the live panel on loopback HTTP: one page that shows the panel
                          as it is and follows every refresh (server-sent events), with the
                          last refreshed rectangle outlined and its mode named. Only
                          127.0.0.0/8 and ::1 ([::1]:PORT); port 0 takes a free port, shown on
                          the "live panel on" line (standard output, before "listening on").
                          Read-only: GET of /, /panel.png and /events, other methods 405; at
                          most 8 clients at once. Any local user can look at it
  --flash-file PATH       keep the 16 MiB serial flash in PATH: used as it is when it has that
                          size, filled with the initial content when it is new or empty; a file
                          of any other size is refused and left untouched. The flash itself
                          lives in memory and every change is written to the file as it happens,
                          so changing the file meanwhile changes nothing for the hosts (default:
                          flash lives in memory only)
  --trace FILE            one JSON line per command: seq, conn (the connection, numbered from 1
                          in the order accepted), cmd, cdb (hex), dir (in/out/none), len, data
                          (hex, first 64 bytes then "..."), fault, status
  --interleave            accepted for scripts written before serving connections together became the
                          default (see above)

Controller:
  --width N               panel width (default 1872)
  --height N              panel height (default 1404)
  --image-buffer ADDR     image buffer address (default 0x00120000)
  --memory-mib N          controller memory in MiB, zero at start (default 64)
  --waveform-address ADDR waveform flash address reported (default 0x00200000; 0xFFFFFFFF and 0
                          are accepted)
  --refresh-ms N          time a refresh with enWait = 1 takes (default 0)
  --identity TEXT         INQUIRY identity, up to 28 characters, padded with spaces
                          (default "Generic Storage RamDisc 1.00")
  --fw-version TEXT       firmware version text at flash 0x120, up to 16 characters, zero padded
                          (default "FW 1.02 emu")
  --lut-version TEXT      LUT version text at flash 0x130, up to 16 characters
                          (default "QP7730-LUT-EMU01": all 16 bytes, no terminator)
  --ignore-programming    a flash chip that no longer takes programming: flash writes (0x98)
                          are answered as passed and change nothing; erases still work

Fault injection and power loss:
  --fault KIND@N          make command N misbehave (repeatable). N counts the command wrappers
                          received since the emulator started, from 1, across connections,
                          malformed ones included; each qp7730 run begins with INQUIRY (its first
                          command) and system information 0x80 (its second). KIND is one of:
                            fail-status    not carried out; data phase exchanged in full (zeros
                                           for data-in); status 1
                            bad-signature  carried out; the status wrapper's signature is "USBC"
                            no-answer      not carried out; the wrapper and any data-out are
                                           consumed and nothing at all is sent back, so the
                                           host times out; the next message is a new wrapper
                            short-data     data-in: only half the data is sent, as one message;
                                           data-out: all is consumed but only the first half is
                                           kept, the rest reads as zeros; the command is then
                                           carried out and answered as usual
                            flip-bit       the lowest bit of the middle byte of the data the
                                           command moves is flipped: programmed into flash
                                           (0x98), copied to memory (0x97), written to memory
                                           (0xA5, 0xA2 pixels, 0xAA picture), or sent back (data-in);
                                           commands that move no data run unchanged
                            stall-data     not carried out; on USB the pipe of the data phase
                                           halts at its first transfer; over the socket, which
                                           has no stall, the phase is exchanged in full (zeros
                                           for data-in); status 1 with the whole length as
                                           residue; commands that move no data run unchanged
                            stall-status   on USB the first read of the status halts 0x81; the
                                           status goes out on the read after the halt is
                                           cleared; over the socket it goes out as usual
                            phase-error    not carried out; data phase exchanged in full (zeros
                                           for data-in); status 2 (phase error); on USB both
                                           pipes then halt until the host's reset recovery
                          A fault on a malformed wrapper has no effect (it gets status 2 anyway).
  --exit-after N          end right after command N has been answered, as on power loss
                          (socket removed, flash file as it is)
  --help                  this text

Numbers are decimal or 0x-hexadecimal.

Standard SCSI commands: the controller is a removable disk with no medium (TEST UNIT READY:
NOT READY, MEDIUM NOT PRESENT 02/3A). REQUEST SENSE gives the sense of the last failed command
(fixed format), then NO SENSE; INQUIRY answers for its allocation length (0, the tool's: the
whole 40-byte reply); MODE SENSE gives a bare header; PREVENT ALLOW MEDIUM REMOVAL, START STOP
UNIT and SYNCHRONIZE CACHE pass; READ CAPACITY, reads and writes: MEDIUM NOT PRESENT; unknown
opcodes: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE (05/20). A failed vendor command leaves
INVALID FIELD IN CDB (05/24), fail-status INTERNAL TARGET FAILURE (04/44).

Display (0x94): the rectangle of memory at the given address (pitch = panel width) goes to the
panel, which starts white, as the mode shows it: a 16-level mode keeps the upper four bits of
each value v ((v >> 4) * 17), a 2-level mode shows black below 128 and white from 128 on. The
modes (any other is refused: failing status, INVALID FIELD IN CDB, the panel unchanged):
)";

const char kUsageTail[] = R"(
Other replies: 0x80 gives 30 big-endian words (4 width, 5 height, 7 image buffer, 19 waveform
address; 0 "7730", 1 version 0x00010002, 2 last memory address, 3 flash size, 8 temperature,
13 erase block, 16 image library address, 20 VCOM, 21 power state, 24 refresh count, 29
0x7730E7E7). 0xAD answers 0x00773001 (engine id) and 0x00010002 (engine revision). 0xA3 keeps
VCOM (start 1500) and the power state (start 0) and answers VCOM in bytes 0-1, state in byte 2.
0xAC is accepted without data.

Image library, in flash at 0x00800000: a 148-byte header ("QP7730 IMAGE LIB", "EMU LIB 1.00",
NumImg at 32, library address at 36, list offset at 40, data offset at 44), 16-byte entries from
0x00800100 (index, Nbpp 8, data offset from the library address, width, height, byte count),
8-bit grey pictures from 0x00801000:
  0  800 x 480  horizontal gradient          2  640 x 480  16 vertical grey bars
  1  400 x 400  checkerboard, 50-px squares  3  256 x 256  diagonal ramp (x + y)
0xAA words: 0 index, 1 x, 2 y, 3 reserved, 4 width, 5 height; the top-left width x height of
the picture (0 = its own size) goes to the image buffer at (x, y). 0xAB: count n, then n groups
(index, x, y) of whole pictures; all are checked before any is loaded.
)";

bool ParseNumber(const char* text, uint32_t* value) {
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal after 0x; a leading zero does not mean octal.
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(*digits)) : std::isdigit(static_cast<unsigned char>(*digits)))) {
        return false;
    }
    const unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

void PrintUsage() {
    std::fputs(kUsage, stdout);
    for (const DisplayMode& mode : kDisplayModes) {
        const std::string levels = mode.levels == 0 ? "white" : std::to_string(mode.levels) + " levels";
        std::printf("  %u  %-10s %-10s %s\n", mode.number, mode.name, levels.c_str(), mode.use);
    }
    std::fputs(kUsageTail, stdout);
}

void OnStopSignal(int) { emu::Server::RequestStop(); }

int Fail(const std::string& message) {
    std::fprintf(stderr, "qp7730-emu: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    emu::ModelConfig model;
    emu::ServerConfig server;
    bool pngGiven = false;
    std::string usbredirPath, httpAddress;

    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool hasValue = false;
        if (option == "--help" || option == "-h") {
            PrintUsage();
            return 0;
        }
        if (const size_t eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            hasValue = true;
        }
        auto next = [&](std::string* out) {
            if (hasValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string arg;
        uint32_t number = 0;
        auto numeric = [&](uint32_t* out, uint32_t min) {
            if (!next(&arg) || !ParseNumber(arg.c_str(), &number) || number < min) return false;
            *out = number;
            return true;
        };
        bool ok = true;
        if (option == "--socket") ok = next(&server.socketPath) && !server.socketPath.empty();
        else if (option == "--listen") ok = next(&server.listenAddress) && !server.listenAddress.empty();
        else if (option == "--usbredir") ok = next(&usbredirPath) && !usbredirPath.empty();
        else if (option == "--png") ok = next(&model.pngPath), pngGiven = true;
        else if (option == "--png-sync") ok = !hasValue, model.pngSync = true;
        else if (option == "--http") ok = next(&httpAddress) && !httpAddress.empty();
        else if (option == "--flash-file") ok = next(&model.flashFile);
        else if (option == "--trace") ok = next(&server.tracePath);
        else if (option == "--interleave") ok = !hasValue;  // what it asked for is the default now
        else if (option == "--width") ok = numeric(&model.panelWidth, 1) && model.panelWidth <= 65535;
        else if (option == "--height") ok = numeric(&model.panelHeight, 1) && model.panelHeight <= 65535;
        else if (option == "--image-buffer") ok = numeric(&model.imageBufferAddress, 0);
        else if (option == "--memory-mib") ok = numeric(&model.memoryMiB, 1) && model.memoryMiB <= 4096;
        else if (option == "--waveform-address") ok = numeric(&model.waveformAddress, 0);
        else if (option == "--refresh-ms") ok = numeric(&model.refreshMs, 0) && model.refreshMs <= 60000;
        else if (option == "--identity") ok = next(&model.identity) && model.identity.size() <= 28;
        else if (option == "--fw-version") ok = next(&model.fwVersion) && model.fwVersion.size() <= 16;
        else if (option == "--lut-version") ok = next(&model.lutVersion) && model.lutVersion.size() <= 16;
        else if (option == "--ignore-programming") ok = !hasValue, model.ignoreProgramming = true;
        else if (option == "--exit-after") {
            uint32_t n = 0;
            ok = numeric(&n, 1);
            server.exitAfter = n;
        } else if (option == "--fault") {
            emu::Fault fault{};
            ok = next(&arg) && emu::ParseFault(arg, &fault);
            if (ok) server.faults.push_back(fault);
        } else {
            std::fprintf(stderr, "qp7730-emu: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "qp7730-emu: bad or missing value for %s (see --help)\n", option.c_str());
            return 2;
        }
    }
    if (uint64_t{model.panelWidth} * model.panelHeight > (uint64_t{1} << 28)) {
        return Fail("panel of " + std::to_string(model.panelWidth) + " x " + std::to_string(model.panelHeight) +
                    " pixels is too large");
    }
    if (uint64_t{model.imageBufferAddress} + uint64_t{model.panelWidth} * model.panelHeight >
        (uint64_t{model.memoryMiB} << 20)) {
        std::fprintf(stderr, "qp7730-emu: warning: the image buffer does not fit in controller memory\n");
    }
    if (!server.socketPath.empty() && !server.listenAddress.empty()) {
        std::fprintf(stderr, "qp7730-emu: give either --socket or --listen, not both\n");
        return 2;
    }
    if (!usbredirPath.empty()) {
        if (!server.socketPath.empty() || !server.listenAddress.empty()) {
            std::fprintf(stderr, "qp7730-emu: --usbredir serves QEMU alone: no --socket or --listen\n");
            return 2;
        }
        // Power loss is for the socket's tests; on the bus, QEMU's monitor unplugs the device.
        if (server.exitAfter != 0) {
            std::fprintf(stderr, "qp7730-emu: --exit-after does not apply to --usbredir\n");
            return 2;
        }
        server.socketPath = usbredirPath;
        server.usbredir = true;
    }
    if (server.socketPath.empty() && server.listenAddress.empty()) {
        const std::string address = emu::DefaultSocketPath();
        if (address.starts_with("tcp:")) server.listenAddress = address.substr(4);
        else server.socketPath = address;
    }
    if (!pngGiven) {
        model.pngPath = emu::DefaultPngPath(server.listenAddress.empty() ? server.socketPath : emu::UserSocketPath());
    }

    if (!emu::Server::InitStopChannel()) return Fail(std::string("pipe: ") + std::strerror(errno));
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    // The live panel's address is checked first, before anything is made on the file system.
    std::unique_ptr<emu::HttpPanel> http;
    if (!httpAddress.empty()) {
        http = std::make_unique<emu::HttpPanel>(httpAddress);
        if (!http->Listen(&error)) return Fail(error);
        model.panelPictures = true;
    }
    emu::Server srv(server);
    if (!srv.Listen(&error)) return Fail(error);
    try {
        emu::Model controller(model);
        if (!model.pngPath.empty()) std::fprintf(stderr, "qp7730-emu: panel image %s\n", model.pngPath.c_str());
        if (http) {
            if (!http->Start(*controller.Publisher(), model.panelWidth, model.panelHeight, &error)) return Fail(error);
            std::printf("qp7730-emu: live panel on %s\n", http->Url().c_str());
            std::fflush(stdout);
        }
        if (server.usbredir) {
            std::fprintf(stderr, "qp7730-emu: usbredir on %s\n", srv.Address().c_str());
        } else {
            std::printf("qp7730-emu: listening on %s\n", srv.Address().c_str());
            std::fflush(stdout);
        }
        const int status = srv.Run(controller);
        // The page goes before the pictures it serves.
        if (http) http->Stop();
        return status;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
