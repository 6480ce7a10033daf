// Benchmark of the picture pipeline (decode + fit to the panel + grey) against its peers:
// djpeg's full decode (the floor for an unscaled JPEG decode), ImageMagick and Pillow
// doing the same fit and grey conversion, and a plain read of the file.
//
// The inputs are made here: photo-like content (smooth gradients, soft shapes and
// noise), JPEG at quality 90 through libjpeg, BMP at 24 bits.
//
//   bench_image [work-folder]         runs everything and prints the table
//   bench_image --decode FILE         one decode into a 1872 x 1404 panel (used as the
//                                     child whose peak memory and time are measured)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/image.h"
#include "link/device_state.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

constexpr uint32_t kPanelW = 1872, kPanelH = 1404;

double Now() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ---- inputs ---------------------------------------------------------------------------

// One row of the photo-like picture, as blue, green, red.
void PhotoRow(uint32_t w, uint32_t h, uint32_t y, uint32_t& seed, uint8_t* out) {
    const double fy = double(y) / h;
    for (uint32_t x = 0; x < w; ++x) {
        const double fx = double(x) / w;
        const double blob = std::exp(-((fx - 0.35) * (fx - 0.35) + (fy - 0.45) * (fy - 0.45)) * 18.0);
        const double wave = 0.5 + 0.5 * std::sin(fx * 9.0 + fy * 5.0);
        seed = seed * 1664525u + 1013904223u;
        const int noise = int(seed >> 28) - 8;
        const double c[3] = {40 + 150 * fy + 50 * wave, 60 + 120 * fx + 70 * blob, 200 - 120 * fx * fy + 50 * blob};
        for (int k = 0; k < 3; ++k) out[3 * x + k] = uint8_t(std::clamp(int(c[k]) + noise, 0, 255));
    }
}

void MakeJpeg(const std::string& path, uint32_t w, uint32_t h) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t{w} * 3);
    uint32_t seed = 1;
    for (uint32_t y = 0; y < h; ++y) {
        PhotoRow(w, h, y, seed, row.data());
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    fclose(f);
}

void MakeBmp(const std::string& path, uint32_t w, uint32_t h) {
    const uint32_t stride = (w * 3 + 3) / 4 * 4;
    std::vector<uint8_t> head(54, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) head[at + i] = uint8_t(v >> (8 * i));
    };
    head[0] = 'B', head[1] = 'M';
    put32(2, 54 + stride * h);
    put32(10, 54);
    put32(14, 40);
    put32(18, w);
    put32(22, h);
    head[26] = 1, head[28] = 24;
    put32(34, stride * h);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    fwrite(head.data(), 1, head.size(), f);
    // Bottom-up: generate all rows first in a strip file order (row h-1 first).
    std::vector<uint8_t> rows(size_t{stride} * h, 0);
    uint32_t seed = 2;
    for (uint32_t y = 0; y < h; ++y) PhotoRow(w, h, y, seed, rows.data() + size_t{h - 1 - y} * stride);
    fwrite(rows.data(), 1, rows.size(), f);
    fclose(f);
}

// ---- measuring ----------------------------------------------------------------------

struct Measure {
    double ms = 0;       // best wall time
    long peakKb = 0;     // peak resident set of the child, KiB
    bool ok = false;
};

// Runs argv as a child `runs` times; best wall time and the largest peak RSS.
Measure RunChild(const std::vector<std::string>& argv, int runs, bool quietStdout = true) {
    Measure m;
    m.ms = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (quietStdout) {
                const int nul = open("/dev/null", O_WRONLY);
                dup2(nul, 1);
                dup2(nul, 2);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        rusage ru{};
        wait4(pid, &status, 0, &ru);
        const double dt = Now() - t0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return m;
        m.ms = std::min(m.ms, dt);
        m.peakKb = std::max(m.peakKb, ru.ru_maxrss);
    }
    m.ok = true;
    return m;
}

std::string SelfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// In-process: best of `runs` decodes into the panel buffer.
double DecodeInProcess(const std::string& path, int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        DecodeImageToGrey(path.c_str());
        best = std::min(best, Now() - t0);
    }
    return best;
}

double ReadFileOnce(const std::string& path, int runs) {
    double best = 1e30;
    std::vector<uint8_t> buf(std::filesystem::file_size(path));
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        const int fd = open(path.c_str(), O_RDONLY);
        size_t got = 0;
        while (got < buf.size()) {
            const ssize_t n = read(fd, buf.data() + got, buf.size() - got);
            if (n <= 0) break;
            got += size_t(n);
        }
        close(fd);
        best = std::min(best, Now() - t0);
    }
    return best;
}

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

void SetUpPanel(std::vector<uint8_t>& buffer) {
    buffer.assign(size_t{kPanelW} * kPanelH, 0);
    g_DeviceState.PanelWidth = kPanelW;
    g_DeviceState.PanelHeight = kPanelH;
    g_DeviceState.HostImageBuffer = buffer.data();
}

std::string Fmt(const Measure& m) {
    char s[32];
    if (!m.ok) return "n/a";
    snprintf(s, sizeof s, "%.1f", m.ms);
    return s;
}
std::string FmtMb(const Measure& m) {
    char s[32];
    if (!m.ok) return "n/a";
    snprintf(s, sizeof s, "%.1f", m.peakKb / 1024.0);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint8_t> panel;
    SetUpPanel(panel);
    if (argc == 3 && strcmp(argv[1], "--decode") == 0) {
        try {
            DecodeImageToGrey(argv[2]);
        } catch (const RunEnded& e) {
            return 1;
        }
        return 0;
    }

    const std::string dir = argc > 1 ? argv[1] : "/tmp/qp7730-bench-image";
    std::filesystem::create_directories(dir);
    struct Input {
        std::string name;
        uint32_t w, h;
        bool jpeg;
        std::string path;
    } inputs[] = {
        {"6000x4000 JPEG", 6000, 4000, true, dir + "/photo_6000x4000.jpg"},
        {"1872x1404 JPEG", 1872, 1404, true, dir + "/photo_1872x1404.jpg"},
        {"1872x1404 BMP", 1872, 1404, false, dir + "/photo_1872x1404.bmp"},
        {"4000x3000 BMP", 4000, 3000, false, dir + "/photo_4000x3000.bmp"},
    };
    printf("Making inputs in %s ...\n", dir.c_str());
    for (auto& in : inputs) {
        if (std::filesystem::exists(in.path)) continue;
        if (in.jpeg) {
            MakeJpeg(in.path, in.w, in.h);
        } else {
            MakeBmp(in.path, in.w, in.h);
        }
    }

    const std::string self = SelfPath();
    const bool haveDjpeg = Have("djpeg"), haveConvert = Have("convert");
    const bool havePillow = std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0;
    const std::string size = std::to_string(kPanelW) + "x" + std::to_string(kPanelH);
    const std::string pillow =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
        "im = im.resize((" + std::to_string(kPanelW) + ", " + std::to_string(kPanelH) + "), Image.BOX)\n"
        "im.convert('L').tobytes()\n";

    printf("\nPanel %s. Times in ms (best of several runs, each a separate process unless noted);"
           " peak RSS in MB.\n\n", size.c_str());
    printf("%-16s %9s %9s %8s %9s %9s %9s %9s %9s %9s\n", "input", "file MB", "ours(in)", "ours", "ours RSS",
           "djpeg", "djpegRSS", "convert", "Pillow", "read file");

    bool allMet = true;
    std::vector<std::string> verdicts;
    auto goal = [&](bool met, const std::string& what) {
        allMet = allMet && met;
        verdicts.push_back(std::string(met ? "  met     " : "  NOT MET ") + what);
    };

    for (const auto& in : inputs) {
        const bool big = in.w * in.h > 10'000'000;
        const int runs = big ? 3 : 7;
        const double fileMb = std::filesystem::file_size(in.path) / 1048576.0;
        const double inProc = DecodeInProcess(in.path, runs);
        const Measure ours = RunChild({self, "--decode", in.path}, runs);
        Measure djpeg, convert, pil;
        if (in.jpeg && haveDjpeg) djpeg = RunChild({"djpeg", "-outfile", "/dev/null", in.path}, runs);
        if (haveConvert)
            convert = RunChild({"convert", in.path, "-filter", "Box", "-resize", size + "!", "-colorspace", "Gray",
                                "gray:/dev/null"}, big ? 2 : 3);
        if (havePillow) pil = RunChild({"/usr/bin/python3", "-c", pillow, in.path}, big ? 2 : 3);
        const double readMs = ReadFileOnce(in.path, runs);
        printf("%-16s %9.1f %9.1f %8s %9s %9s %9s %9s %9s %9.2f\n", in.name.c_str(), fileMb, inProc, Fmt(ours).c_str(),
               FmtMb(ours).c_str(), Fmt(djpeg).c_str(), FmtMb(djpeg).c_str(), Fmt(convert).c_str(), Fmt(pil).c_str(),
               readMs);
        char line[256];
        if (in.jpeg && big) {
            if (djpeg.ok) {
                snprintf(line, sizeof line, "%s: %.2fx djpeg's full decode (goal <= 0.9)", in.name.c_str(), ours.ms / djpeg.ms);
                goal(ours.ms <= 0.9 * djpeg.ms, line);
            }
            if (convert.ok) {
                snprintf(line, sizeof line, "%s: %.1fx faster than ImageMagick (goal >= 4)", in.name.c_str(), convert.ms / ours.ms);
                goal(convert.ms >= 4 * ours.ms, line);
            }
            if (pil.ok) {
                snprintf(line, sizeof line, "%s: %.1fx faster than Pillow (goal >= 2.5)", in.name.c_str(), pil.ms / ours.ms);
                goal(pil.ms >= 2.5 * ours.ms, line);
            }
            snprintf(line, sizeof line, "%s: peak RSS %.1f MB (goal < 24)", in.name.c_str(), ours.peakKb / 1024.0);
            goal(ours.peakKb < 24 * 1024, line);
        } else if (in.jpeg && djpeg.ok) {
            snprintf(line, sizeof line, "%s: %.2fx djpeg's full decode (goal <= 1.2)", in.name.c_str(), ours.ms / djpeg.ms);
            goal(ours.ms <= 1.2 * djpeg.ms, line);
        } else if (!in.jpeg && !big) {
            snprintf(line, sizeof line, "%s: decode + grey %.2fx one read of the file (in process; goal < 3)",
                     in.name.c_str(), inProc / readMs);
            goal(inProc < 3 * readMs, line);
        }
    }
    printf("\nours(in): in this process, no process start; ours: a child process (bench_image --decode),\n"
           "like the peers. djpeg: full decode to /dev/null. convert: -filter Box -resize %s! -colorspace Gray.\n"
           "Pillow: open, resize BOX, convert L (includes the interpreter's start). read file: one read() of the\n"
           "whole file, from the page cache.\n\nGoals:\n", size.c_str());
    for (const auto& v : verdicts) printf("%s\n", v.c_str());
    printf("%s\n", allMet ? "All goals met." : "Some goals not met.");
    return 0;
}
