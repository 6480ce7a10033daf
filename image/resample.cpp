// Area-averaging stretch, exact in integers.
//
// Along one axis the picture spans S file pixels and arrives as n delivered pixels of
// c = D / N file pixels each (D / N the decoder's reduction; n = ceil(S N / D), so the
// last delivered pixel may cover less). Scale coordinates by N d (d the destination
// size): delivered pixel i then spans [i D d, (i + 1) D d) cut at E d, with E = S N, and
// destination pixel j spans [j E, (j + 1) E). Their overlap is an integer, a multiple of
// g = gcd(D d, E); divided by g it is the weight of delivered pixel i in destination
// pixel j, and the weights of one destination pixel add up to E / g. This works the same
// for reduction (many delivered pixels per destination pixel) and enlargement (a
// destination pixel inside one delivered pixel or straddling two).
//
// The two axes are separable. Each source row is first stretched horizontally into
// integer sums (weight x value, at most 255 x 524,280), then destination rows sum the
// horizontal rows that overlap them, weighted by the vertical weights. These sums are
// held in doubles, where every integer below 2^53 is exact, and they stay below 2^47:
// no rounding happens, and the loops vectorise. A destination value is
// sum / (total_x x total_y) rounded to nearest, halves up: floor((2 sum + T) / 2T),
// evaluated as ((2 sum + T) x (1 / 2T)) + 1 / 4T truncated. The product and the sum are
// off by less than 1e-13 (the quotient is below 256), while a quotient that is not an
// integer is at least 1 / 2T from the next one and T < 2.8e11 makes 1 / 4T > 9e-13: the
// small bias lifts exact integers that came out just below and never pushes anything
// over.
//
// Rows are pulled: destination row j needs source rows first..last, and the first of
// them is never before the last of row j - 1, so holding the one most recent horizontal
// row is enough, whatever the ratio.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "image/image_service.h"

namespace qpimg {

struct AreaResampler::Axis {
    std::vector<uint32_t> first;   // first source pixel of each destination pixel
    std::vector<uint32_t> count;   // how many source pixels it takes
    std::vector<uint32_t> offset;  // where its weights start in `weight`
    std::vector<uint32_t> weight;
    uint64_t total = 1;            // sum of one destination pixel's weights
    // The same weights as `taps` per destination pixel (the largest count), starting at
    // `start`: padded with zero weights, moved back where they would run past the last
    // source pixel. Loops of a fixed length run faster than loops of 2, 2, 3, 2, ... steps.
    uint32_t taps = 0;
    std::vector<uint32_t> start;
    std::vector<uint32_t> fixed;

    // n delivered pixels of a picture of S file pixels, reduced by D / N, to d.
    Axis(uint32_t n, uint64_t S, uint64_t N, uint64_t D, uint32_t d) : first(d), count(d), offset(d) {
        if (N == 0 || D == 0 || (S * N + D - 1) / D != n) S = n, N = D = 1;  // plain pixels
        const uint64_t E = S * N, cell = D * d, end = E * d;
        const uint64_t g = std::gcd(cell, E);
        total = E / g;
        weight.reserve(size_t{n} + d);
        for (uint64_t j = 0; j < d; ++j) {
            const uint64_t lo = j * E, hi = (j + 1) * E;
            const uint64_t i0 = lo / cell, i1 = (hi - 1) / cell;
            first[j] = static_cast<uint32_t>(i0);
            count[j] = static_cast<uint32_t>(i1 - i0 + 1);
            offset[j] = static_cast<uint32_t>(weight.size());
            for (uint64_t i = i0; i <= i1; ++i) {
                const uint64_t overlap = std::min({(i + 1) * cell, hi, end}) - std::max(i * cell, lo);
                weight.push_back(static_cast<uint32_t>(overlap / g));
            }
            taps = std::max(taps, count[j]);
        }
        start.resize(d);
        fixed.assign(size_t{d} * taps, 0);
        for (uint32_t j = 0; j < d; ++j) {
            start[j] = std::min(first[j], n - taps);
            for (uint32_t k = 0; k < count[j]; ++k) fixed[size_t{j} * taps + (first[j] - start[j]) + k] = weight[offset[j] + k];
        }
    }
};

namespace {

// One row of blue, green, red stretched along x with T weights per destination pixel.
template <uint32_t T>
void StretchBgr(const uint8_t* c, const uint32_t* start, const uint32_t* fixed, uint32_t d, double* out) {
    for (uint32_t j = 0; j < d; ++j, fixed += T) {
        const uint8_t* p = c + size_t{start[j]} * 3;
        uint32_t b = 0, g = 0, r = 0;
        for (uint32_t k = 0; k < T; ++k, p += 3) {
            b += fixed[k] * p[0];
            g += fixed[k] * p[1];
            r += fixed[k] * p[2];
        }
        out[3 * j] = static_cast<double>(b);
        out[3 * j + 1] = static_cast<double>(g);
        out[3 * j + 2] = static_cast<double>(r);
    }
}

// The vertical sums and the final division, with wider vectors where the processor has
// them (AVX2, without fused multiply-add: the same operations, the same results).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QP_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define QP_WIDE
#endif

QP_WIDE void Weigh(double* a, const double* h, double w, size_t n, bool first) {
    if (first) {
        for (size_t e = 0; e < n; ++e) a[e] = w * h[e];
    } else {
        for (size_t e = 0; e < n; ++e) a[e] += w * h[e];
    }
}

QP_WIDE void Finish(const double* a, size_t n, double total, double inverse, double bias, uint8_t* out) {
    for (size_t e = 0; e < n; ++e) out[e] = static_cast<uint8_t>(static_cast<int>((2.0 * a[e] + total) * inverse + bias));
}

}  // namespace

AreaResampler::AreaResampler(RowSource& source, uint32_t dstWidth, uint32_t dstHeight)
    : source_(source), dstWidth_(dstWidth), dstHeight_(dstHeight) {
    const PixelFormat& f = source.Format();
    channels_ = f.IsIndexed() && f.GreyPalette() ? 1 : 3;
    if (f.width == 0 || f.height == 0 || dstWidth == 0 || dstHeight == 0) {
        dstHeight_ = 0;  // nothing to deliver
        return;
    }
    xAxis_ = std::make_unique<Axis>(f.width, source.FileWidth(), source.ScaleNum(), source.ScaleDenom(), dstWidth);
    yAxis_ = std::make_unique<Axis>(f.height, source.FileHeight(), source.ScaleNum(), source.ScaleDenom(), dstHeight);
    total_ = static_cast<double>(xAxis_->total * yAxis_->total);
    inverse_ = 1.0 / (2.0 * total_);
    bias_ = 1.0 / (4.0 * total_);
    raw_.resize(RowBytes(f.width, f.depth));
    if (f.depth != 24) colours_.resize(size_t{f.width} * channels_);
    hRow_.resize(size_t{dstWidth} * channels_);
    acc_.resize(size_t{dstWidth} * channels_);
}

AreaResampler::~AreaResampler() = default;

// Reads the next source row and stretches it horizontally into hRow_.
bool AreaResampler::FetchSourceRow() {
    const uint8_t* row = source_.NextRowAddress(raw_.data());
    if (!row) return false;
    ++nextSourceRow_;
    const uint8_t* c = row;  // 24-bit rows are blue, green, red already
    if (source_.Format().depth != 24) {
        RowToColours(source_.Format(), channels_, row, colours_.data());
        c = colours_.data();
    }
    const Axis& x = *xAxis_;
    double* out = hRow_.data();
    if (channels_ == 1) {
        for (uint32_t j = 0; j < dstWidth_; ++j) {
            const uint8_t* p = c + x.first[j];
            const uint32_t* w = x.weight.data() + x.offset[j];
            uint32_t sum = 0;
            for (uint32_t k = 0; k < x.count[j]; ++k) sum += w[k] * p[k];
            out[j] = static_cast<double>(sum);
        }
    } else if (x.taps >= 1 && x.taps <= 4) {
        const uint32_t* start = x.start.data();
        const uint32_t* fixed = x.fixed.data();
        switch (x.taps) {
        case 1: StretchBgr<1>(c, start, fixed, dstWidth_, out); break;
        case 2: StretchBgr<2>(c, start, fixed, dstWidth_, out); break;
        case 3: StretchBgr<3>(c, start, fixed, dstWidth_, out); break;
        default: StretchBgr<4>(c, start, fixed, dstWidth_, out); break;
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
            out[3 * j] = static_cast<double>(b);
            out[3 * j + 1] = static_cast<double>(g);
            out[3 * j + 2] = static_cast<double>(r);
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
        Weigh(acc_.data(), hRow_.data(), y.weight[y.offset[j] + k], n, k == 0);
    }
    Finish(acc_.data(), n, total_, inverse_, bias_, out);
    return true;
}

}  // namespace qpimg
