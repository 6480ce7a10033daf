// Area-averaging stretch, exact in integers.
//
// Along one axis, scale source coordinates by d and destination coordinates by s (s, d
// the source and destination sizes): source pixel i then spans [i d, (i + 1) d) and
// destination pixel j spans [j s, (j + 1) s). Their overlap is an integer, a multiple of
// g = gcd(s, d); divided by g it is the weight of source pixel i in destination pixel j,
// and the weights of one destination pixel add up to s / g. This works the same for
// reduction (many source pixels per destination pixel) and enlargement (a destination
// pixel inside one source pixel or straddling two).
//
// The two axes are separable. Each source row is first stretched horizontally into
// integer sums (weight x value, at most 255 x 65,535), then destination rows sum the
// horizontal rows that overlap them, weighted by the vertical weights (64 bits). A
// destination value is sum / (total_x x total_y) rounded to nearest, halves up,
// computed as floor((2 sum + T) / 2T) with an exact multiply-and-shift division.
//
// Rows are pulled: destination row j needs source rows first..last, and the first of
// them is never before the last of row j - 1, so holding the one most recent horizontal
// row is enough, whatever the ratio.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "image/image_service.h"

namespace qpimg {
namespace {

// floor(n / d) for every n < 2^kBits, as (n x m) >> shift (Granlund and Montgomery: with
// shift = kBits + ceil(log2 d) and m = ceil(2^shift / d), the error term stays below
// 1 / d and never reaches the next integer).
class ExactDivider {
public:
    static constexpr int kBits = 48;
    explicit ExactDivider(uint64_t d) {
        int l = 0;
        while ((uint64_t{1} << l) < d) ++l;
        shift_ = kBits + l;
        const unsigned __int128 p = static_cast<unsigned __int128>(1) << shift_;
        m_ = static_cast<uint64_t>((p + d - 1) / d);
    }
    uint64_t Divide(uint64_t n) const {
        return static_cast<uint64_t>((static_cast<unsigned __int128>(n) * m_) >> shift_);
    }

private:
    uint64_t m_ = 0;
    int shift_ = 0;
};

}  // namespace

struct AreaResampler::Axis {
    std::vector<uint32_t> first;   // first source pixel of each destination pixel
    std::vector<uint32_t> count;   // how many source pixels it takes
    std::vector<uint32_t> offset;  // where its weights start in `weight`
    std::vector<uint32_t> weight;
    uint64_t total = 1;            // sum of one destination pixel's weights

    Axis(uint32_t s, uint32_t d) : first(d), count(d), offset(d) {
        const uint64_t g = std::gcd(uint64_t{s}, uint64_t{d});
        total = s / g;
        weight.reserve(size_t{s} + d);
        for (uint64_t j = 0; j < d; ++j) {
            const uint64_t lo = j * s, hi = (j + 1) * s;
            const uint64_t i0 = lo / d, i1 = (hi - 1) / d;
            first[j] = static_cast<uint32_t>(i0);
            count[j] = static_cast<uint32_t>(i1 - i0 + 1);
            offset[j] = static_cast<uint32_t>(weight.size());
            for (uint64_t i = i0; i <= i1; ++i) {
                const uint64_t overlap = std::min((i + 1) * d, hi) - std::max(i * d, lo);
                weight.push_back(static_cast<uint32_t>(overlap / g));
            }
        }
    }
};

AreaResampler::AreaResampler(RowSource& source, uint32_t dstWidth, uint32_t dstHeight)
    : source_(source), dstWidth_(dstWidth), dstHeight_(dstHeight) {
    const PixelFormat& f = source.Format();
    channels_ = f.IsIndexed() && f.GreyPalette() ? 1 : 3;
    if (f.width == 0 || f.height == 0 || dstWidth == 0 || dstHeight == 0) {
        dstHeight_ = 0;  // nothing to deliver
        return;
    }
    xAxis_ = std::make_unique<Axis>(f.width, dstWidth);
    yAxis_ = std::make_unique<Axis>(f.height, dstHeight);
    raw_.resize(RowBytes(f.width, f.depth));
    colours_.resize(size_t{f.width} * channels_);
    hRow_.resize(size_t{dstWidth} * channels_);
    acc_.resize(size_t{dstWidth} * channels_);
}

AreaResampler::~AreaResampler() = default;

// Reads the next source row and stretches it horizontally into hRow_.
bool AreaResampler::FetchSourceRow() {
    if (!source_.ReadRow(raw_.data())) return false;
    ++nextSourceRow_;
    RowToColours(source_.Format(), channels_, raw_.data(), colours_.data());
    const Axis& x = *xAxis_;
    const uint8_t* c = colours_.data();
    uint32_t* out = hRow_.data();
    if (channels_ == 1) {
        for (uint32_t j = 0; j < dstWidth_; ++j) {
            const uint8_t* p = c + x.first[j];
            const uint32_t* w = x.weight.data() + x.offset[j];
            uint32_t sum = 0;
            for (uint32_t k = 0; k < x.count[j]; ++k) sum += w[k] * p[k];
            out[j] = sum;
        }
    } else {
        for (uint32_t j = 0; j < dstWidth_; ++j) {
            const uint8_t* p = c + size_t{x.first[j]} * 3;
            const uint32_t* w = x.weight.data() + x.offset[j];
            uint32_t b = 0, g = 0, r = 0;
            for (uint32_t k = 0; k < x.count[j]; ++k, p += 3) {
                b += w[k] * p[0];
                g += w[k] * p[1];
                r += w[k] * p[2];
            }
            out[3 * j] = b, out[3 * j + 1] = g, out[3 * j + 2] = r;
        }
    }
    return true;
}

bool AreaResampler::NextRow(uint8_t* out) {
    if (nextDestRow_ >= dstHeight_) return false;
    const uint32_t j = nextDestRow_++;
    const Axis& y = *yAxis_;
    const size_t n = acc_.size();
    for (uint32_t k = 0; k < y.count[j]; ++k) {
        const uint32_t i = y.first[j] + k;
        while (nextSourceRow_ <= i) {
            if (!FetchSourceRow()) return false;
        }
        const uint64_t w = y.weight[y.offset[j] + k];
        const uint32_t* h = hRow_.data();
        uint64_t* a = acc_.data();
        if (k == 0) {
            for (size_t e = 0; e < n; ++e) a[e] = w * h[e];
        } else {
            for (size_t e = 0; e < n; ++e) a[e] += w * h[e];
        }
    }
    const uint64_t total = xAxis_->total * y.total;
    const ExactDivider divider(2 * total);
    for (size_t e = 0; e < n; ++e) out[e] = static_cast<uint8_t>(divider.Divide(2 * acc_[e] + total));
    return true;
}

}  // namespace qpimg
