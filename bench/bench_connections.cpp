// Short-lived connections against qp7730-emu: what one connection costs (connect, one
// INQUIRY, close), as every qp7730 run and every library open pays it, over the AF_UNIX
// socket and over loopback TCP, both with a flash file as a user keeps one. Beside the
// wall time per connection it shows the emulator's own CPU time (from /proc), which tells
// a connection that keeps the emulator busy from one that only waits.
// Figures are printed; nothing is asserted.
//
//   bench_connections [QP7730_EMU_BINARY]   (default: this build's qp7730-emu)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kConnections = 1000;
using Clock = std::chrono::steady_clock;

struct Emulator {
    pid_t pid = -1;
    std::string address;  // socket path, or the TCP port
};

// Starts the emulator and reads the address from its "listening on" line.
Emulator Start(const char* binary, const std::string& dir, bool tcp) {
    int out[2];
    if (pipe(out) != 0) exit(1);
    const std::string flash = dir + (tcp ? "/flash-tcp.bin" : "/flash-unix.bin");
    const std::string socket = dir + "/emu.sock";
    Emulator e;
    e.pid = fork();
    if (e.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        if (tcp) {
            execl(binary, binary, "--listen", "127.0.0.1:0", "--png", "", "--flash-file", flash.c_str(),
                  static_cast<char*>(nullptr));
        } else {
            execl(binary, binary, "--socket", socket.c_str(), "--png", "", "--flash-file", flash.c_str(),
                  static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    while (text.find('\n') == std::string::npos) {
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) {
            fprintf(stderr, "bench: the emulator did not start\n");
            exit(1);
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    const std::string line = text.substr(0, text.find('\n'));
    e.address = tcp ? line.substr(line.rfind(':') + 1) : socket;
    return e;
}

// The emulator's user and system CPU time so far, in seconds.
double CpuOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t at = end + 2;
    while (at < text.size() && fields.size() < 15) {
        const size_t next = text.find(' ', at);
        fields.push_back(text.substr(at, next - at));
        at = next == std::string::npos ? text.size() : next + 1;
    }
    if (fields.size() < 13) return 0;
    // Fields 14 and 15 of the file (utime, stime); fields[] starts at field 3.
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int Connect(const Emulator& e, bool tcp) {
    if (tcp) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(e.address)));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
        return fd;
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, e.address.c_str(), sizeof a.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return fd;
}

// Reads one message (TCP: its 4-byte length first); false after 10 s or on error.
bool Receive(int fd, bool tcp, std::vector<uint8_t>* message) {
    auto read = [&](uint8_t* buf, size_t n, bool whole) {
        size_t done = 0;
        while (done < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return ssize_t{-1};
            const ssize_t got = recv(fd, buf + done, n - done, 0);
            if (got <= 0) return ssize_t{-1};
            done += static_cast<size_t>(got);
            if (!whole) break;
        }
        return static_cast<ssize_t>(done);
    };
    if (!tcp) {
        message->resize(0x10000);
        const ssize_t n = read(message->data(), message->size(), false);
        if (n < 0) return false;
        message->resize(static_cast<size_t>(n));
        return true;
    }
    uint8_t header[4];
    if (read(header, 4, true) != 4) return false;
    const uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | uint32_t{header[3]} << 24;
    message->resize(length);
    return length == 0 || read(message->data(), length, true) == static_cast<ssize_t>(length);
}

// One connection: INQUIRY (data in, 40 bytes) and its status, then close.
bool OneConnection(const Emulator& e, bool tcp) {
    const int fd = Connect(e, tcp);
    if (fd < 0) return false;
    uint8_t cbw[4 + 31] = {31, 0, 0, 0, 'U', 'S', 'B', 'C', 1, 2, 3, 4, 40, 0, 0, 0, 0x80, 0, 16, 0x12};
    const uint8_t* message = tcp ? cbw : cbw + 4;
    const size_t size = tcp ? sizeof cbw : 31;
    std::vector<uint8_t> data, status;
    const bool ok = send(fd, message, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size) && Receive(fd, tcp, &data) &&
                    data.size() == 40 && Receive(fd, tcp, &status) && status.size() == 13 && status[12] == 0;
    close(fd);
    return ok;
}

void Measure(const char* binary, const std::string& dir, bool tcp) {
    const Emulator e = Start(binary, dir, tcp);
    OneConnection(e, tcp);  // the first one pays for the emulator's start
    std::vector<double> ms;
    int failed = 0;
    const double cpu0 = CpuOf(e.pid);
    const auto start = Clock::now();
    for (int i = 0; i < kConnections; ++i) {
        const auto t = Clock::now();
        failed += !OneConnection(e, tcp);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuOf(e.pid) - cpu0;
    kill(e.pid, SIGTERM);
    waitpid(e.pid, nullptr, 0);
    std::sort(ms.begin(), ms.end());
    printf("  %-22s %8.2f %10.3f %10.3f %10.3f %14.3f %7d\n", tcp ? "loopback TCP" : "AF_UNIX socket", total,
           ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), cpu * 1e3 / kConnections, failed);
}

}  // namespace

int main(int argc, char** argv) {
    const char* binary = argc > 1 ? argv[1] : QP7730_EMU_BIN;
    char tmpl[] = "/tmp/qp7730-bench-conn-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    printf("%d short-lived connections to qp7730-emu with a flash file (connect, INQUIRY, close; goal: under 5 ms each)\n",
           kConnections);
    printf("  %-22s %8s %10s %10s %10s %14s %7s\n", "", "total s", "median ms", "p99 ms", "max ms", "emu CPU ms/conn",
           "failed");
    Measure(binary, dir, false);
    Measure(binary, dir, true);
    const std::string cleanup = "rm -rf '" + dir + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
