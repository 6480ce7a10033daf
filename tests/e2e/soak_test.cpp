// Soak under faults: the real qp7730 run many times in a row against one qp7730-emu per
// worker, every action of the command table and a few user errors, with the emulator's
// fault kinds injected at random command numbers (the seed is printed; QP7730_SOAK_SEED
// replays it). Every run must end within its bound, unharmed by signals and sanitizers,
// with the exit status its output calls for; and the emulator must serve the next run.
// QP7730_SOAK_RUNS sets the number of runs (default 1000).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 0) : fallback;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// A 2 x 2 24-bit BMP.
std::vector<uint8_t> Picture() {
    return {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2,   0,   0,   0,   2,   0,
            0,   0,   1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0,   0,   0,
            0,   0,   0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0, 0, 128, 128, 128, 0, 0, 255, 0, 0};
}

std::vector<uint8_t> Firmware(size_t size) {
    const std::string header = "QPXEPD7730_A0100";
    std::vector<uint8_t> f(size);
    for (size_t i = 0; i < size; ++i) f[i] = i < header.size() ? static_cast<uint8_t>(header[i]) : static_cast<uint8_t>(i * 7);
    return f;
}

// What ends a run with status 255: a user error, printed last.
const char* const kUserErrors[] = {
    "Incorrect argument ammount.", "Command not supported.", "Wrong argument", "Incorrect waiting selection.",
    "Error: wrong size of loaded file", "Error: no image buffer", "Fill buffer allocate failed!",
    "Unknown upgrade type.", "Incorrect FW file is not safe.", "Incorrect WF file is not safe.",
    "Current FW does not support WBF converting.", "Wrong FW Header!", "Open file failed.", "Read file failed.",
    "Not enough memory for the image file.", "System information not read from the controller. Upgrade refused.",
    "does not fit in flash at",
};

bool SawUserError(const std::string& out) {
    for (const char* e : kUserErrors)
        if (out.find(e) != std::string::npos) return true;
    return false;
}

bool SanitizerSpoke(const std::string& err) {
    return err.find("AddressSanitizer") != std::string::npos || err.find("LeakSanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos;
}

std::string Tail(const std::string& s, size_t n = 600) { return s.size() > n ? "..." + s.substr(s.size() - n) : s; }

struct Worker {
    unsigned index = 0;
    unsigned runs = 0;
    uint32_t seed = 0;
    unsigned noAnswers = 0;  // how many of this worker's faults are no-answer (6 s each)
};

// The command table: every action, then user errors that must end with 255 whatever the
// controller did.
std::vector<std::vector<std::string>> Actions(const std::string& dir) {
    const std::string bmp = dir + "/picture.bmp", fw = dir + "/firmware.bin", wf = dir + "/waveform.wbf";
    return {
        {"-version"},
        {"0xAD"},
        {"0xAC"},
        {"0x81"},
        {"0x97"},
        {"-load", bmp},
        {"-load", "80", "1", "2", "30", "20"},
        {"-display", "-wait", "0", "0", "64", "48", "2"},
        {"-display", "-nowait", "4", "4", "16", "16", "0"},
        {"-HTFY", "0", "0", "64", "48", "2", "1"},
        {"-upgrade", "1", fw},
        {"-upgrade", "2", wf},
        {"-pmic", "0", "1500"},
        {"-pmic", "1", "1"},
        {"-pmic", "2", "1500", "1"},
        {"-bogus"},
        {"-display", "-maybe", "0", "0", "8", "8", "2"},
        {"-upgrade", "1", wf},
        {"-load", dir + "/missing.bmp"},
        {"-load", "80", "-1", "0", "1", "1"},
    };
}

const char* const kCheapFaults[] = {"fail-status", "bad-signature", "short-data", "flip-bit",
                                     "stall-data", "stall-status", "phase-error"};
constexpr unsigned kCommandsPerRun = 4;  // about what a run sends on average, discovery included

void Soak(const Worker& w, std::mutex& report) {
    std::mt19937 random(w.seed);
    const unsigned span = w.runs * kCommandsPerRun;
    // About one run in two meets a fault; a few of them get no answer at all.
    std::vector<std::string> options = {"--width", "64", "--height", "48", "--image-buffer", "0x1000",
                                        "--memory-mib", "2"};
    std::vector<bool> taken(span + 1, false);
    auto position = [&] {
        for (;;) {
            const unsigned n = std::uniform_int_distribution<unsigned>(1, span)(random);
            if (!taken[n]) return taken[n] = true, n;
        }
    };
    for (unsigned i = 0; i < w.noAnswers; ++i) {
        options.push_back("--fault");
        options.push_back("no-answer@" + std::to_string(position()));
    }
    for (unsigned i = 0; i < w.runs / 2; ++i) {
        options.push_back("--fault");
        options.push_back(std::string(kCheapFaults[random() % std::size(kCheapFaults)]) + "@" + std::to_string(position()));
    }
    Emulator emu(options);
    WriteBytes(emu.TempDir() + "/picture.bmp", Picture());
    WriteBytes(emu.TempDir() + "/firmware.bin", Firmware(1500));
    WriteBytes(emu.TempDir() + "/waveform.wbf", Firmware(700));
    const auto actions = Actions(emu.TempDir());

    for (unsigned run = 0; run < w.runs; ++run) {
        const auto& args = actions[random() % actions.size()];
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = RunTool(args, emu.SocketPath(), 30);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int expected = SawUserError(r.out) ? 255 : 0;
        const bool ok = r.exitStatus == expected && !SanitizerSpoke(r.err) && emu.Running();
        if (!ok) {
            std::lock_guard<std::mutex> lock(report);
            std::string line;
            for (const auto& a : args) line += " " + a;
            const auto trace = emu.TraceLines();
            ADD_FAILURE() << "worker " << w.index << " run " << run << ":" << line << "\nexit " << r.exitStatus
                          << " (expected " << expected << ") after " << seconds << " s; emulator "
                          << (emu.Running() ? "running" : "gone") << "\nstdout: " << Tail(r.out)
                          << "\nstderr: " << Tail(r.err) << "\nlast trace: " << (trace.empty() ? "" : trace.back());
            if (!emu.Running()) return;
        }
    }
    size_t faults = 0;
    for (const auto& line : emu.TraceLines()) faults += line.find("\"fault\"") != std::string::npos;
    std::lock_guard<std::mutex> lock(report);
    printf("worker %u: %u runs, %zu faults met\n", w.index, w.runs, faults);
    EXPECT_GT(faults, 0u) << "the faults fell past the end of the commands sent";
}

TEST(Soak, EveryActionUnderFaultsEndsWithItsStatusAndTheEmulatorServesOn) {
    const unsigned runs = static_cast<unsigned>(EnvNumber("QP7730_SOAK_RUNS", 1000));
    const uint32_t seed = static_cast<uint32_t>(EnvNumber("QP7730_SOAK_SEED", 7730));
    printf("soak: %u runs, seed %u (QP7730_SOAK_SEED replays it)\n", runs, seed);
    // Two workers, each with its own emulator; one no-answer fault per 250 runs.
    constexpr unsigned kWorkers = 2;
    std::vector<Worker> workers(kWorkers);
    std::mutex report;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kWorkers; ++i) {
        workers[i] = {i, runs / kWorkers + (i < runs % kWorkers ? 1 : 0), seed * 31 + i, (runs / 250 + 1) / kWorkers};
        threads.emplace_back([&workers, &report, i] {
            try {
                Soak(workers[i], report);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "worker " << i << ": " << e.what();
            }
        });
    }
    for (auto& t : threads) t.join();
}

}  // namespace
