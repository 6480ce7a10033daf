#include "emu/png_writer.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The libpng part lives in its own function without C++ objects that need destruction,
// because an error leaves it through longjmp.
bool EncodeTo(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height, PngErrorState* state) {
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
    png_init_io(png, file);
    // The panel is rewritten after every refresh: speed matters more than size.
    png_set_compression_level(png, 1);
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

bool WriteGreyPng(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  std::string* error) {
    // A fresh file of our own beside the target: mkstemp creates it exclusively, so a name
    // planted in a shared folder (a symlink to someone's file) is never written through.
    std::string temp = path + ".tmp.XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = temp + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, 0644);  // a picture for anyone to look at, like any other file the user writes
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        if (error) *error = temp + ": " + std::strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    PngErrorState state;
    bool ok = EncodeTo(file, pixels, width, height, &state);
    if (std::fflush(file) != 0) ok = false;
    if (std::fclose(file) != 0) ok = false;
    if (!ok) {
        if (error) *error = temp + ": PNG encoding failed" + (state.message.empty() ? "" : ": " + state.message);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace emu
