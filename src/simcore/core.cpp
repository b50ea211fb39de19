// The simulated acA2040-55uc's pixel path (see core.hpp).
#include "simcore/core.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace simcore {
namespace {

// The table of normal deviates: kTable values, read from kTable + kPad so a
// row (at most the sensor's width) starting anywhere in the first kTable fits.
constexpr size_t kTable = size_t{1} << 18;
constexpr size_t kPad = 4096;

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct Normals {
    float values[kTable + kPad];
    Normals() {
        uint64_t state = 2040;
        for (size_t i = 0; i < kTable; i += 2) {
            // Box-Muller on two uniforms in (0, 1].
            state = mix(state);
            double u1 = (static_cast<double>(state >> 11) + 1.0) * (1.0 / 9007199254740992.0);
            state = mix(state);
            double u2 = static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
            double r = std::sqrt(-2.0 * std::log(u1));
            values[i] = static_cast<float>(r * std::cos(6.283185307179586 * u2));
            values[i + 1] = static_cast<float>(r * std::sin(6.283185307179586 * u2));
        }
        for (size_t i = 0; i < kPad; ++i) values[kTable + i] = values[i];
    }
};

const float* normals() {
    static const Normals* table = new Normals();  // made once, thread-safely; kept
    return table->values;
}

// Where a row's deviates start: stream 0 and 1 the temporal noise of frame
// `number`, 2 and 3 the fixed patterns (PRNU, DSNU) of sensor row `row`.
size_t row_offset(uint64_t seed, uint64_t number, int row, uint64_t stream) {
    uint64_t h = mix(seed ^ (stream * 0xD1B54A32D192ED03ULL));
    h = mix(h + number);
    h = mix(h + static_cast<uint64_t>(row));
    return static_cast<size_t>(h & (kTable - 1));
}
constexpr uint64_t kFixed = ~uint64_t{0};

struct Srgb {
    float linear[256];
    Srgb() {
        for (int i = 0; i < 256; ++i) {
            double v = i / 255.0;
            linear[i] = static_cast<float>(v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        }
    }
};

const float* srgb_linear() {
    static const Srgb* table = new Srgb();
    return table->linear;
}

// The sensor's filter colour at (x, y): 0 red, 1 green, 2 blue.
inline int site(int x, int y) { return (x & 1) + (y & 1); }

inline float clamp_full(float v) {
    v = v > 0.0f ? v : 0.0f;  // NaN to 0
    return v < static_cast<float>(kFull) ? v : static_cast<float>(kFull);
}

// The light image fitted to the sensor: the light column and row of each
// sensor column and row.
struct Fit {
    double scale = 1, half_w = 0, half_h = 0;
    int lw = 1, lh = 1;
    explicit Fit(const Light& light) : lw(light.width), lh(light.height) {
        double sx = static_cast<double>(kSensorWidth) / lw, sy = static_cast<double>(kSensorHeight) / lh;
        scale = sx > sy ? sx : sy;
        half_w = lw / 2.0;
        half_h = lh / 2.0;
    }
    int column(int x) const { return clampi(std::floor((x + 0.5 - kSensorWidth / 2.0) / scale + half_w), lw); }
    int row(int y) const { return clampi(std::floor((y + 0.5 - kSensorHeight / 2.0) / scale + half_h), lh); }
    static int clampi(double v, int n) {
        if (!(v > 0)) return 0;
        return v < n - 1 ? static_cast<int>(v) : n - 1;
    }
};

// The linear value of sample `i` of a light row.
inline float light_value(const Light& light, const void* row, int i, const float* srgb) {
    switch (light.sample) {
    case Sample::U8:
        return srgb[static_cast<const uint8_t*>(row)[i]];
    case Sample::U16:
        return static_cast<const uint16_t*>(row)[i] * (1.0f / 65535.0f);
    case Sample::F32: {
        float v = static_cast<const float*>(row)[i];
        v = v > 0.0f ? v : 0.0f;
        return v < 1e6f ? v : 1e6f;
    }
    }
    return 0.0f;
}

size_t sample_bytes(Sample s) { return s == Sample::U8 ? 1 : s == Sample::U16 ? 2 : 4; }

// Work memory of one render, freed when it ends.
struct Work {
    void* p = nullptr;
    explicit Work(size_t bytes) : p(std::malloc(bytes)) {}
    ~Work() { std::free(p); }
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
};

// Makes the raw rows of a frame.
class Sensor {
public:
    Sensor(const Frame& f, float* scratch, int* index) : f_(f), fit_(f.light), w_(f.roi.width) {
        srgb_ = srgb_linear();
        table_ = normals();
        sig_ = scratch;
        zero_ = scratch + w_;
        for (int parity = 0; parity < 2; ++parity) {
            coef_[parity] = scratch + (2 + parity) * w_;
            gain_[parity] = scratch + (4 + parity) * w_;
            index_[parity] = index + parity * w_;
        }
        const int ch = f.light.channels;
        for (int i = 0; i < w_; ++i) {
            const int x = f.roi.offset_x + i;
            const int column = fit_.column(x);
            zero_[i] = 0.0f;
            for (int parity = 0; parity < 2; ++parity) {
                const int c = site(x, parity);
                coef_[parity][i] = f.electrons[c];
                gain_[parity][i] = f.gain[c];
                index_[parity][i] = column * ch + (ch == 3 ? c : 0);
            }
        }
        row_bytes_ = static_cast<size_t>(f.light.width) * static_cast<size_t>(ch) * sample_bytes(f.light.sample);
    }

    // Raw row `i` of the ROI (sensor order) into `raw`.
    void row(int i, uint16_t* raw) const {
        const int y = f_.roi.offset_y + i;
        const int parity = y & 1;
        const void* light = static_cast<const uint8_t*>(f_.light.data) + row_bytes_ * static_cast<size_t>(fit_.row(y));
        const int* index = index_[parity];
        const float* coef = coef_[parity];
        float* sig = sig_;
        const int w = w_;
        switch (f_.light.sample) {  // the gather: scalar
        case Sample::U8: {
            const uint8_t* l = static_cast<const uint8_t*>(light);
            for (int k = 0; k < w; ++k) sig[k] = srgb_[l[index[k]]] * coef[k];
            break;
        }
        default:
            for (int k = 0; k < w; ++k) sig[k] = light_value(f_.light, light, index[k], srgb_) * coef[k];
        }
        const size_t x0 = static_cast<size_t>(f_.roi.offset_x);
        const float* prnu_p = table_ + row_offset(f_.seed, kFixed, y, 2) + x0;
        const float* dsnu_p = table_ + row_offset(f_.seed, kFixed, y, 3) + x0;
        const float* shot = f_.noise ? table_ + row_offset(f_.seed, f_.number, y, 0) : zero_;
        const float* read = f_.noise ? table_ + row_offset(f_.seed, f_.number, y, 1) : zero_;
        const float* gain = gain_[parity];
        const float prnu = f_.prnu, dsnu = f_.dsnu, dark = f_.dark_mean, sat = f_.saturation;
        const float noise = f_.dark_noise, black = f_.black + 0.5f;
        for (int k = 0; k < w; ++k) {  // vectorised
            float m = sig[k] * (1.0f + prnu * prnu_p[k]) + dark + dsnu * dsnu_p[k];
            m = m > 0.0f ? m : 0.0f;
            float e = m + std::sqrt(m) * shot[k];
            e = e > 0.0f ? e : 0.0f;
            e = e < sat ? e : sat;
            e += noise * read[k];
            float dn = e * gain[k] + black;
            dn = dn > 0.0f ? dn : 0.0f;
            dn = dn < static_cast<float>(kFull) ? dn : static_cast<float>(kFull);
            raw[k] = static_cast<uint16_t>(static_cast<int>(dn));
        }
    }

    // The expected raw value of sensor pixel (x, y) (no noise, no patterns).
    float expected(int x, int y) const {
        const int c = site(x, y);
        const int ch = f_.light.channels;
        const void* light = static_cast<const uint8_t*>(f_.light.data) + row_bytes_ * static_cast<size_t>(fit_.row(y));
        float m = light_value(f_.light, light, fit_.column(x) * ch + (ch == 3 ? c : 0), srgb_) * f_.electrons[c]
                  + f_.dark_mean;
        m = m < f_.saturation ? m : f_.saturation;
        return clamp_full(m * f_.gain[c] + f_.black);
    }

private:
    const Frame& f_;
    Fit fit_;
    int w_;
    const float* srgb_ = nullptr;
    const float* table_ = nullptr;
    float* sig_ = nullptr;
    float* zero_ = nullptr;
    float* coef_[2] = {nullptr, nullptr};
    float* gain_[2] = {nullptr, nullptr};
    int* index_[2] = {nullptr, nullptr};
    size_t row_bytes_ = 0;
};

inline void put16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// The 8-bit BT.601 (full range) Y and the chroma of an output column's parity
// (Cb even, Cr odd).
inline void ycbcr(int r, int g, int b, int parity, uint8_t* out) {
    out[0] = static_cast<uint8_t>(clamp255((77 * r + 150 * g + 29 * b + 128) >> 8));
    const int c = parity ? (128 * r - 107 * g - 21 * b + 128) : (-43 * r - 85 * g + 128 * b + 128);
    out[1] = static_cast<uint8_t>(clamp255((c >> 8) + 128));
}

void render_raw(const Frame& f, const Sensor& sensor, uint16_t* raw, uint16_t* values, uint8_t* out) {
    const int w = f.roi.width, h = f.roi.height;
    const uint16_t* process = f.process;
    for (int i = 0; i < h; ++i) {
        sensor.row(i, raw);
        const int j = f.roi.reverse_y ? h - 1 - i : i;
        const size_t base = static_cast<size_t>(j) * static_cast<size_t>(w);
        const bool rx = f.roi.reverse_x;
        switch (f.format) {
        case Format::Bayer8: {
            uint8_t* o = out + base;
            for (int k = 0; k < w; ++k) {
                const unsigned v = process ? process[raw[k]] : static_cast<unsigned>(raw[k] >> 4);
                o[rx ? w - 1 - k : k] = static_cast<uint8_t>(v);
            }
            break;
        }
        case Format::Bayer12: {
            uint8_t* o = out + 2 * base;
            for (int k = 0; k < w; ++k) put16(o + 2 * (rx ? w - 1 - k : k), process ? process[raw[k]] : raw[k]);
            break;
        }
        default: {  // Bayer12p: values first, packed below
            uint16_t* o = values + base;
            for (int k = 0; k < w; ++k) o[rx ? w - 1 - k : k] = process ? process[raw[k]] : raw[k];
        }
        }
    }
    if (f.format == Format::Bayer12p) pack12(values, static_cast<size_t>(w) * static_cast<size_t>(h), out);
}

inline int mirror(int i, int n) {
    if (i < 0) return n > 1 ? 1 : 0;
    if (i >= n) return n > 1 ? n - 2 : n - 1;
    return i;
}

void render_colour(const Frame& f, const Sensor& sensor, uint16_t* ring, float* rgb, uint8_t* out) {
    const int w = f.roi.width, h = f.roi.height;
    int held[3] = {-1, -1, -1};
    auto raw_row = [&](int i) -> const uint16_t* {
        uint16_t* slot = ring + static_cast<size_t>(i % 3) * static_cast<size_t>(w);
        if (held[i % 3] != i) {
            sensor.row(i, slot);
            held[i % 3] = i;
        }
        return slot;
    };
    float* R = rgb;
    float* G = rgb + w;
    float* B = rgb + 2 * w;
    const float black = f.black;
    const float* m = f.matrix;
    const uint16_t* process = f.process;
    const int xl0 = w > 1 ? 1 : 0, xr_last = w > 1 ? w - 2 : 0;
    for (int i = 0; i < h; ++i) {
        const int y = f.roi.offset_y + i;
        const uint16_t* up = raw_row(mirror(i - 1, h));
        const uint16_t* down = raw_row(mirror(i + 1, h));
        const uint16_t* mid = raw_row(i);
        // Bilinear demosaic: each pixel's own colour and its neighbours' means.
        for (int k = 0; k < w; ++k) {
            const int x = f.roi.offset_x + k;
            const int l = k > 0 ? k - 1 : xl0, r = k < w - 1 ? k + 1 : xr_last;
            const float c = mid[k];
            const float cross = (up[k] + down[k] + mid[l] + mid[r]) * 0.25f;
            const float diag = (up[l] + up[r] + down[l] + down[r]) * 0.25f;
            const float across = (mid[l] + mid[r]) * 0.5f, vertical = (up[k] + down[k]) * 0.5f;
            switch (site(x, y) + (y & 1) * 3) {
            case 0:  R[k] = c; G[k] = cross; B[k] = diag; break;        // red
            case 1:  R[k] = across; G[k] = c; B[k] = vertical; break;   // green, red row
            case 4:  R[k] = vertical; G[k] = c; B[k] = across; break;   // green, blue row
            default: R[k] = diag; G[k] = cross; B[k] = c; break;        // blue
            }
        }
        const int j = f.roi.reverse_y ? h - 1 - i : i;
        const bool rx = f.roi.reverse_x;
        if (f.format == Format::Mono8) {
            uint8_t* o = out + static_cast<size_t>(j) * static_cast<size_t>(w);
            for (int k = 0; k < w; ++k) {
                const int v = static_cast<int>(clamp_full(0.299f * R[k] + 0.587f * G[k] + 0.114f * B[k] + 0.5f));
                o[rx ? w - 1 - k : k] = static_cast<uint8_t>(process ? process[v] : v >> 4);
            }
            continue;
        }
        if (f.matrix_on) {
            for (int k = 0; k < w; ++k) {
                const float r = R[k] - black, g = G[k] - black, b = B[k] - black;
                R[k] = clamp_full(m[0] * r + m[1] * g + m[2] * b + black + 0.5f);
                G[k] = clamp_full(m[3] * r + m[4] * g + m[5] * b + black + 0.5f);
                B[k] = clamp_full(m[6] * r + m[7] * g + m[8] * b + black + 0.5f);
            }
        } else {
            for (int k = 0; k < w; ++k) {
                R[k] += 0.5f;
                G[k] += 0.5f;
                B[k] += 0.5f;
            }
        }
        const int bytes = f.format == Format::YCbCr422 ? 2 : 3;
        uint8_t* row = out + static_cast<size_t>(j) * static_cast<size_t>(w) * static_cast<size_t>(bytes);
        for (int k = 0; k < w; ++k) {
            const int ri = static_cast<int>(R[k]), gi = static_cast<int>(G[k]), bi = static_cast<int>(B[k]);
            const int r8 = process ? process[ri] : ri >> 4;
            const int g8 = process ? process[gi] : gi >> 4;
            const int b8 = process ? process[bi] : bi >> 4;
            const int col = rx ? w - 1 - k : k;
            uint8_t* o = row + static_cast<size_t>(col) * static_cast<size_t>(bytes);
            if (f.format == Format::RGB8) {
                o[0] = static_cast<uint8_t>(r8); o[1] = static_cast<uint8_t>(g8); o[2] = static_cast<uint8_t>(b8);
            } else if (f.format == Format::BGR8) {
                o[0] = static_cast<uint8_t>(b8); o[1] = static_cast<uint8_t>(g8); o[2] = static_cast<uint8_t>(r8);
            } else {
                ycbcr(r8, g8, b8, col & 1, o);
            }
        }
    }
}

bool finite_nonneg(float v) { return std::isfinite(v) && v >= 0.0f; }

}  // namespace

void prepare() {
    normals();
    srgb_linear();
}

size_t payload_size(Format format, int width, int height) {
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    switch (format) {
    case Format::Mono8:
    case Format::Bayer8: return n;
    case Format::Bayer12:
    case Format::YCbCr422: return 2 * n;
    case Format::Bayer12p: return n * 3 / 2;
    case Format::RGB8:
    case Format::BGR8: return 3 * n;
    }
    return 0;
}

int format_bits(Format format) { return format == Format::Bayer12 || format == Format::Bayer12p ? 12 : 8; }

const char* check(const Frame& f) {
    const Light& l = f.light;
    if (l.data == nullptr || l.height < 1 || l.width < 1 || (l.channels != 1 && l.channels != 3))
        return "the light must be a non-empty image of 1 or 3 channels";
    if (l.height > (1 << 16) || l.width > (1 << 16)) return "the light is larger than 65536 pixels a side";
    const Roi& r = f.roi;
    if (r.width < 1 || r.height < 1 || r.offset_x < 0 || r.offset_y < 0 || r.width > kSensorWidth ||
        r.height > kSensorHeight || r.offset_x > kSensorWidth - r.width || r.offset_y > kSensorHeight - r.height)
        return "the ROI must lie on the 2064 x 1544 sensor";
    for (int c = 0; c < 3; ++c)
        if (!finite_nonneg(f.electrons[c]) || !finite_nonneg(f.gain[c]))
            return "electrons and gains must be finite and not negative";
    if (!finite_nonneg(f.dark_mean) || !finite_nonneg(f.dark_noise) || !finite_nonneg(f.saturation) ||
        !finite_nonneg(f.dsnu) || !finite_nonneg(f.prnu))
        return "the sensor's figures must be finite and not negative";
    if (f.electrons[0] > 1e9f || f.electrons[1] > 1e9f || f.electrons[2] > 1e9f || f.dark_mean > 1e9f ||
        f.saturation > 1e9f || f.dark_noise > 1e6f || f.dsnu > 1e6f || f.prnu > 10.0f || f.gain[0] > 1e6f ||
        f.gain[1] > 1e6f || f.gain[2] > 1e6f)
        return "a sensor figure is out of range";
    if (!(f.black >= 0.0f && f.black <= static_cast<float>(kFull))) return "the black level must be 0 .. 4095";
    for (float v : f.matrix)
        if (!std::isfinite(v) || std::fabs(v) > 1e3f) return "the colour matrix must be finite";
    return nullptr;
}

bool render(const Frame& f, uint8_t* out) {
    const size_t w = static_cast<size_t>(f.roi.width), h = static_cast<size_t>(f.roi.height);
    // floats: signal, zeros, 2 x coefficients, 2 x gains, 3 rgb rows; ints: 2
    // index rows; 16-bit: 3 raw rows and (12p) the frame's values.
    const size_t floats = 9 * w, ints = 2 * w, shorts = 3 * w + (f.format == Format::Bayer12p ? w * h : 0);
    Work work(floats * sizeof(float) + ints * sizeof(int) + shorts * sizeof(uint16_t) + 64);
    if (work.p == nullptr) return false;
    float* scratch = static_cast<float*>(work.p);
    int* index = reinterpret_cast<int*>(scratch + floats);
    uint16_t* raw = reinterpret_cast<uint16_t*>(index + ints);
    Sensor sensor(f, scratch, index);
    switch (f.format) {
    case Format::Bayer8:
    case Format::Bayer12:
    case Format::Bayer12p: render_raw(f, sensor, raw, raw + 3 * w, out); break;
    default: render_colour(f, sensor, raw, scratch + 6 * w, out);
    }
    return true;
}

void measure(const Frame& f, int x, int y, int width, int height, int step, double means[3]) {
    float scratch[6] = {0, 0, 0, 0, 0, 0};
    int index[2] = {0, 0};
    Frame one = f;
    one.roi.width = 1;  // the Sensor's per-column tables are not used here
    Sensor sensor(one, scratch, index);
    double sums[3] = {0, 0, 0};
    double counts[3] = {0, 0, 0};
    if (step < 2) step = 2;
    for (int j = 0; j < height; j += step)
        for (int dy = 0; dy < 2 && j + dy < height; ++dy)
            for (int i = 0; i < width; i += step)
                for (int dx = 0; dx < 2 && i + dx < width; ++dx) {
                    const int sx = x + i + dx, sy = y + j + dy;
                    const int c = site(sx, sy);
                    sums[c] += sensor.expected(sx, sy);
                    counts[c] += 1;
                }
    for (int c = 0; c < 3; ++c) means[c] = counts[c] > 0 ? sums[c] / counts[c] : f.black;
}

bool test_image_fits(const TestImage& t) {
    if (t.width < 1 || t.height < 1 || t.modulo == 0 || (t.modulo & (t.modulo - 1)) != 0 || t.modulo > 65536)
        return false;
    if (t.entry < 1 || t.entry > 3 || (t.pack12 && t.entry != 2) || t.bayer_red > 3) return false;
    size_t top = t.modulo - 1 + (t.bayer_red >= 0 ? 512 : 0);
    if (t.parity) top = top * 2 + 1;
    return top < t.entries;
}

void test_image(const TestImage& t, uint8_t* out) {
    const size_t w = static_cast<size_t>(t.width), h = static_cast<size_t>(t.height);
    const uint32_t mask = t.modulo - 1;
    const int rx = t.bayer_red & 1, ry = (t.bayer_red >> 1) & 1;
    uint8_t* o = out;
    uint8_t pending[3] = {0, 0, 0};
    size_t count = 0;
    for (size_t j = 0; j < h; ++j)
        for (size_t i = 0; i < w; ++i) {
            size_t index = (i + j + t.step) & mask;
            if (t.bayer_red >= 0)
                index += static_cast<size_t>((((static_cast<int>(i) ^ rx) & 1) + ((static_cast<int>(j) ^ ry) & 1)) << 8);
            if (t.parity) index = index * 2 + (i & 1);
            const uint8_t* e = t.table + index * static_cast<size_t>(t.entry);
            if (!t.pack12) {
                std::memcpy(o, e, static_cast<size_t>(t.entry));
                o += t.entry;
                continue;
            }
            const unsigned v = e[0] | (static_cast<unsigned>(e[1]) << 8);
            if ((count++ & 1) == 0) {
                pending[0] = static_cast<uint8_t>(v & 0xFF);
                pending[1] = static_cast<uint8_t>((v >> 8) & 0x0F);
            } else {
                o[0] = pending[0];
                o[1] = static_cast<uint8_t>(pending[1] | ((v & 0x0F) << 4));
                o[2] = static_cast<uint8_t>(v >> 4);
                o += 3;
            }
        }
    if (t.pack12 && (count & 1)) o[0] = pending[0];
}

void pack12(const uint16_t* values, size_t count, uint8_t* out) {
    size_t i = 0;
    for (; i + 1 < count; i += 2, out += 3) {
        const unsigned a = values[i] & 0xFFF, b = values[i + 1] & 0xFFF;
        out[0] = static_cast<uint8_t>(a & 0xFF);
        out[1] = static_cast<uint8_t>((a >> 8) | ((b & 0x0F) << 4));
        out[2] = static_cast<uint8_t>(b >> 4);
    }
    if (i < count) out[0] = static_cast<uint8_t>(values[i] & 0xFF);
}

void unpack12(const uint8_t* data, size_t count, uint16_t* out) {
    size_t i = 0;
    for (; i + 1 < count; i += 2, data += 3) {
        out[i] = static_cast<uint16_t>(data[0] | ((data[1] & 0x0F) << 8));
        out[i + 1] = static_cast<uint16_t>((data[1] >> 4) | (data[2] << 4));
    }
    if (i < count) out[i] = data[0];
}

}  // namespace simcore
