// Benchmark of the picture pipeline (decode + fit to the panel + grey) against its peers:
// djpeg's full decode (the floor for an unscaled JPEG decode) and its decode at half
// scale (the floor for the fitted path of a large JPEG, which decodes at that scale),
// ImageMagick and Pillow doing the same fit and grey conversion, and a plain read of the
// file. Then files of at most 1 MB that declare large pictures or much work: each must
// decode or be refused within 2 s and 300 MB.
//
// The inputs are made here: photo-like content (smooth gradients, soft shapes and
// noise), JPEG at quality 90 through libjpeg, BMP at 24 bits; the hostile files through
// the test pictures' writers.
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
#include <thread>
#include <vector>

#include "image/image.h"
#include "link/device_state.h"
#include "tests/support/picture_files.h"

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

// Runs argv as a child `runs` times; best wall time and the largest peak RSS. A child
// that exits with a status other than 0 counts as failed unless anyStatus.
Measure RunChild(const std::vector<std::string>& argv, int runs, bool quietStdout = true, bool anyStatus = false) {
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
        if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !anyStatus)) return m;
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

// libjpeg's full decode in this process, as djpeg does it (RGB rows, default settings),
// without djpeg's process start and output: the floor for an unscaled decode.
double FullJpegDecodeInProcess(const std::string& path, int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        FILE* f = fopen(path.c_str(), "rb");
        jpeg_decompress_struct d{};
        jpeg_error_mgr err{};
        d.err = jpeg_std_error(&err);
        jpeg_create_decompress(&d);
        jpeg_stdio_src(&d, f);
        jpeg_read_header(&d, TRUE);
        jpeg_start_decompress(&d);
        std::vector<uint8_t> row(size_t{d.output_width} * d.output_components);
        while (d.output_scanline < d.output_height) {
            JSAMPROW r = row.data();
            jpeg_read_scanlines(&d, &r, 1);
        }
        jpeg_finish_decompress(&d);
        jpeg_destroy_decompress(&d);
        fclose(f);
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

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        perror(path.c_str());
        exit(1);
    }
    fclose(f);
}

// Files of at most 1 MB that declare large pictures or ask for much work.
struct Hostile {
    std::string name, path;
};
std::vector<Hostile> MakeHostile(const std::string& dir) {
    std::vector<Hostile> out;
    auto add = [&](const std::string& name, const std::string& file, const std::vector<uint8_t>& bytes) {
        const std::string path = dir + "/" + file;
        if (!std::filesystem::exists(path)) WriteBytes(path, bytes);
        out.push_back({name, path});
    };
    std::vector<uint8_t> flat(size_t{4000} * 4000 * 3, 128), small(16 * 16 * 3, 90);
    const auto progressive = imgtest::MakeJpeg({2000, 2000, 3, true, false, 0, 90},
                                               std::vector<uint8_t>(flat.begin(), flat.begin() + 2000 * 2000 * 3));
    add("JPEG refinement x3000", "repeated_refinement.jpg", imgtest::RepeatJpegScan(progressive, 9, 3000));
    imgtest::JpegLayout firsts{4000, 4000, 3, true, false, 0, 90};
    firsts.scans = {{{0, 1, 2, -1}, 0, 0, 0, 0}, {{0, -1}, 1, 63, 0, 0}, {{1, -1}, 1, 63, 0, 0}, {{2, -1}, 1, 63, 0, 0}};
    add("JPEG AC scan x3000", "repeated_first.jpg", imgtest::RepeatJpegScan(imgtest::MakeJpeg(firsts, flat), 1, 3000));
    const auto tinyProgressive = imgtest::MakeJpeg({16, 16, 3, true, false, 0, 90}, small);
    add("JPEG prog 16384^2/2", "huge_progressive.jpg", imgtest::WithJpegSize(tinyProgressive, 16384, 8192));
    add("JPEG prog 8192x4096", "large_progressive.jpg", imgtest::WithJpegSize(tinyProgressive, 8192, 4096));
    const auto tinyBaseline = imgtest::MakeJpeg({16, 16, 3, false, true, 0, 90}, small);
    add("JPEG arith 16384^2/2", "huge_arithmetic.jpg", imgtest::WithJpegSize(tinyBaseline, 16384, 8192));
    add("JPEG arith 65500x2048", "wide_arithmetic.jpg", imgtest::WithJpegSize(tinyBaseline, 65500, 2048));
    imgtest::BmpLayout rle;
    rle.width = 16384, rle.height = 8192, rle.bpp = 8, rle.compression = 1, rle.palette = {{0, 0, 0}, {255, 255, 255}};
    rle.data = {255, 1, 0, 0, 255, 1, 0, 1};
    add("RLE8 16384^2/2", "huge_rle.bmp", imgtest::MakeBmp(rle));
    // A PNG of zeros: 16,384 x 8,192 grey compresses to about 130 KB.
    imgtest::PngLayout zeros{16384, 8192, 0, 8};
    add("PNG grey 16384^2/2", "huge_zeros.png", imgtest::MakePng(zeros, std::vector<uint16_t>(size_t{16384} * 8192, 0)));
    zeros.interlaced = true;
    zeros.width = 8192, zeros.height = 8192;
    add("PNG interl. 8192^2", "huge_interlaced.png", imgtest::MakePng(zeros, std::vector<uint16_t>(size_t{8192} * 8192, 0)));
    return out;
}

// The panel buffer as the tool allocates it (AllocateHostImageBuffer): not touched before
// the decode, so its first-touch page faults fall where they fall in the tool.
void SetUpPanel() {
    g_DeviceState.PanelWidth = kPanelW;
    g_DeviceState.PanelHeight = kPanelH;
    AllocateHostImageBuffer();
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
    SetUpPanel();
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
    // /usr/local/bin may hold a stand-in of convert; ImageMagick's own is in /usr/bin.
    const std::string convertTool = std::filesystem::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
    const bool haveDjpeg = Have("djpeg"), haveConvert = Have(convertTool.c_str());
    const bool havePillow = std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0;
    const std::string size = std::to_string(kPanelW) + "x" + std::to_string(kPanelH);
    const std::string pillow =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
        "im = im.resize((" + std::to_string(kPanelW) + ", " + std::to_string(kPanelH) + "), Image.BOX)\n"
        "im.convert('L').tobytes()\n";

    double load[3] = {};
    if (FILE* l = fopen("/proc/loadavg", "r")) {
        if (fscanf(l, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = 0;
        fclose(l);
    }
    printf("\nPanel %s, %u cores, load average %.2f. Times in ms, best of several runs; peak RSS in MB.\n",
           size.c_str(), std::thread::hardware_concurrency(), load[0]);
    if (load[0] > 0.5)
        printf("Warning: the machine is busy; times of separate processes in particular are unreliable.\n");
    printf("\n%-15s %7s %8s %8s %8s %9s %8s %9s %8s %8s %8s %9s\n", "input", "file MB", "ours(in)", "libjpeg", "ours",
           "ours RSS", "djpeg", "djpeg1/2", "convert", "Pillow", "read", "ours/jpeg");

    bool allMet = true;
    std::vector<std::string> verdicts;
    auto goal = [&](bool met, const std::string& what) {
        allMet = allMet && met;
        verdicts.push_back(std::string(met ? "  met     " : "  NOT MET ") + what);
    };

    for (const auto& in : inputs) {
        const bool big = in.w * in.h > 10'000'000;
        const int runs = big ? 11 : 15;
        const double fileMb = std::filesystem::file_size(in.path) / 1048576.0;
        // The in-process figures that are compared are taken in turns, one run of each at a
        // time, so that both see the same load of the machine.
        double inProc = 1e30, fullJpeg = in.jpeg ? 1e30 : 0, readMs = 1e30;
        for (int i = 0; i < runs; ++i) {
            inProc = std::min(inProc, DecodeInProcess(in.path, 1));
            if (in.jpeg) fullJpeg = std::min(fullJpeg, FullJpegDecodeInProcess(in.path, 1));
            readMs = std::min(readMs, ReadFileOnce(in.path, 1));
        }
        // Ours and djpeg as processes, in turns as well.
        Measure ours, djpeg, djpegHalf, convert, pil;
        auto keep = [](Measure& best, const Measure& m, bool first) {
            if (first) best = m;
            best.ok = best.ok && m.ok;
            best.ms = std::min(best.ms, m.ms);
            best.peakKb = std::max(best.peakKb, m.peakKb);
        };
        for (int i = 0; i < runs; ++i) {
            keep(ours, RunChild({self, "--decode", in.path}, 1), i == 0);
            if (in.jpeg && haveDjpeg) keep(djpeg, RunChild({"djpeg", "-outfile", "/dev/null", in.path}, 1), i == 0);
            if (in.jpeg && big && haveDjpeg)
                keep(djpegHalf, RunChild({"djpeg", "-scale", "1/2", "-outfile", "/dev/null", in.path}, 1), i == 0);
        }
        if (haveConvert)
            convert = RunChild({convertTool, in.path, "-filter", "Box", "-resize", size + "!", "-colorspace", "Gray",
                                "gray:/dev/null"}, big ? 2 : 3);
        if (havePillow) pil = RunChild({"/usr/bin/python3", "-c", pillow, in.path}, big ? 2 : 3);
        char jpegCol[32] = "n/a", ratioCol[32] = "n/a";
        if (in.jpeg) {
            snprintf(jpegCol, sizeof jpegCol, "%.1f", fullJpeg);
            snprintf(ratioCol, sizeof ratioCol, "%.2f", inProc / fullJpeg);
        }
        printf("%-15s %7.1f %8.1f %8s %8s %9s %8s %9s %8s %8s %8.2f %9s\n", in.name.c_str(), fileMb, inProc, jpegCol,
               Fmt(ours).c_str(), FmtMb(ours).c_str(), Fmt(djpeg).c_str(), Fmt(djpegHalf).c_str(), Fmt(convert).c_str(),
               Fmt(pil).c_str(), readMs, ratioCol);
        char line[256];
        if (in.jpeg && big) {
            if (djpegHalf.ok) {
                snprintf(line, sizeof line, "%s: %.2fx djpeg -scale 1/2 of the same file (both as processes; goal <= 1.05)",
                         in.name.c_str(), ours.ms / djpegHalf.ms);
                goal(ours.ms <= 1.05 * djpegHalf.ms, line);
            }
            snprintf(line, sizeof line, "%s: peak RSS %.1f MB (goal < 24)", in.name.c_str(), ours.peakKb / 1024.0);
            goal(ours.peakKb < 24 * 1024, line);
        } else if (in.jpeg) {
            snprintf(line, sizeof line, "%s: %.2fx libjpeg's full decode (in process; goal <= 1.2)", in.name.c_str(),
                     inProc / fullJpeg);
            goal(inProc <= 1.2 * fullJpeg, line);
        } else if (!in.jpeg && !big) {
            snprintf(line, sizeof line, "%s: decode + grey %.2fx one read of the file (in process; goal <= 3)",
                     in.name.c_str(), inProc / readMs);
            goal(inProc <= 3 * readMs, line);
        }
    }

    printf("\nFiles of at most 1 MB declaring large pictures or much work (ours as a child process):\n");
    printf("%-22s %9s %9s %9s  %s\n", "input", "file KB", "ms", "RSS MB", "result");
    for (const Hostile& h : MakeHostile(dir)) {
        const double kb = std::filesystem::file_size(h.path) / 1024.0;
        const Measure m = RunChild({self, "--decode", h.path}, 1, true, true);
        const Measure loaded = RunChild({self, "--decode", h.path}, 1, true, false);
        printf("%-22s %9.1f %9.1f %9.1f  %s\n", h.name.c_str(), kb, m.ms, m.peakKb / 1024.0, loaded.ok ? "loaded" : "refused");
        char line[256];
        snprintf(line, sizeof line, "%s (%.0f KB): %.0f ms, %.1f MB (goal <= 2000 ms, <= 300 MB)", h.name.c_str(), kb, m.ms,
                 m.peakKb / 1024.0);
        goal(kb <= 1024 && m.ok && m.ms <= 2000 && m.peakKb <= 300 * 1024, line);
    }
    printf("\nours(in): DecodeImageToGrey in this process (decode + fit + grey into the panel buffer).\n"
           "libjpeg: libjpeg-turbo's full decode in this process, as djpeg does it but without its process\n"
           "start and output. ours: the same decode as a child process (bench_image --decode), like the peers,\n"
           "so it includes process start and first-touch page faults of the panel buffer; its peak RSS is\n"
           "ours RSS. djpeg: full decode to /dev/null; djpeg1/2: with -scale 1/2. convert: -filter Box -resize %s!\n"
           "-colorspace Gray.\n"
           "Pillow: open, resize BOX, convert L (includes the interpreter's start). read: one read() of the\n"
           "whole file from the page cache. The goal against djpeg -scale 1/2 compares separate processes;\n"
           "the goals against libjpeg's decode and against read() compare in-process times.\n\nGoals:\n",
           size.c_str());
    for (const auto& v : verdicts) printf("%s\n", v.c_str());
    printf("%s\n", allMet ? "All goals met." : "Some goals not met.");
    return 0;
}
