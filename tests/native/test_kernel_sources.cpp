// Tests of the kernel's sources and outputs: filter() reading strided arrays of every sample
// type with every border mode, column strips, output blocks and output conversions. The
// reference is filter() on a buffer padded here with a plain border loop, whose windows reach no
// border and whose arithmetic test_fused_kernel checks against its model; results must match bit
// for bit.
// Build and run: tests/native/run.sh   (optional argument: random seed)

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fused_kernel.hpp"
#include "check.hpp"
#include "padded_request.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

using sovelk::testing::check;

using Rng = std::mt19937_64;
int pick(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

const std::function<bool()> kNever = [] { return false; };

// The border pictures for a row abcd, written out position by position.
ptrdiff_t plain_border(ptrdiff_t p, ptrdiff_t n, fk::Border b) {
    while (p < 0 || p >= n) {
        switch (b) {
            case fk::Border::constant: return -1;
            case fk::Border::nearest: return p < 0 ? 0 : n - 1;
            case fk::Border::wrap: p += p < 0 ? n : -n; break;
            case fk::Border::reflect: p = p < 0 ? -p - 1 : 2 * n - 1 - p; break;
            case fk::Border::mirror:
                if (n == 1) return 0;
                p = p < 0 ? -p : 2 * n - 2 - p;
                break;
        }
    }
    return p;
}

const fk::Border kBorders[] = {fk::Border::reflect, fk::Border::mirror, fk::Border::nearest, fk::Border::wrap,
                               fk::Border::constant};
const char* border_name(fk::Border b) {
    static const char* names[] = {"reflect", "mirror", "nearest", "wrap", "constant"};
    return names[static_cast<int>(b)];
}

void test_border_pictures() {
    // Row abcd (0 1 2 3), positions -3 .. 6.
    const char* expected[] = {"cbaabcddcb", "dcbabcdcba", "aaaabcdddd", "bcdabcdabc", "...abcd..."};
    for (fk::Border b : kBorders) {
        std::string got;
        for (ptrdiff_t p = -3; p <= 6; ++p) {
            const ptrdiff_t i = fk::border_index(p, 4, b);
            got += i < 0 ? '.' : static_cast<char>('a' + i);
        }
        check(got == expected[static_cast<int>(b)], std::string("picture of ") + border_name(b) + ": " + got);
    }
    // Far outside short axes, both sides: the closed form agrees with stepping.
    bool all = true;
    for (fk::Border b : kBorders)
        for (ptrdiff_t n = 1; n <= 5; ++n)
            for (ptrdiff_t p = -40; p <= 45; ++p) all &= fk::border_index(p, n, b) == plain_border(p, n, b);
    check(all, "border_index far beyond axes of 1 to 5 cells");
}

// An image of int32 values stored as `sample`, h x w x ch with the given strides.
struct Image {
    fk::Sample sample;
    ptrdiff_t h, w;
    int ch;
    std::vector<char> bytes;
    fk::Strided view;
    std::vector<int32_t> values;  // (y, x, k) row-major
};

size_t item_size(fk::Sample s) {
    switch (s) {
        case fk::Sample::uint8: return 1;
        case fk::Sample::uint16:
        case fk::Sample::int16: return 2;
        case fk::Sample::float64: return 8;
        default: return 4;
    }
}

void store(fk::Sample s, char* p, double v) {
    switch (s) {
        case fk::Sample::uint8: { uint8_t x = static_cast<uint8_t>(v); std::memcpy(p, &x, 1); break; }
        case fk::Sample::uint16: { uint16_t x = static_cast<uint16_t>(v); std::memcpy(p, &x, 2); break; }
        case fk::Sample::int16: { int16_t x = static_cast<int16_t>(v); std::memcpy(p, &x, 2); break; }
        case fk::Sample::int32: { int32_t x = static_cast<int32_t>(v); std::memcpy(p, &x, 4); break; }
        case fk::Sample::float32: { float x = static_cast<float>(v); std::memcpy(p, &x, 4); break; }
        case fk::Sample::float64: std::memcpy(p, &v, 8); break;
    }
}

// Random layout: pixel order and channel order shuffled, rows possibly reversed, odd padding
// bytes between elements, an unaligned start.
Image make_image(Rng& rng, fk::Sample sample, ptrdiff_t h, ptrdiff_t w, int ch, int lo, int hi) {
    Image im{sample, h, w, ch, {}, {}, {}};
    const ptrdiff_t item = static_cast<ptrdiff_t>(item_size(sample));
    const ptrdiff_t gap = pick(rng, 0, 2) == 0 ? item + 1 : 0;
    const ptrdiff_t sc = item + gap, sw = sc * ch + pick(rng, 0, 1) * 3, sh = sw * w + pick(rng, 0, 1) * 5;
    const ptrdiff_t start = pick(rng, 0, 1);
    im.bytes.assign(static_cast<size_t>(start + sh * h + 16), 0);
    const bool flip = pick(rng, 0, 2) == 0;
    im.view.sample = sample;
    im.view.h = h;
    im.view.w = w;
    im.view.channels = ch;
    im.view.stride_c = sc;
    im.view.stride_w = sw;
    im.view.stride_h = flip ? -sh : sh;
    im.view.data = im.bytes.data() + start + (flip ? sh * (h - 1) : 0);
    im.values.resize(static_cast<size_t>(h * w * ch));
    for (ptrdiff_t y = 0; y < h; ++y)
        for (ptrdiff_t x = 0; x < w; ++x)
            for (int k = 0; k < ch; ++k) {
                const int32_t v = pick(rng, lo, hi);
                im.values[static_cast<size_t>((y * w + x) * ch + k)] = v;
                store(sample, const_cast<char*>(static_cast<const char*>(im.view.data)) + y * im.view.stride_h +
                                  x * sw + k * sc, v);
            }
    return im;
}

// The padded int32 buffer of an image, made by plain_border().
std::vector<int32_t> padded(const Image& im, ptrdiff_t pad, fk::Border b, int32_t cval) {
    const ptrdiff_t ph = im.h + 2 * pad, pw = im.w + 2 * pad;
    std::vector<int32_t> out(static_cast<size_t>(ph * pw * im.ch));
    for (ptrdiff_t y = 0; y < ph; ++y)
        for (ptrdiff_t x = 0; x < pw; ++x) {
            const ptrdiff_t sy = plain_border(y - pad, im.h, b), sx = plain_border(x - pad, im.w, b);
            for (int k = 0; k < im.ch; ++k)
                out[static_cast<size_t>((y * pw + x) * im.ch + k)] =
                    sy < 0 || sx < 0 ? cval : im.values[static_cast<size_t>((sy * im.w + sx) * im.ch + k)];
        }
    return out;
}

// The request for padded int32 buffers, 256 table entries; the output is the caller's to set.
fk::testing::Padded padded_request(const std::vector<int32_t>& img, const std::vector<int32_t>& guid, ptrdiff_t h,
                                   ptrdiff_t w, ptrdiff_t pad, int ch, int gch, const std::vector<double>& kernel,
                                   const std::vector<double>& table) {
    fk::testing::Padded q;
    q.kernel_s = kernel.data();
    q.table = table.data();
    q.table_len = 256;
    q.img = img.data();
    q.img_ch = ch;
    q.guid = guid.data();
    q.guid_ch = gch;
    q.h = h;
    q.w = w;
    q.pad = pad;
    return q;
}

std::vector<double> gaussian(size_t n, double sigma) {
    std::vector<double> t(n);
    for (size_t i = 0; i < n; ++i) t[i] = std::exp(-double(i * i) / (2.0 * sigma * sigma));
    return t;
}

// filter() from strided arrays of every sample type, border mode, output block and strip
// width, against filter() on padded buffers of the same values (int32 guidance weighed by the
// same table), whose windows reach no border.
void test_sources_match_padded_buffers(Rng& rng, int count) {
    const fk::Sample samples[] = {fk::Sample::uint8, fk::Sample::uint16, fk::Sample::int16,
                                  fk::Sample::int32, fk::Sample::float32, fk::Sample::float64};
    for (int n = 0; n < count; ++n) {
        const fk::Sample sample = samples[n % 6];
        const fk::Border border = kBorders[(n / 6) % 5];
        const ptrdiff_t h = pick(rng, 1, 9), w = pick(rng, 1, 40), pad = pick(rng, 0, 6);
        const int ch = pick(rng, 1, 5), gch = pick(rng, 1, 4);
        const int lo = sample == fk::Sample::int16 ? -32768 : sample == fk::Sample::int32 ? -100000 : 0;
        const int hi = sample == fk::Sample::uint8 ? 255 : 65535 + (sample == fk::Sample::int16 ? -32768 : 0);
        const Image img = make_image(rng, sample, h, w, ch, lo, hi);
        const Image guid = make_image(rng, fk::Sample::uint8, h, w, gch, 0, 255);
        const int32_t cval = pick(rng, lo, hi), gcval = pick(rng, 0, 255);
        const ptrdiff_t ws = 2 * pad + 1;
        std::vector<double> kernel = gaussian(static_cast<size_t>(ws * ws), 1.0 + pad);
        const std::vector<double> table = gaussian(256, 10.0 + pick(rng, 0, 40));
        kernel[static_cast<size_t>(pad * ws + pad)] = 1.0;

        const std::vector<int32_t> pimg = padded(img, pad, border, cval), pguid = padded(guid, pad, border, gcval);
        std::vector<double> expected(static_cast<size_t>(h * w * ch));
        const fk::FilterRequest q =
            padded_request(pimg, pguid, h, w, pad, ch, gch, kernel, table).request(expected.data());
        const bool ran = fk::filter(q, 2, kNever).status == fk::Status::ok;

        fk::FilterRequest s;
        s.image = img.view;
        s.guidance = guid.view;
        s.border = border;
        s.cval = cval;
        s.guidance_cval = static_cast<uint8_t>(gcval);
        s.pad = pad;
        s.kernel_s = kernel.data();
        s.table = table.data();
        s.table_len = 256;
        s.row0 = pick(rng, 0, static_cast<int>(h - 1));
        s.col0 = pick(rng, 0, static_cast<int>(w - 1));
        s.rows = pick(rng, 1, static_cast<int>(h - s.row0));
        s.cols = pick(rng, 1, static_cast<int>(w - s.col0));
        std::vector<double> got(static_cast<size_t>(s.rows * s.cols * ch), -1.0);
        s.out.data = got.data();
        s.out.sample = fk::Sample::float64;
        s.out.h = s.rows;
        s.out.w = s.cols;
        s.out.channels = ch;
        s.out.stride_c = 8;
        s.out.stride_w = 8 * ch;
        s.out.stride_h = 8 * ch * s.cols;
        fkd::Options options;
        options.strip_width = pick(rng, 0, 1) ? pick(rng, 1, 9) : 0;
        const fk::Status status = fkd::filter_with(s, pick(rng, 1, 3), kNever, options).status;
        bool same = ran && status == fk::Status::ok;
        for (ptrdiff_t y = 0; same && y < s.rows; ++y)
            for (ptrdiff_t x = 0; x < s.cols * ch; ++x) {
                const double a = got[static_cast<size_t>(y * s.cols * ch + x)];
                const double b = expected[static_cast<size_t>((s.row0 + y) * w * ch + s.col0 * ch + x)];
                same &= std::memcmp(&a, &b, 8) == 0;
            }
        char label[200];
        std::snprintf(label, sizeof label, "source %zu-byte samples, %s, %tdx%td x%d guid %d pad %td block %td+%td,%td+%td strip %td",
                      item_size(sample), border_name(border), h, w, ch, gch, pad, s.row0, s.rows, s.col0, s.cols,
                      options.strip_width);
        check(same, label);
    }
}

// Strips of the padded-buffer path: any strip width gives the same bits as the whole row.
void test_padded_strips(Rng& rng) {
    const ptrdiff_t h = 7, w = 300, pad = 4, ws = 9;
    Image img = make_image(rng, fk::Sample::int32, h + 2 * pad, w + 2 * pad, 3, 0, 255);
    Image guid = make_image(rng, fk::Sample::int32, h + 2 * pad, w + 2 * pad, 3, 0, 255);
    const std::vector<double> kernel = gaussian(ws * ws, 2.0), table = gaussian(256, 20.0);
    const fk::testing::Padded q = padded_request(img.values, guid.values, h, w, pad, 3, 3, kernel, table);
    std::vector<uint8_t> whole(static_cast<size_t>(h * w * 3)), strips(whole.size());
    fk::filter(q.request_u8(whole.data()), 2, kNever);
    bool same = true;
    for (ptrdiff_t strip : {1, 7, 64, 299}) {
        fkd::Options options;
        options.strip_width = strip;
        same &= fkd::filter_with(q.request_u8(strips.data()), 2, kNever, options).status == fk::Status::ok &&
                strips == whole;
    }
    check(same, "padded buffers: strips of 1, 7, 64 and 299 columns give the whole row's bytes");
}

// A window 1 pixel wide copies the image: each output conversion is seen alone.
template <class O>
std::vector<O> convert(const std::vector<double>& values, fk::Sample out_sample, fk::Rounding rounding, fk::Status& status) {
    const ptrdiff_t n = static_cast<ptrdiff_t>(values.size());
    const uint8_t guid[64] = {};
    const double one = 1.0;
    const std::vector<double> table = gaussian(256, 10.0);
    std::vector<O> out(values.size());
    fk::FilterRequest s;
    s.image = {values.data(), fk::Sample::float64, 1, n, 1, 8 * n, 8, 8};
    s.guidance = {guid, fk::Sample::uint8, 1, n, 1, 64, 1, 1};
    s.kernel_s = &one;
    s.table = table.data();
    s.table_len = 256;
    s.rows = 1;
    s.cols = n;
    s.out = {out.data(), out_sample, 1, n, 1, static_cast<ptrdiff_t>(sizeof(O)) * n, sizeof(O), sizeof(O)};
    s.rounding = rounding;
    status = fk::filter(s, 1, kNever).status;
    return out;
}

void test_output_conversions() {
    const std::vector<double> in = {0.5, 1.5, 2.5, -0.5, -2.5, 2.4999999999999996, 254.9, 255.5, 1e10, -1e10, -3.7};
    fk::Status st;
    check(convert<uint8_t>(in, fk::Sample::uint8, fk::Rounding::half_even, st) ==
              std::vector<uint8_t>{0, 2, 2, 0, 0, 2, 255, 255, 255, 0, 0} && st == fk::Status::ok,
          "uint8, ties to even, clipped");
    check(convert<uint8_t>(in, fk::Sample::uint8, fk::Rounding::truncate, st) ==
              std::vector<uint8_t>{0, 1, 2, 0, 0, 2, 254, 255, 255, 0, 0},
          "uint8, truncated as numpy's clip and cast");
    const std::vector<int16_t> int16_even = {0, 2, 2, 0, -2, 2, 255, 256, 32767, -32768, -4};
    check(convert<int16_t>(in, fk::Sample::int16, fk::Rounding::half_even, st) == int16_even,
          "int16, ties to even, clipped at both ends");
    // The same under the caller's other rounding modes, which the workers run in.
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        const std::vector<int16_t> got = convert<int16_t>(in, fk::Sample::int16, fk::Rounding::half_even, st);
        std::fesetround(FE_TONEAREST);
        check(got == int16_even, "int16, ties to even in rounding mode " + std::to_string(mode));
    }
    check(convert<int32_t>(in, fk::Sample::int32, fk::Rounding::truncate, st) ==
              std::vector<int32_t>{0, 1, 2, 0, -2, 2, 254, 255, std::numeric_limits<int32_t>::max(),
                                   std::numeric_limits<int32_t>::min(), -3},
          "int32, truncated toward zero");
    const std::vector<float> f = convert<float>(in, fk::Sample::float32, fk::Rounding::half_even, st);
    check(f[5] == 2.5f && f[8] == 1e10f, "float32 rounded to nearest");
    std::vector<double> bad = in;
    bad[3] = std::numeric_limits<double>::quiet_NaN();
    convert<uint16_t>(bad, fk::Sample::uint16, fk::Rounding::half_even, st);
    check(st == fk::Status::non_finite_image, "a NaN image value stops the call");
    bad[3] = -std::numeric_limits<double>::infinity();
    convert<double>(bad, fk::Sample::float64, fk::Rounding::half_even, st);
    check(st == fk::Status::non_finite_image, "an infinite image value stops the call");
}

// A NaN outside every window's reach is never read; one a border reflects in is.
void test_non_finite_reach() {
    const std::vector<double> table = gaussian(256, 10.0);
    std::vector<double> kernel(9, 0.0);
    kernel[4] = 1.0;  // the output is the centre pixel, exactly
    std::vector<float> img(5 * 5, 1.0f);
    const uint8_t guid[25] = {};
    double out[9];
    fk::FilterRequest s;
    s.image = {img.data(), fk::Sample::float32, 5, 5, 1, 20, 4, 4};
    s.guidance = {guid, fk::Sample::uint8, 5, 5, 1, 5, 1, 1};
    s.pad = 1;
    s.kernel_s = kernel.data();
    s.table = table.data();
    s.table_len = 256;
    s.row0 = s.col0 = 2;
    s.rows = s.cols = 1;
    s.out = {out, fk::Sample::float64, 1, 1, 1, 8, 8, 8};
    img[0] = std::numeric_limits<float>::quiet_NaN();  // corner, two cells from the block
    check(fk::filter(s, 1, kNever).status == fk::Status::ok && out[0] == 1.0, "NaN beyond the block's reach is not read");
    s.row0 = s.col0 = 0;
    check(fk::filter(s, 1, kNever).status == fk::Status::non_finite_image, "NaN inside the reach stops the call");
}

void test_invalid_source_requests() {
    const std::vector<double> table = gaussian(256, 10.0), kernel(9, 1.0);
    uint8_t img[16] = {}, guid[16] = {};
    double out[16];
    auto base = [&] {
        fk::FilterRequest s;
        s.image = {img, fk::Sample::uint8, 4, 4, 1, 4, 1, 1};
        s.guidance = {guid, fk::Sample::uint8, 4, 4, 1, 4, 1, 1};
        s.pad = 1;
        s.kernel_s = kernel.data();
        s.table = table.data();
        s.table_len = 256;
        s.rows = s.cols = 4;
        s.out = {out, fk::Sample::float64, 4, 4, 1, 32, 8, 8};
        return s;
    };
    check(fk::filter(base(), 1, kNever).status == fk::Status::ok, "the base request is fine");
    const std::function<void(fk::FilterRequest&)> spoil[] = {
        [](fk::FilterRequest& s) { s.guidance.sample = fk::Sample::uint16; },  // a table for the rule's type
        [](fk::FilterRequest& s) { s.guidance.w = 3; },
        [](fk::FilterRequest& s) { s.row0 = 1; },
        [](fk::FilterRequest& s) { s.col0 = -1; },
        [](fk::FilterRequest& s) { s.out.h = 3; },
        [](fk::FilterRequest& s) { s.out.channels = 2; },
        [](fk::FilterRequest& s) { s.table = nullptr; },
        [](fk::FilterRequest& s) { s.cval = std::numeric_limits<double>::quiet_NaN(); },
        [](fk::FilterRequest& s) { s.pad = std::numeric_limits<ptrdiff_t>::max() / 4; },
    };
    int refused = 0;
    for (const auto& f : spoil) {
        fk::FilterRequest s = base();
        f(s);
        refused += fk::filter(s, 1, kNever).status == fk::Status::invalid_argument && fk::bytes_per_thread(s) == 0;
    }
    check(refused == static_cast<int>(std::size(spoil)), "bad source requests are refused: " + std::to_string(refused));
}

// int32 guidance weighed by a table reaches the border too, giving the bits of 8-bit guidance of
// the same values moved by an offset (the table reads differences) in every border mode; its
// span counts a constant border's value where a window reaches it, and no value beyond every
// window's reach.
void test_int32_guidance_with_a_table(Rng& rng) {
    const std::vector<double> table = gaussian(256, 12.0);
    int same = 0, cases = 0;
    for (int n = 0; n < 100; ++n) {
        const fk::Border border = kBorders[n % 5];
        const ptrdiff_t h = pick(rng, 1, 8), w = pick(rng, 1, 30), pad = pick(rng, 0, 5), ws = 2 * pad + 1;
        const int ch = pick(rng, 1, 3), gch = pick(rng, 1, 4);
        const Image img = make_image(rng, fk::Sample::uint8, h, w, ch, 0, 255);
        const Image guid = make_image(rng, fk::Sample::uint8, h, w, gch, 0, 255);
        std::vector<int32_t> moved(guid.values);
        for (int32_t& v : moved) v -= 70000;
        const std::vector<double> kernel = gaussian(static_cast<size_t>(ws * ws), 1.0 + pad);
        const int gcval = pick(rng, 0, 255);
        std::vector<double> out8(static_cast<size_t>(h * w * ch)), out32(out8.size());
        fk::FilterRequest s;
        s.image = img.view;
        s.guidance = guid.view;
        s.border = border;
        s.guidance_cval = gcval;
        s.pad = pad;
        s.kernel_s = kernel.data();
        s.table = table.data();
        s.table_len = 256;
        s.rows = h;
        s.cols = w;
        s.out = fk::testing::contiguous(out8.data(), fk::Sample::float64, h, w, ch);
        const bool ran8 = fk::filter(s, 2, kNever).status == fk::Status::ok;
        s.guidance = fk::testing::contiguous(moved.data(), fk::Sample::int32, h, w, gch);
        s.guidance_cval = gcval - 70000;
        s.out.data = out32.data();
        const bool ran32 = fk::filter(s, 2, kNever).status == fk::Status::ok;
        ++cases;
        same += ran8 && ran32 && std::memcmp(out8.data(), out32.data(), out8.size() * 8) == 0;
    }
    check(same == cases, "int32 guidance with a table equals 8-bit guidance in every border mode: " +
                             std::to_string(same) + " of " + std::to_string(cases));

    // A 5 x 5 guidance of zeros; one output pixel, (2, 2), whose 3 x 3 window reaches rows and
    // columns 1 .. 3.
    std::vector<int32_t> guidance(25, 0), image(25, 1);
    const std::vector<double> kernel(9, 1.0);
    double out = 0.0;
    auto status = [&](fk::Border border, ptrdiff_t at, ptrdiff_t row0, double gcval) {
        std::vector<int32_t> g = guidance;
        if (at >= 0) g[static_cast<size_t>(at)] = 1000000;
        fk::FilterRequest q;
        q.image = fk::testing::contiguous(image.data(), fk::Sample::int32, 5, 5, 1);
        q.guidance = fk::testing::contiguous(g.data(), fk::Sample::int32, 5, 5, 1);
        q.border = border;
        q.guidance_cval = gcval;
        q.pad = 1;
        q.kernel_s = kernel.data();
        q.table = table.data();
        q.table_len = 256;
        q.row0 = row0;
        q.col0 = 2;
        q.rows = q.cols = 1;
        q.out = fk::testing::contiguous(&out, fk::Sample::float64, 1, 1, 1);
        return fk::filter(q, 1, kNever).status;
    };
    const bool reach = status(fk::Border::reflect, 0, 2, 0) == fk::Status::ok &&  // (0, 0): out of reach
                       status(fk::Border::reflect, 6, 2, 0) == fk::Status::invalid_argument &&  // (1, 1)
                       status(fk::Border::constant, -1, 2, 300) == fk::Status::ok &&  // no border reached
                       status(fk::Border::constant, -1, 0, 300) == fk::Status::invalid_argument &&
                       status(fk::Border::constant, -1, 0, 255) == fk::Status::ok;
    check(reach, "int32 guidance's span: the values the windows reach, a constant border's where reached");
}

// The row cache of a very wide row stays within a few strips' worth of memory.
void test_wide_rows_are_bounded() {
    const std::vector<double> table = gaussian(256, 10.0), kernel(13 * 13, 1.0);
    fk::FilterRequest s;
    s.image = {table.data(), fk::Sample::uint8, 1, 10000000, 3, 30000000, 3, 1};
    s.guidance = {table.data(), fk::Sample::uint8, 1, 10000000, 1, 10000000, 1, 1};
    s.pad = 6;
    s.kernel_s = kernel.data();
    s.table = table.data();
    s.table_len = 256;
    s.rows = 1;
    s.cols = 10000000;
    s.out = {table.data(), fk::Sample::uint8, 1, 10000000, 3, 30000000, 3, 1};
    const uint64_t bytes = fk::bytes_per_thread(s);
    check(bytes > 0 && bytes < (uint64_t{16} << 20),
          "1 x 10^7 colour pixels at pad 6: " + std::to_string(bytes >> 20) + " MiB per thread");
}

}  // namespace

int main(int argc, char** argv) {
    Rng rng(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20261208);
    test_border_pictures();
    test_sources_match_padded_buffers(rng, 600);
    test_padded_strips(rng);
    test_output_conversions();
    test_non_finite_reach();
    test_invalid_source_requests();
    test_int32_guidance_with_a_table(rng);
    test_wide_rows_are_bounded();
    return sovelk::testing::checks_passed();
}
