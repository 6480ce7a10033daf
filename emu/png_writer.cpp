#include "emu/png_writer.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

namespace emu {
namespace {

struct PngErrorState {
    std::string message;
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    if (state) state->message = message;
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void AppendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    bool full = false;
    try {
        out->insert(out->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        full = true;  // no exception may cross libpng's frames: it leaves by longjmp
    }
    if (full) png_error(png, "out of memory");
}

void NoFlush(png_structp) {}

// The libpng part lives in its own function without C++ objects that need destruction,
// because an error leaves it through longjmp (the vector is the caller's).
bool EncodeTo(std::vector<uint8_t>* out, const uint8_t* pixels, uint32_t width, uint32_t height,
              PngErrorState* state) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, OnPngError, OnPngWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, AppendBytes, NoFlush);
    // The panel is rewritten after refreshes: speed matters more than size. The panel holds
    // at most 16 grey levels in flat areas, which deflate well unfiltered; trying every row
    // filter (libpng's default) takes three to six times as long for hardly a smaller file.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t r = 0; r < height; ++r) {
        png_write_row(png, const_cast<png_bytep>(pixels + size_t{r} * width));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool EncodeGreyPng(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>* png,
                   std::string* error) {
    png->clear();
    // Level 1 leaves a picture of flat areas at a few percent of its pixels.
    png->reserve(size_t{width} * height / 8 + 1024);
    PngErrorState state;
    if (EncodeTo(png, pixels, width, height, &state)) return true;
    if (error) *error = "PNG encoding failed" + (state.message.empty() ? "" : ": " + state.message);
    png->clear();
    return false;
}

bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    // A fresh file of our own beside the target: mkstemp creates it exclusively, so a name
    // planted in a shared folder (a symlink to someone's file) is never written through.
    std::string temp = path + ".tmp.XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = temp + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, 0644);  // a picture for anyone to look at, like any other file the user writes
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = temp + ": " + (n < 0 ? std::strerror(errno) : "nothing written");
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        if (error) *error = temp + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace emu
