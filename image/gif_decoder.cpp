// GIF through giflib's line interface: the first frame of the file, on its logical screen.
//
// The picture is the logical screen (widened to the frame when the frame reaches past
// it). What the first frame does not cover, and the frame's transparent pixels, are white:
// paper, as a viewer shows transparency on a white page; the background colour index is
// not used (viewers ignore it too). Indices past the colour map are black, as in the other
// palette decoders; a file without any colour map is read as grey (index i is grey i).
//
// Rows are handed out from the top as the frame is decoded. An interlaced frame arrives in
// four passes and is decoded whole first, within the memory a file of its size may take
// (MemoryAllowed), like an interlaced PNG. Later frames and everything after the first
// frame's data are not read.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/file_reader.h"
#include "image/image_service.h"

namespace qpimg {
namespace {

// giflib asks for bytes in order; they come from the file or memory through a reader.
struct Input {
    FileReader* reader;
    uint64_t at = 0;
};

int ReadInput(GifFileType* gif, GifByteType* out, int n) {
    auto* in = static_cast<Input*>(gif->UserData);
    if (n <= 0) return 0;
    const uint64_t left = in->reader->Size() - std::min(in->at, in->reader->Size());
    const size_t take = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(n)));
    if (!in->reader->ReadAt(in->at, out, take)) return 0;
    in->at += take;
    return static_cast<int>(take);
}

std::string GifError(int code) {
    const char* text = GifErrorString(code);
    return text ? text : "error " + std::to_string(code);
}

class GifSource final : public RowSource {
public:
    explicit GifSource(const PictureBytes& bytes)
        : reader_(bytes.InMemory() ? FileReader(bytes.data, bytes.size) : FileReader(bytes.fd)) {}
    ~GifSource() override {
        if (gif_) {
            int ignored = 0;
            DGifCloseFile(gif_, &ignored);
        }
    }

    bool Open(std::string& why) {
        input_.reader = &reader_;
        int error = 0;
        gif_ = DGifOpen(&input_, ReadInput, &error);
        if (!gif_) {
            why = "not a readable GIF: " + GifError(error);
            return false;
        }
        // Extensions up to the first frame: only a graphic control block matters, for the
        // frame's transparent index.
        int transparent = -1;
        for (;;) {
            GifRecordType type = UNDEFINED_RECORD_TYPE;
            if (DGifGetRecordType(gif_, &type) == GIF_ERROR) return Broken(why);
            if (type == IMAGE_DESC_RECORD_TYPE) break;
            if (type == TERMINATE_RECORD_TYPE) {
                why = "the GIF holds no frame";
                return false;
            }
            if (type != EXTENSION_RECORD_TYPE) {
                why = "not a readable GIF: unexpected record";
                return false;
            }
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif_, &code, &block) == GIF_ERROR) return Broken(why);
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
                GraphicsControlBlock gcb{};
                if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) transparent = gcb.TransparentColor;
            }
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif_, &block) == GIF_ERROR) return Broken(why);
            }
        }
        if (DGifGetImageDesc(gif_) == GIF_ERROR) return Broken(why);
        const GifImageDesc& frame = gif_->Image;
        if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) {
            why = "the GIF's first frame has no pixels";
            return false;
        }
        const uint64_t w = std::max<uint64_t>(uint64_t(gif_->SWidth), uint64_t(frame.Left) + uint64_t(frame.Width));
        const uint64_t h = std::max<uint64_t>(uint64_t(gif_->SHeight), uint64_t(frame.Top) + uint64_t(frame.Height));
        if (!SizeAcceptable(w, h)) {
            why = SizeRefusal(w, h);
            return false;
        }
        left_ = static_cast<uint32_t>(frame.Left), top_ = static_cast<uint32_t>(frame.Top);
        frameW_ = static_cast<uint32_t>(frame.Width), frameH_ = static_cast<uint32_t>(frame.Height);
        const bool covered = left_ == 0 && top_ == 0 && frameW_ == w && frameH_ == h;
        interlaced_ = frame.Interlace;
        if (interlaced_) {
            const uint64_t need = uint64_t{frameW_} * frameH_, allowed = MemoryAllowed(reader_.Size());
            if (need > allowed) {
                why = "interlaced: " + MemoryRefusal(need, allowed, reader_.Size());
                return false;
            }
        }

        // The palette: the frame's colour map, else the screen's, else greys; black past
        // its end; the transparent index white.
        format_.width = static_cast<uint32_t>(w);
        format_.height = static_cast<uint32_t>(h);
        format_.depth = 8;
        format_.paletteSize = 256;
        const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif_->SColorMap;
        for (int i = 0; i < 256; ++i) {
            uint8_t* e = format_.palette[i];
            if (map == nullptr) {
                e[0] = e[1] = e[2] = static_cast<uint8_t>(i);
            } else if (i < map->ColorCount) {
                e[0] = map->Colors[i].Blue, e[1] = map->Colors[i].Green, e[2] = map->Colors[i].Red;
            }
        }
        if (transparent >= 0 && transparent < 256) std::memset(format_.palette[transparent], 255, 3);
        // Outside the frame: the transparent index when there is one; otherwise no index
        // is sure to be free for white, and the rows go out as blue, green, red.
        if (!covered && transparent < 0) {
            palette_ = format_;
            format_.depth = 24;
            format_.paletteSize = 0;
        }
        outside_ = static_cast<uint8_t>(transparent >= 0 ? transparent : 0);
        fileWidth_ = format_.width;
        fileHeight_ = format_.height;
        line_.resize(w);
        return true;
    }

    bool ReadRow(uint8_t* row) override {
        if (!failure_.empty() || next_ >= format_.height) return false;
        const uint32_t r = next_;
        const bool frameRow = r >= top_ && r < top_ + frameH_;
        // Rows the frame does not reach are white: filled at once, however many a small
        // file's screen declares.
        if (!frameRow) {
            if (format_.depth == 8)
                std::memset(row, outside_, format_.width);
            else
                std::memset(row, 255, size_t{format_.width} * 3);
            ++next_;
            return true;
        }
        // The row as indices, in line_, then as the delivered format.
        std::fill(line_.begin(), line_.end(), outside_);
        uint8_t* at = line_.data() + left_;
        if (interlaced_) {
            if (whole_.empty() && !ReadWhole()) return false;
            std::memcpy(at, whole_.data() + size_t{r - top_} * frameW_, frameW_);
        } else if (DGifGetLine(gif_, at, static_cast<int>(frameW_)) == GIF_ERROR) {
            failure_ = "corrupt GIF data at row " + std::to_string(r) + ": " + GifError(gif_->Error);
            return false;
        }
        if (format_.depth == 8) {
            std::memcpy(row, line_.data(), format_.width);
        } else {
            std::memset(row, 255, size_t{format_.width} * 3);
            for (uint32_t x = left_; x < left_ + frameW_; ++x)
                std::memcpy(row + 3 * size_t{x}, palette_.palette[line_[x]], 3);
        }
        ++next_;
        return true;
    }

private:
    bool Broken(std::string& why) {
        why = "not a readable GIF: " + GifError(gif_->Error);
        return false;
    }

    // An interlaced frame: passes of every 8th row from 0, every 8th from 4, every 4th
    // from 2, every 2nd from 1.
    bool ReadWhole() {
        whole_.resize(size_t{frameW_} * frameH_);
        static const uint32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (uint32_t y = kStart[pass]; y < frameH_; y += kStep[pass]) {
                if (DGifGetLine(gif_, whole_.data() + size_t{y} * frameW_, static_cast<int>(frameW_)) == GIF_ERROR) {
                    failure_ = "corrupt GIF data in interlace pass " + std::to_string(pass + 1) + ": " +
                               GifError(gif_->Error);
                    return false;
                }
            }
        }
        return true;
    }

    FileReader reader_;
    Input input_{nullptr};
    GifFileType* gif_ = nullptr;
    uint32_t left_ = 0, top_ = 0, frameW_ = 0, frameH_ = 0;
    bool interlaced_ = false;
    PixelFormat palette_;  // the colours, when rows go out as blue, green, red
    uint8_t outside_ = 0;  // the index of the pixels outside the frame
    std::vector<uint8_t> line_, whole_;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenGif(PictureBytes bytes, std::string& why) {
    auto source = std::make_unique<GifSource>(bytes);
    if (!source->Open(why)) return nullptr;
    return source;
}

}  // namespace qpimg
