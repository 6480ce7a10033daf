#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <gtest/gtest.h>
#include <link.h>
#include <poll.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef QP7730_EMU_BIN
#error "QP7730_EMU_BIN must name the qp7730-emu binary"
#endif
#ifndef QP7730_BIN
#error "QP7730_BIN must name the qp7730 binary"
#endif
#ifndef QP7730_SG_PRELOAD
#error "QP7730_SG_PRELOAD must name the SG_IO stand-in library"
#endif

extern char** environ;

namespace e2e {
namespace {

constexpr size_t kMaxMessage = 0x10000;
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr int kStartTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 10000;

using Clock = std::chrono::steady_clock;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint32_t GetBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int ElapsedMs(Clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string MakeTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qp7730-e2e-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    return buf.data();
}

// argv / envp arrays prepared before fork, so the child only calls async-signal-safe functions.
struct CStrings {
    std::vector<std::string> items;
    std::vector<char*> ptrs;
    char** Get() {
        ptrs.clear();
        for (auto& s : items) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
        return ptrs.data();
    }
};

// Waits for pid up to timeoutMs; true when it ended, with *status its raw wait status.
bool WaitPid(pid_t pid, int timeoutMs, int* status) {
    const auto start = Clock::now();
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        if (timeoutMs >= 0 && ElapsedMs(start) >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Value of --opt in options ("--opt V" or "--opt=V"), the last one winning.
bool FindOption(const std::vector<std::string>& options, const std::string& name, std::string* value) {
    bool found = false;
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i] == name && i + 1 < options.size()) {
            *value = options[++i];
            found = true;
        } else if (options[i].starts_with(name + "=")) {
            *value = options[i].substr(name.size() + 1);
            found = true;
        }
    }
    return found;
}

}  // namespace

Transport TransportFromEnvironment() {
    const char* transport = getenv("QP7730_E2E_TRANSPORT");
    return transport && std::string_view(transport) == "tcp" ? Transport::Tcp : Transport::Unix;
}

// ---- Emulator ------------------------------------------------------------------------

Emulator::Emulator(const std::vector<std::string>& extraOptions, Transport transport) {
    dir_ = MakeTempDir();
    socket_ = dir_ + "/emu.sock";
    png_ = dir_ + "/emu-panel.png";
    flash_ = dir_ + "/flash.bin";
    trace_ = dir_ + "/trace.jsonl";
    stderrPath_ = dir_ + "/emu-stderr.txt";
    FindOption(extraOptions, "--socket", &socket_);
    FindOption(extraOptions, "--png", &png_);
    FindOption(extraOptions, "--flash-file", &flash_);
    FindOption(extraOptions, "--trace", &trace_);

    CStrings argv;
    argv.items = {QP7730_EMU_BIN, "--flash-file", flash_, "--trace", trace_, "--png", png_};
    // A --socket or --listen among the extra options decides the transport itself.
    auto given = [&](const char* option) {
        return std::find(extraOptions.begin(), extraOptions.end(), option) != extraOptions.end();
    };
    if (!given("--socket") && !given("--listen")) {
        if (transport == Transport::Tcp) argv.items.insert(argv.items.end(), {"--listen", "127.0.0.1:0"});
        else argv.items.insert(argv.items.end(), {"--socket", socket_});
    }
    argv.items.insert(argv.items.end(), extraOptions.begin(), extraOptions.end());
    char** args = argv.Get();

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    const int errFd = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(nullFd, 0);
        dup2(out[1], 1);
        dup2(errFd, 2);
        execv(args[0], args);
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    close(nullFd);
    if (pid_ < 0) {
        close(out[0]);
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }

    // Wait for the listening line.
    std::string text;
    const std::string ready = "qp7730-emu: listening on ";
    const auto start = Clock::now();
    bool listening = false;
    while (!listening && ElapsedMs(start) < kStartTimeoutMs) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[512];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        listening = text.find(ready) != std::string::npos && text.find('\n', text.find(ready)) != std::string::npos;
    }
    if (listening) {
        // The address as the emulator reports it: with --listen HOST:0 it holds the port.
        const size_t at = text.find(ready) + ready.size();
        socket_ = text.substr(at, text.find('\n', at) - at);
        startupOutput_ = text;
    }
    close(out[0]);
    if (!listening) {
        const int status = Stop();
        const std::string err = Stderr();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("qp7730-emu did not start (exit status " + std::to_string(status) + "): " + text + err);
    }
}

Emulator::~Emulator() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool Emulator::Running() {
    if (reaped_ || pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        exitStatus_ = ExitCode(status);
        return false;
    }
    return true;
}

int Emulator::WaitForExit(int timeoutMs) {
    if (reaped_ || pid_ <= 0) return exitStatus_;
    int status = 0;
    if (!WaitPid(pid_, timeoutMs, &status)) return -1;
    reaped_ = true;
    exitStatus_ = ExitCode(status);
    return exitStatus_;
}

int Emulator::Stop() {
    if (reaped_ || pid_ <= 0) return exitStatus_;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitPid(pid_, kStopTimeoutMs, &status)) {
        kill(pid_, SIGKILL);
        WaitPid(pid_, -1, &status);
    }
    reaped_ = true;
    exitStatus_ = ExitCode(status);
    return exitStatus_;
}

std::string Emulator::Stderr() const {
    std::ifstream f(stderrPath_);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> Emulator::TraceLines() const {
    std::vector<std::string> lines;
    std::ifstream f(trace_);
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
}

bool Emulator::WaitForTraceLines(size_t n, int timeoutMs) const {
    // Woken by every change of the trace file rather than by a clock.
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) inotify_add_watch(watch, trace_.c_str(), IN_MODIFY);
    const auto start = Clock::now();
    bool reached = false;
    for (;;) {
        reached = TraceLines().size() >= n;
        const int left = timeoutMs - ElapsedMs(start);
        if (reached || left <= 0 || watch < 0) break;
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, left) > 0) {
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) close(watch);
    return reached;
}

// ---- RunTool -------------------------------------------------------------------------

const char* ToolPath() { return QP7730_BIN; }
namespace {

constexpr const char* kNobodyListens = "/nonexistent-qp7730-e2e/nobody.sock";

// Sets NAME=VALUE in an environment list, replacing an entry of the same name.
void SetEnv(std::vector<std::string>& env, const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(entry);
}

// The AddressSanitizer runtime when this process (built like the tool) has it as a shared
// library. It must come first in LD_PRELOAD, ahead of the stand-in, or the tool refuses
// to start.
std::string SharedAsanRuntime() {
    std::string path;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "/libasan.so") == nullptr) return 0;
            *static_cast<std::string*>(data) = info->dlpi_name;
            return 1;
        },
        &path);
    return path;
}

}  // namespace

std::string SgPreloadPath() { return QP7730_SG_PRELOAD; }

Route DefaultRoute() {
    const char* route = getenv("QP7730_E2E_ROUTE");
    return route != nullptr && std::string_view(route) == "sg" ? Route::Drive : Route::Emulator;
}

std::string DriveDiscoveryLines() {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(kDriveName[7])));
    std::string s;
    for (char c = 'A'; c < letter; ++c) s += std::string("\nSearching for device in ") + c + ":// ...\n-1: No device connected.\n";
    return s + "\nSearching for device in " + letter + ":// ...\nDevice found.\nDevName: Generic Storage RamDisc 1.00\n";
}

std::vector<std::string> ToolCommand() {
    const char* tool = getenv("QP7730_E2E_TOOL");
    if (tool == nullptr || *tool == '\0') return {QP7730_BIN};
    std::vector<std::string> words;
    std::istringstream in(tool);
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) return {QP7730_BIN};
    // A bare program name is looked up on PATH here, before any fork.
    if (words[0].find('/') == std::string::npos) {
        std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
        for (std::string dir; std::getline(path, dir, ':');) {
            const std::string candidate = (dir.empty() ? "." : dir) + "/" + words[0];
            if (access(candidate.c_str(), X_OK) == 0) {
                words[0] = candidate;
                break;
            }
        }
    }
    return words;
}

bool ToolIsWindowsProgram() { return ToolCommand().back().ends_with(".exe"); }

RunResult RunTool(const std::vector<std::string>& args, const std::string& socketPath, int timeoutSec) {
    RunOptions options;
    options.timeoutSec = timeoutSec;
    return RunTool(args, socketPath, options);
}

// The stand-in drive as the kernel would record it in sysfs, under a system root of its
// own beside the socket, so that the tool's search finds it there (and nothing else).
void RecordStandInDrive(std::vector<std::string>& env, const std::string& socketPath) {
    std::string drive = kDriveName;
    bool rootGiven = false;
    for (const std::string& e : env) {
        if (e.starts_with("QP7730_SG_DRIVE=")) drive = e.substr(16);
        rootGiven = rootGiven || e.starts_with("QP7730_TEST_SYSTEM_ROOT=");
    }
    if (rootGiven || !drive.starts_with("/dev/")) return;
    const std::filesystem::path root = socketPath + ".root";
    const std::filesystem::path device = root / "sys/block" / drive.substr(5) / "device";
    std::filesystem::create_directories(device);
    const std::pair<const char*, const char*> fields[] = {{"vendor", "Generic "}, {"model", "Storage RamDisc "}, {"rev", "1.00"}};
    for (const auto& [name, value] : fields) std::ofstream(device / name) << value << "\n";
    env.push_back("QP7730_TEST_SYSTEM_ROOT=" + root.string());
}

RunResult RunTool(const std::vector<std::string>& args, const std::string& socketPath, const RunOptions& options) {
    return ToolRun(args, socketPath, options).Wait();
}

ToolRun::ToolRun(const std::vector<std::string>& args, const std::string& socketPath, const RunOptions& options)
    : options_(options), socketPath_(socketPath) {
    const char* stdoutFile = options.stdoutFile;
    CStrings argv;
    argv.items = options.command.empty() ? ToolCommand() : options.command;
    argv.items.insert(argv.items.end(), args.begin(), args.end());
    CStrings envp;
    std::string inheritedPreload;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("LD_PRELOAD=")) inheritedPreload = entry.substr(11);
        else if (!entry.starts_with("QP7730_EMULATOR=") && !entry.starts_with("QP7730_SG_")) envp.items.emplace_back(*e);
    }
    std::string preload = inheritedPreload;
    if (options.route == Route::Drive) {
        envp.items.push_back(std::string("QP7730_EMULATOR=") + kNobodyListens);
        envp.items.push_back(std::string("QP7730_SG_DRIVE=") + kDriveName);
        envp.items.push_back("QP7730_SG_EMULATOR=" + socketPath);
        preload = QP7730_SG_PRELOAD + (preload.empty() ? "" : ":" + preload);
        if (const std::string asan = SharedAsanRuntime(); !asan.empty()) preload = asan + ":" + preload;
    } else {
        envp.items.push_back("QP7730_EMULATOR=" + (socketPath.empty() ? std::string(kNobodyListens) : socketPath));
    }
    if (!preload.empty()) envp.items.push_back("LD_PRELOAD=" + preload);
    for (const std::string& entry : options.env) SetEnv(envp.items, entry);
    if (options.route == Route::Drive) RecordStandInDrive(envp.items, socketPath);
    char** a = argv.Get();
    char** e = envp.Get();

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe failed");
    }
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int outFd = stdoutFile ? open(stdoutFile, O_WRONLY | O_CLOEXEC) : out[1];
    if (outFd < 0) {
        for (int fd : {out[0], out[1], err[0], err[1], nullFd}) close(fd);
        throw std::runtime_error(std::string("cannot open ") + stdoutFile);
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(nullFd, 0);
        dup2(outFd, 1);
        dup2(err[1], 2);
        execve(a[0], a, e);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(nullFd);
    if (stdoutFile) close(outFd);
    out_ = out[0];
    err_ = err[0];
}

ToolRun::~ToolRun() {
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    if (pid_ > 0) {
        int status = 0;
        kill(pid_, SIGKILL);
        WaitPid(pid_, -1, &status);
    }
}

RunResult ToolRun::Wait() {
    RunResult result;
    if (pid_ <= 0) return result;
    const auto start = Clock::now();
    const int limitMs = options_.timeoutSec * 1000;
    bool timedOut = false;
    int open = 2;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    while (open > 0) {
        const int left = limitMs - ElapsedMs(start);
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, left) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
                if (i == 1 && options_.onStderr) options_.onStderr(result.err);
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    out_ = err_ = -1;
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (timedOut || !WaitPid(pid, std::max(0, limitMs - ElapsedMs(start)), &status)) {
        kill(pid, SIGKILL);
        WaitPid(pid, -1, &status);
        result.exitStatus = -1;
        return result;
    }
    result.exitStatus = ExitCode(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    if (options_.route == Route::Drive && !socketPath_.empty() && options_.stripDiscovery &&
        options_.stdoutFile == nullptr) {
        const std::string lines = DriveDiscoveryLines();
        if (result.out.starts_with(lines)) result.out.erase(0, lines.size());
        else ADD_FAILURE() << "the drive route did not find the controller at " << kDriveName << ":\n" << result.out;
    }
    return result;
}

// ---- TracePipe -----------------------------------------------------------------------

TracePipe::TracePipe() : dir_(MakeTempDir()), path_(dir_ + "/trace.pipe") {
    if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo: " + std::string(std::strerror(errno)));
    // Open before the emulator does (its open waits for a reader); one page of room.
    fd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || fcntl(fd_, F_SETPIPE_SZ, 4096) < 0)
        throw std::runtime_error("trace pipe: " + std::string(std::strerror(errno)));
}

TracePipe::~TracePipe() {
    if (drainer_.joinable()) drainer_.join();
    if (fd_ >= 0) close(fd_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool TracePipe::ReadSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    const int rc = poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) return true;
    if (rc <= 0) return false;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;  // the emulator closed its end
    partial_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos; partial_.erase(0, nl + 1))
        lines_.push_back(partial_.substr(0, nl));
    return true;
}

bool TracePipe::WaitFor(const std::string& text, int timeoutMs) {
    const auto start = Clock::now();
    size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked)
            if (lines_[checked].find(text) != std::string::npos) return true;
        const int left = timeoutMs - ElapsedMs(start);
        if (left <= 0 || !ReadSome(left)) return false;
    }
}

void TracePipe::Drain() {
    if (drainer_.joinable()) return;
    drainer_ = std::thread([this] {
        while (ReadSome(-1)) {
        }
    });
}

std::vector<std::string> TracePipe::Lines() {
    if (drainer_.joinable()) drainer_.join();
    while (ReadSome(0)) {
    }
    return lines_;
}

// ---- EmuClient -----------------------------------------------------------------------

EmuClient::EmuClient(const std::string& socketPath) {
    if (socketPath.starts_with("tcp:")) {
        // tcp:HOST:PORT, HOST possibly in brackets.
        std::string host = socketPath.substr(4);
        const std::string port = host.substr(host.rfind(':') + 1);
        host.resize(host.rfind(':'));
        if (host.starts_with("[")) host = host.substr(1, host.size() - 2);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
            throw std::runtime_error("cannot resolve " + socketPath);
        }
        fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int rc = fd_ < 0 ? -1 : connect(fd_, found->ai_addr, found->ai_addrlen);
        const int e = errno;
        freeaddrinfo(found);
        if (rc != 0) {
            if (fd_ >= 0) close(fd_);
            fd_ = -1;
            throw std::runtime_error("connect " + socketPath + ": " + std::strerror(e));
        }
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        tcp_ = true;
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + socketPath);
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(fd_);
        fd_ = -1;
        throw std::runtime_error("connect " + socketPath + ": " + std::strerror(e));
    }
}

EmuClient::~EmuClient() {
    if (fd_ >= 0) close(fd_);
}

std::vector<uint8_t> EmuClient::MakeCbw(std::span<const uint8_t> cdb, uint32_t length, bool dataIn, uint32_t tag) {
    std::vector<uint8_t> cbw(31, 0);
    PutLe32(cbw.data(), kCbwSignature);
    PutLe32(cbw.data() + 4, tag);
    PutLe32(cbw.data() + 8, length);
    cbw[12] = dataIn ? 0x80 : 0x00;
    cbw[14] = 16;
    std::memcpy(cbw.data() + 15, cdb.data(), std::min<size_t>(cdb.size(), 16));
    return cbw;
}

bool EmuClient::SendBytes(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
        if (!tcp_) return done == bytes.size();  // one message, whole or not at all
    }
    return true;
}

bool EmuClient::SendMessage(std::span<const uint8_t> message) {
    if (!tcp_) return SendBytes(message);
    std::vector<uint8_t> frame(4 + message.size());
    PutLe32(frame.data(), static_cast<uint32_t>(message.size()));
    std::copy(message.begin(), message.end(), frame.begin() + 4);
    return SendBytes(frame);
}

bool EmuClient::ReadStream(uint8_t* buf, size_t length, int timeoutMs) {
    const auto start = Clock::now();
    size_t done = 0;
    while (done < length) {
        pollfd p{fd_, POLLIN, 0};
        const int left = timeoutMs - ElapsedMs(start);
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        const ssize_t n = recv(fd_, buf + done, length - done, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool EmuClient::ReceiveMessage(std::vector<uint8_t>* message) {
    if (tcp_) {
        uint8_t header[4];
        if (!ReadStream(header, sizeof header, timeoutMs_)) return false;
        const uint32_t length = GetLe32(header);
        if (length > kMaxMessage) return false;
        message->resize(length);
        return ReadStream(message->data(), length, timeoutMs_);
    }
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs_);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    message->resize(kMaxMessage + 1);
    ssize_t n;
    do {
        n = recv(fd_, message->data(), message->size(), MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || static_cast<size_t>(n) > message->size()) return false;
    message->resize(static_cast<size_t>(n));
    return true;
}

bool EmuClient::ClosedByPeer() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs_) <= 0) return false;
    uint8_t byte;
    const ssize_t n = recv(fd_, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

int EmuClient::Finish() {
    std::vector<uint8_t> csw;
    if (!ReceiveMessage(&csw) || csw.size() != 13) return -1;
    lastSignature_ = GetLe32(csw.data());
    lastTag_ = GetLe32(csw.data() + 4);
    lastResidue_ = GetLe32(csw.data() + 8);
    if (lastSignature_ != kCswSignature) return -1;
    return csw[12];
}

int EmuClient::Raw(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut) {
    if (!SendMessage(MakeCbw(cdb, static_cast<uint32_t>(dataOut.size()), false))) return -1;
    for (size_t offset = 0; offset < dataOut.size(); offset += kMaxMessage) {
        if (!SendMessage(dataOut.subspan(offset, std::min(kMaxMessage, dataOut.size() - offset)))) return -1;
    }
    return Finish();
}

int EmuClient::Raw(std::span<const uint8_t> cdb, uint32_t inLength, std::vector<uint8_t>* dataIn) {
    dataIn->clear();
    if (!SendMessage(MakeCbw(cdb, inLength, true))) return -1;
    // Each transfer asks for up to 65,536 bytes; a shorter message ends the data phase, as
    // a short packet does on USB.
    std::vector<uint8_t> piece;
    uint32_t remaining = inLength;
    while (remaining > 0) {
        const size_t want = std::min<size_t>(remaining, kMaxMessage);
        if (!ReceiveMessage(&piece) || piece.size() > want) return -1;
        dataIn->insert(dataIn->end(), piece.begin(), piece.end());
        remaining -= static_cast<uint32_t>(piece.size());
        if (piece.size() < want) break;
    }
    return Finish();
}

std::vector<uint8_t> EmuClient::ReadMemory(uint32_t address, uint32_t length) {
    std::vector<uint8_t> result;
    result.reserve(length);
    std::vector<uint8_t> piece;
    while (result.size() < length) {
        const uint32_t n = std::min<uint32_t>(length - static_cast<uint32_t>(result.size()), 0xFFFF);
        const uint32_t at = address + static_cast<uint32_t>(result.size());
        std::vector<uint8_t> cdb = VendorCdb(0x81);
        PutBe32(cdb.data() + 2, at);
        cdb[7] = static_cast<uint8_t>(n >> 8);
        cdb[8] = static_cast<uint8_t>(n);
        const int status = Raw(cdb, n, &piece);
        if (status != 0 || piece.size() != n) {
            throw std::runtime_error("reading controller memory at " + std::to_string(at) + " failed (status " +
                                     std::to_string(status) + ")");
        }
        result.insert(result.end(), piece.begin(), piece.end());
    }
    return result;
}

void EmuClient::WriteMemory(uint32_t address, std::span<const uint8_t> data) {
    for (size_t offset = 0; offset < data.size(); offset += 0xFFFF) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(data.size() - offset, 0xFFFF));
        const uint32_t at = address + static_cast<uint32_t>(offset);
        std::vector<uint8_t> cdb = VendorCdb(0xA5);
        PutBe32(cdb.data() + 2, at);
        cdb[7] = static_cast<uint8_t>(n >> 8);
        cdb[8] = static_cast<uint8_t>(n);
        const int status = Raw(cdb, data.subspan(offset, n));
        if (status != 0) {
            throw std::runtime_error("writing controller memory at " + std::to_string(at) + " failed (status " +
                                     std::to_string(status) + ")");
        }
    }
}

std::vector<uint32_t> EmuClient::SystemInfo() {
    std::vector<uint8_t> cdb = VendorCdb(0x80);
    std::memcpy(cdb.data() + 2, "7730", 4);
    cdb[8] = 1;
    cdb[10] = 2;
    std::vector<uint8_t> reply;
    if (Raw(cdb, 120, &reply) != 0 || reply.size() != 120) throw std::runtime_error("system information failed");
    std::vector<uint32_t> words(30);
    for (size_t i = 0; i < words.size(); ++i) words[i] = GetBe32(reply.data() + 4 * i);
    return words;
}

std::vector<uint8_t> VendorCdb(uint8_t subCommand) {
    std::vector<uint8_t> cdb(16, 0);
    if (subCommand == 0x12) {
        cdb[0] = 0x12;
    } else {
        cdb[0] = 0xFE;
        cdb[6] = subCommand;
    }
    return cdb;
}

// ---- files ---------------------------------------------------------------------------

std::vector<uint8_t> ReadGreyPng(const std::string& path, uint32_t* width, uint32_t* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        throw std::runtime_error(path + ": " + image.message);
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        const std::string message = image.message;
        png_image_free(&image);
        throw std::runtime_error(path + ": " + message);
    }
    if (width) *width = image.width;
    if (height) *height = image.height;
    return pixels;
}

std::vector<uint8_t> WaitForGreyPng(const std::string& path, const std::function<bool(const std::vector<uint8_t>&)>& shows,
                                    uint32_t* width, uint32_t* height, int timeoutMs) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    // Watched before the first read, so that no replacement falls between the two.
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) inotify_add_watch(watch, folder.empty() ? "." : folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    const auto start = Clock::now();
    std::vector<uint8_t> pixels;
    for (;;) {
        try {
            pixels = ReadGreyPng(path, width, height);
            if (shows(pixels)) break;
        } catch (const std::runtime_error&) {
            pixels.clear();  // not there yet
        }
        const int left = timeoutMs - ElapsedMs(start);
        if (left <= 0 || watch < 0) break;
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, left) > 0) {
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) close(watch);
    return pixels;
}

std::vector<uint8_t> WaitForGreyPng(const std::string& path, const std::vector<uint8_t>& pixels, uint32_t* width,
                                    uint32_t* height, int timeoutMs) {
    return WaitForGreyPng(path, [&](const std::vector<uint8_t>& shown) { return shown == pixels; }, width, height,
                          timeoutMs);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    // One read of the whole file: a byte-wise stream copy of a 16 MiB flash file takes
    // seconds in a sanitizer build, and the fault matrix reads one per run.
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) throw std::runtime_error("cannot read " + path);
    const std::streamoff size = f.tellg();
    std::vector<uint8_t> data(size > 0 ? static_cast<size_t>(size) : 0);
    f.seekg(0);
    if (size < 0 || !f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
        throw std::runtime_error("cannot read " + path);
    return data;
}

}  // namespace e2e
