// The simulated acA2040-55uc's pixel path (see core.hpp).
#include "simcore/core.hpp"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "simcore/draw4.hpp"
#include "simcore/simd.hpp"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <immintrin.h>
#include <intrin.h>
#endif

namespace simcore {
namespace {

using namespace detail;

#if defined(TAVROCAM_SSE2)
// Whether the processor (and the operating system, which must save the
// 256-bit registers) has AVX2.
bool cpu_has_avx2() {
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return false;
    __cpuid(r, 1);
    const bool osxsave = (r[2] & (1 << 27)) != 0, avx = (r[2] & (1 << 28)) != 0;
    if (!osxsave || !avx || (_xgetbv(0) & 6) != 6) return false;
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 5)) != 0;
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}
#endif

Simd find_best() {
#if defined(TAVROCAM_SSE2)
    return avx2::built() && cpu_has_avx2() ? Simd::Avx2 : Simd::Sse2;
#else
    return Simd::None;
#endif
}

// The path in use; -1 until chosen.
std::atomic<int> g_simd{-1};

Simd pick(Simd wanted) {
    const Simd best = simd_best();
    return static_cast<int>(wanted) < static_cast<int>(best) ? wanted : best;
}

// The path TAVROCAM_SIMD names ("avx2", "sse2", "none"; unset or another
// word: the fastest), or the fastest below it that the machine has.
Simd from_environment() {
    const char* name = std::getenv("TAVROCAM_SIMD");
    Simd wanted = Simd::Avx2;
    if (name != nullptr && std::strcmp(name, "none") == 0) wanted = Simd::None;
    if (name != nullptr && std::strcmp(name, "sse2") == 0) wanted = Simd::Sse2;
    return pick(wanted);
}

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

// The table of uniform deviates in (0, 1), laid out as the normal ones: a
// dark pixel's shot noise reads it where a bright one reads its normal
// deviate.
// Each followed, kExponential places on, by its exponential deviate -ln(u)
// (computed once, in double: the same on every machine up to the last bit
// of a float's rounding, which no draw depends on in distribution).
struct Uniforms {
    float values[2 * kExponential];
    Uniforms() {
        uint64_t state = 55;
        for (size_t i = 0; i < kTable; ++i) {
            state = mix(state);
            values[i] = (static_cast<float>(state >> 40) + 0.5f) * (1.0f / 16777216.0f);
        }
        for (size_t i = 0; i < kPad; ++i) values[kTable + i] = values[i];
        for (size_t i = 0; i < kExponential; ++i)
            values[kExponential + i] = static_cast<float>(-std::log(static_cast<double>(values[i])));
    }
};

const float* uniforms() {
    static const Uniforms* table = new Uniforms();
    return table->values;
}

// exp(-r) for 0 <= r <= 1/8 (kExpSeries).
inline float exp_small(float r) {
    float p = r * kExpSeries[0];
    for (int n = 1; n < 6; ++n) p = r * (kExpSeries[n] - p);
    return 1.0f - p;
}

// r - ln(1 + r) for 0 <= r <= 1/8 (its series to r^7, error under 1e-8): a
// rest of mean r draws 2 or more when -ln(v) is below it, v > exp(-r)(1 + r).
inline float two_or_more(float r) {
    return r * (r * (0.5f - r * (1.0f / 3 - r * (0.25f - r * (0.2f - r * (1.0f / 6 - r * (1.0f / 7)))))));
}

// The Poisson table (its layout in simd.hpp), made once.
struct MadePoissonTable : PoissonTable {
    MadePoissonTable() {
        for (int j = 0; j < kGridMeans; ++j) {
            const double m = static_cast<double>(j) / kGrid;
            double p = std::exp(-m), sum = 0.0;
            for (int n = 0; n < kCdfLength; ++n) {
                sum += p;
                p *= m / (n + 1);
                cdf[j][n] = n == kCdfLength - 1 ? 1.0f : static_cast<float>(sum < 1.0 ? sum : 1.0);
            }
            int n = 0;
            for (int g = 0; g < kGuide; ++g) {
                while (cdf[j][n] < static_cast<float>(g) / kGuide) ++n;
                guide[j][g] = static_cast<uint8_t>(n);
            }
            n = 0;
            for (int g = 0; g < kFine; ++g) {
                const float low = static_cast<float>(g) / kFine, high = static_cast<float>(g + 1) / kFine;
                while (cdf[j][n] < low) ++n;
                // The cell's deviates u draw the least n with u <= cdf[n]: n
                // throughout unless cdf[n] < high.
                fine[j][g] = static_cast<uint8_t>(n | (cdf[j][n] < high ? kUnsure : 0));
            }
        }
        inverse[0] = 0.0f;
        for (int k = 1; k <= kRestMost; ++k) inverse[k] = 1.0f / static_cast<float>(k);
    }
};

const PoissonTable* poisson_table() {
    static const PoissonTable* table = new MadePoissonTable();
    return table;
}

// The draw of grid mean j at uniform deviate u.
inline int grid_draw(const PoissonTable& t, int j, float u) {
    const float* cdf = t.cdf[j];
    int n = t.guide[j][static_cast<int>(u * static_cast<float>(kGuide))];
    n += u > cdf[n] ? 1 : 0;  // mostly no step at all, or one: without a branch
    while (u > cdf[n]) ++n;  // cdf's last entry is 1 > u
    return n;
}

// The Poisson draw of mean m (0 .. kPoissonBelow) at uniform deviates u and v,
// `ev` v's exponential deviate (the vector code does the same operations in
// the same order). The rest draws 0 when -ln(v) >= rest, v <= exp(-rest):
// one comparison for most sites.
inline float poisson(const PoissonTable& t, float m, float u, float v, float ev) {
    int j = static_cast<int>(m * static_cast<float>(kGrid));
    j = j < kGridMeans - 1 ? j : kGridMeans - 1;
    const int n = grid_draw(t, j, u);
    float rest = m - static_cast<float>(j) * (1.0f / kGrid);
    rest = rest > 0.0f ? rest : 0.0f;
    rest = rest < 1.0f / kGrid ? rest : 1.0f / kGrid;
    int k = 0;
    if (!(ev < rest)) return static_cast<float>(n);
    // r - ln(1 + r) < r^2 / 2: that cheap bound first.
    if (!(ev < 0.5f * (rest * rest)) || !(ev < two_or_more(rest))) return static_cast<float>(n + 1);
    float p = exp_small(rest), sum = p;
    while (v > sum && k < kRestMost) {
        ++k;
        p = p * rest * t.inverse[k];
        sum = sum + p;
    }
    return static_cast<float>(n + k);
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

inline void prefetch(const void* p) {
#if defined(TAVROCAM_SSE2)
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Work memory of one render, freed when it ends.
struct Work {
    void* p = nullptr;
    explicit Work(size_t bytes) : p(std::malloc(bytes)) {}
    ~Work() { std::free(p); }
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
};

// Hands out aligned pieces of one block.
class Carver {
public:
    explicit Carver(void* base) : next_(static_cast<uint8_t*>(base)) {}
    template <typename T>
    T* take(size_t count) {
        T* p = reinterpret_cast<T*>(next_);
        next_ += (count * sizeof(T) + 63) / 64 * 64;
        return p;
    }
    static size_t size_of(size_t bytes) { return (bytes + 63) / 64 * 64; }

private:
    uint8_t* next_;
};

#if defined(TAVROCAM_SSE2)
// draw4 out of the hot loop of bright rows.
TAVROCAM_NOINLINE __m128 poisson4(const PoissonTable& t, __m128 m, __m128 e, __m128 dark, const float* u,
                                  const float* v) {
    return draw4(t, m, e, dark, u, v);
}
#endif

// Makes the raw rows of a frame.
class Sensor {
public:
    // Bytes of work memory for a ROI width.
    static size_t work(size_t w) {
        return 7 * Carver::size_of(w * sizeof(float)) + 2 * Carver::size_of(w * sizeof(int)) +
               2 * Carver::size_of((w / 8 + 1) * sizeof(int));
    }

    Sensor(const Frame& f, Carver& carve) : f_(f), fit_(f.light), w_(f.roi.width), path_(simd()) {
        const size_t w = static_cast<size_t>(w_);
        srgb_ = srgb_linear();
        table_ = normals();
        uniform_ = uniforms();
        poisson_ = poisson_table();
        zero_ = carve.take<float>(w);
        const int ch = f.light.channels;
        const float scale = f.light.sample == Sample::U16 ? 1.0f / 65535.0f : 1.0f;
        for (int parity = 0; parity < 2; ++parity) {
            sig_[parity] = carve.take<float>(w);
            coef_[parity] = carve.take<float>(w);
            gain_[parity] = carve.take<float>(w);
            index_[parity] = carve.take<int>(w);
            window_[parity] = carve.take<int>(w / 8 + 1);
        }
        int first = f.light.width * ch, last = 0;  // the samples of a light row the ROI's sites read
        for (int i = 0; i < w_; ++i) {
            const int x = f.roi.offset_x + i;
            const int column = fit_.column(x);
            zero_[i] = 0.0f;
            for (int parity = 0; parity < 2; ++parity) {
                const int c = site(x, parity);
                coef_[parity][i] = f.electrons[c] * scale;
                gain_[parity][i] = f.gain[c];
                const int at = column * ch + (ch == 3 ? c : 0);
                index_[parity][i] = at;
                first = at < first ? at : first;
                last = at > last ? at : last;
            }
        }
        row_bytes_ = static_cast<size_t>(f.light.width) * static_cast<size_t>(ch) * sample_bytes(f.light.sample);
        // Where eight sites' samples lie within eight of a light row's (grey
        // light at the sensor's size or smaller, colour light at a quarter of
        // it or smaller, as the chart), the first of those eight: the AVX2
        // loop then loads them and permutes instead of gathering.
        const int row_samples = f.light.width * ch;
        for (int parity = 0; parity < 2; ++parity) {
            for (int b = 0; b + 8 <= w_; b += 8) {
                const int* at = index_[parity] + b;
                int low = at[0], high = at[0];
                for (int j = 1; j < 8; ++j) {
                    low = at[j] < low ? at[j] : low;
                    high = at[j] > high ? at[j] : high;
                }
                window_[parity][b / 8] = high - low < 8 && low + 8 <= row_samples ? low : -1;
            }
        }
        const size_t bytes = sample_bytes(f.light.sample);
        span_[0] = static_cast<size_t>(first) * bytes / 64 * 64;
        span_[1] = static_cast<size_t>(last + 1) * bytes;
    }

    // Raw row `i` of the ROI (sensor order) into `raw`.
    void row(int i, uint16_t* raw) {
        const int y = f_.roi.offset_y + i;
        const int parity = y & 1;
        const float* sig = signal(y);
        fetch();
        const size_t x0 = static_cast<size_t>(f_.roi.offset_x);
        const float* prnu_p = table_ + row_offset(f_.seed, kFixed, y, 2) + x0;
        const float* dsnu_p = table_ + row_offset(f_.seed, kFixed, y, 3) + x0;
        const size_t shot_at = row_offset(f_.seed, f_.number, y, 0);
        const float* shot = f_.noise ? table_ + shot_at : zero_;
        const float* read = f_.noise ? table_ + row_offset(f_.seed, f_.number, y, 1) : zero_;
        // A dark pixel's two uniform deviates: the first where its normal one is
        // (unused without noise).
        const float* uniform = uniform_ + shot_at;
        const float* uniform2 = uniform_ + row_offset(f_.seed, f_.number, y, 4);
        const float poisson_below = f_.noise ? kPoissonBelow : 0.0f;
        const PoissonTable& table = *poisson_;

        const float* gain = gain_[parity];
        const float prnu = f_.prnu, dsnu = f_.dsnu, dark = f_.dark_mean, sat = f_.saturation;
        const float noise = f_.dark_noise, black = f_.black + 0.5f;
        const int w = w_;
        int k = 0;
#if defined(TAVROCAM_SSE2)
        if (path_ != Simd::None) {
            // Eight pixels at a time; max(x, 0) takes NaN to 0 as the loop below does.
            const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), most = _mm_set1_ps(kMostElectrons);
            const __m128 vprnu = _mm_set1_ps(prnu), vdark = _mm_set1_ps(dark), vsat = _mm_set1_ps(sat);
            const __m128 vdsnu = _mm_set1_ps(dsnu), vnoise = _mm_set1_ps(noise), vblack = _mm_set1_ps(black);
            const __m128 full = _mm_set1_ps(static_cast<float>(kFull));
            const __m128 vbelow = _mm_set1_ps(poisson_below);
            auto mean4 = [&](int at) {
                const __m128 m = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(sig + at),
                                                       _mm_add_ps(one, _mm_mul_ps(vprnu, _mm_loadu_ps(prnu_p + at)))),
                                            vdark);
                return _mm_min_ps(_mm_max_ps(m, zero), most);
            };
            auto shot4 = [&](int at, __m128 m) {
                return _mm_add_ps(m, _mm_mul_ps(_mm_sqrt_ps(m), _mm_loadu_ps(shot + at)));
            };
            auto raw4 = [&](int at, __m128 e) {
                e = _mm_min_ps(_mm_max_ps(e, zero), vsat);
                e = _mm_add_ps(e, _mm_add_ps(_mm_mul_ps(vdsnu, _mm_loadu_ps(dsnu_p + at)),
                                             _mm_mul_ps(vnoise, _mm_loadu_ps(read + at))));
                __m128 dn = _mm_add_ps(_mm_mul_ps(e, _mm_loadu_ps(gain + at)), vblack);
                dn = _mm_min_ps(_mm_max_ps(dn, zero), full);
                return _mm_cvttps_epi32(dn);
            };
            // The row with the normal approximation everywhere, its least mean kept.
            __m128 low = most;
            if (path_ == Simd::Avx2) {
                const RowJob job{sig, prnu_p, dsnu_p, shot, read, uniform, uniform2, gain, prnu, dsnu, dark, sat,
                                 noise, black, poisson_below, poisson_, w};
                float least = kMostElectrons;
                k = avx2::raw_row(job, raw, dim_, &least);
                low = _mm_set1_ps(least);
            }
            auto four = [&](int at) {
                const __m128 m = mean4(at);
                low = _mm_min_ps(low, m);
                return raw4(at, shot4(at, m));
            };
            if (dim_) {
                // The last row had dark sites (a dark or dim scene): one pass
                // deciding per four sites, the same draws as the two passes below.
                auto dim4 = [&](int at) {
                    const __m128 m = mean4(at);
                    low = _mm_min_ps(low, m);
                    const __m128 dark_sites = _mm_cmplt_ps(m, vbelow);
                    const int dark_mask = _mm_movemask_ps(dark_sites);
                    __m128 e = m;  // all dark: the normal draw is not needed
                    if (dark_mask != 0xF) e = shot4(at, m);
                    if (dark_mask != 0) e = draw4(table, m, e, dark_sites, uniform + at, uniform2 + at);
                    return raw4(at, e);
                };
                for (; k + 8 <= w; k += 8)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(raw + k), _mm_packs_epi32(dim4(k), dim4(k + 4)));
            } else {
                for (; k + 8 <= w; k += 8)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(raw + k), _mm_packs_epi32(four(k), four(k + 4)));
            }
            const bool dim = _mm_movemask_ps(_mm_cmplt_ps(low, vbelow)) != 0;
            // Then, in the few bright rows that have any, the dark sites' Poisson draws.
            if (!dim_ && dim) {
                for (int at = 0; at < k; at += 4) {
                    const __m128 m = mean4(at);
                    const __m128 dark_sites = _mm_cmplt_ps(m, vbelow);
                    if (_mm_movemask_ps(dark_sites) == 0) continue;
                    const __m128 e = poisson4(table, m, shot4(at, m), dark_sites, uniform + at, uniform2 + at);
                    const __m128i v = raw4(at, e);
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(raw + at), _mm_packs_epi32(v, v));
                }
            }
            dim_ = dim;
        }
#endif
        for (; k < w; ++k) {
            float m = sig[k] * (1.0f + prnu * prnu_p[k]) + dark;
            m = m > 0.0f ? m : 0.0f;  // NaN too
            m = m < kMostElectrons ? m : kMostElectrons;
            float e = m + std::sqrt(m) * shot[k];  // photo and dark electrons, Poisson
            if (m < poisson_below) e = poisson(table, m, uniform[k], uniform2[k], uniform2[k + kExponential]);
            e = e > 0.0f ? e : 0.0f;
            e = e < sat ? e : sat;  // the well
            e += dsnu * dsnu_p[k] + noise * read[k];  // the dark offset's pattern, read noise
            float dn = e * gain[k] + black;
            dn = dn > 0.0f ? dn : 0.0f;
            dn = dn < static_cast<float>(kFull) ? dn : static_cast<float>(kFull);
            raw[k] = static_cast<uint16_t>(static_cast<int>(dn));
        }
    }

    // The loops this render runs.
    Simd path() const { return path_; }

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
    // The mean photo-electrons of sensor row y's pixels: the light's row
    // sampled (kept while the next row of this parity samples the same one).
    const float* signal(int y) {
        const int parity = y & 1;
        const int light_row = fit_.row(y);
        float* sig = sig_[parity];
        if (held_[parity] == light_row) return sig;
        held_[parity] = light_row;
        const void* light = static_cast<const uint8_t*>(f_.light.data) + row_bytes_ * static_cast<size_t>(light_row);
        const int* index = index_[parity];
        const float* coef = coef_[parity];
        const int w = w_;
        // A gather (scalar); the noise loop clips what is not a number >= 0.
        switch (f_.light.sample) {
        case Sample::U8: {
            const uint8_t* l = static_cast<const uint8_t*>(light);
            for (int k = 0; k < w; ++k) sig[k] = srgb_[l[index[k]]] * coef[k];
            break;
        }
        case Sample::U16: {
            const uint16_t* l = static_cast<const uint16_t*>(light);
            for (int k = 0; k < w; ++k) sig[k] = static_cast<float>(l[index[k]]) * coef[k];
            break;
        }
        case Sample::F32: {
            const float* l = static_cast<const float*>(light);
            int k = path_ == Simd::Avx2 ? avx2::signal_f32(l, index, window_[parity], coef, w, sig) : 0;
            for (; k < w; ++k) sig[k] = l[index[k]] * coef[k];
            break;
        }
        }
        // The light row that comes next, asked for a few lines a row from now
        // on (fetch()): its samples would otherwise come from memory one line
        // at a time as they are read.
        if (parity == (f_.roi.offset_y & 1)) {
            int next = fit_.row(y + 2);
            if (next == light_row) next = light_row + 1;
            ahead_ = next < f_.light.height
                         ? static_cast<const uint8_t*>(f_.light.data) + row_bytes_ * static_cast<size_t>(next)
                         : nullptr;
            ahead_at_ = span_[0];
        }
        return sig;
    }

    // Asks for the next few lines of the light row that comes next.
    void fetch() {
        if (ahead_ == nullptr) return;
        for (int line = 0; line < 16 && ahead_at_ < span_[1]; ++line, ahead_at_ += 64) prefetch(ahead_ + ahead_at_);
    }

    const Frame& f_;
    Fit fit_;
    int w_;
    Simd path_;
    const float* srgb_ = nullptr;
    const float* table_ = nullptr;
    const float* uniform_ = nullptr;
    const PoissonTable* poisson_ = nullptr;
    float* zero_ = nullptr;
    float* sig_[2] = {nullptr, nullptr};
    int held_[2] = {-1, -1};
#if defined(TAVROCAM_SSE2)
    bool dim_ = false;  // the last row had sites below kPoissonBelow
#endif
    float* coef_[2] = {nullptr, nullptr};
    float* gain_[2] = {nullptr, nullptr};
    int* index_[2] = {nullptr, nullptr};
    int* window_[2] = {nullptr, nullptr};  // per eight sites: their samples' first, or -1
    size_t span_[2] = {0, 0};              // the bytes of a light row the ROI reads
    const uint8_t* ahead_ = nullptr;       // the light row that comes next, or none
    size_t ahead_at_ = 0;                  // the next of its bytes to ask for
    size_t row_bytes_ = 0;
};

inline int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// The 8-bit BT.601 (full range) Y and the chroma of an output column's parity
// (Cb even, Cr odd).
inline void ycbcr(int r, int g, int b, int parity, uint8_t* out) {
    out[0] = static_cast<uint8_t>(clamp255((77 * r + 150 * g + 29 * b + 128) >> 8));
    const int c = parity ? (128 * r - 107 * g - 21 * b + 128) : (-43 * r - 85 * g + 128 * b + 128);
    out[1] = static_cast<uint8_t>(clamp255((c >> 8) + 128));
}

// o[k] (or o[w - 1 - k] mirrored) = value(k), for k < w.
template <typename T, typename F>
inline void store_row(T* o, int w, bool reverse, F value) {
    if (reverse) {
        for (int k = 0; k < w; ++k) o[w - 1 - k] = value(k);
    } else {
        for (int k = 0; k < w; ++k) o[k] = value(k);
    }
}

// 16-bit values as little-endian bytes.
inline void store_le16(uint8_t* out, const uint16_t* values, size_t count) {
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
    std::memcpy(out, values, count * 2);
#else
    for (size_t k = 0; k < count; ++k) {
        out[2 * k] = static_cast<uint8_t>(values[k] & 0xFF);
        out[2 * k + 1] = static_cast<uint8_t>(values[k] >> 8);
    }
#endif
}

#if defined(TAVROCAM_SSE2)
int cut_sse2(const uint16_t* v, int w, bool reverse, uint8_t* out);
#endif

// 8-bit values (the top 8 of 12), mirrored with `reverse`.
void cut_row(Simd path, const uint16_t* v, int w, bool reverse, uint8_t* o) {
    int n = 0;
#if defined(TAVROCAM_SSE2)
    if (path == Simd::Avx2) n = avx2::cut_row(v, w, reverse, o);
    if (path != Simd::None) n += cut_sse2(v + n, w - n, reverse, reverse ? o : o + n);
#else
    (void)path;
#endif
    for (; n < w; ++n) o[reverse ? w - 1 - n : n] = static_cast<uint8_t>(v[n] >> 4);
}

void render_raw(const Frame& f, Sensor& sensor, uint16_t* raw, uint16_t* values, uint16_t* frame_values,
                uint8_t* out) {
    const int w = f.roi.width, h = f.roi.height;
    const uint16_t* process = f.process;
    const bool rx = f.roi.reverse_x;
    const size_t wide = static_cast<size_t>(w);
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
    // 12-bit values unchanged go straight into the frame (its rows are little-endian words).
    const bool straight = f.format == Format::Bayer12 && !process && !rx && reinterpret_cast<uintptr_t>(out) % 2 == 0;
#else
    const bool straight = false;
#endif
    for (int i = 0; i < h; ++i) {
        const int j = f.roi.reverse_y ? h - 1 - i : i;
        const size_t base = static_cast<size_t>(j) * wide;
        if (straight) {
            sensor.row(i, reinterpret_cast<uint16_t*>(out + 2 * base));
            continue;
        }
        sensor.row(i, raw);
        if (f.format == Format::Bayer8) {
            if (process)
                store_row(out + base, w, rx, [&](int k) { return static_cast<uint8_t>(process[raw[k]]); });
            else
                cut_row(sensor.path(), raw, w, rx, out + base);
            continue;
        }
        const uint16_t* row = raw;  // the raw values themselves when nothing changes them
        if (process || rx || frame_values) {
            uint16_t* to = frame_values ? frame_values + base : values;
            if (process)
                store_row(to, w, rx, [&](int k) { return process[raw[k]]; });
            else if (rx)
                store_row(to, w, true, [&](int k) { return raw[k]; });
            else
                std::memcpy(to, raw, wide * 2);
            row = to;
        }
        if (f.format == Format::Bayer12)
            store_le16(out + 2 * base, row, wide);
        else if (frame_values == nullptr)  // 12p of an even width: row by row
            pack12(row, wide, out + base / 2 * 3);
    }
    if (frame_values != nullptr) pack12(frame_values, wide * static_cast<size_t>(h), out);
}

inline int mirror(int i, int n) {
    if (i < 0) return n > 1 ? 1 : 0;
    if (i >= n) return n > 1 ? n - 2 : n - 1;
    return i;
}

// The raw rows around the row being demosaiced, each with one mirrored
// column on either side.
class Rows {
public:
    static size_t work(size_t w) { return 3 * Carver::size_of((w + 2) * sizeof(uint16_t)); }
    Rows(Sensor& sensor, int w, int h, Carver& carve) : sensor_(sensor), w_(w), h_(h) {
        for (auto& slot : slots_) slot = carve.take<uint16_t>(static_cast<size_t>(w) + 2);
    }
    // Row i (mirrored at the ROI's edges); [-1] and [w] hold the mirrored columns.
    const uint16_t* at(int i) {
        i = mirror(i, h_);
        uint16_t* slot = slots_[i % 3];
        if (held_[i % 3] != i) {
            sensor_.row(i, slot + 1);
            slot[0] = slot[1 + mirror(-1, w_)];
            slot[w_ + 1] = slot[1 + mirror(w_, w_)];
            held_[i % 3] = i;
        }
        return slot + 1;
    }

private:
    Sensor& sensor_;
    int w_, h_;
    uint16_t* slots_[3] = {nullptr, nullptr, nullptr};
    int held_[3] = {-1, -1, -1};
};

// Mono8: the luma of each pixel's 2 x 2 quad (one red, two green, one blue
// site) in the raw values, through the processing.
void render_mono(const Frame& f, Sensor& sensor, Carver& carve, uint8_t* out) {
    const int w = f.roi.width, h = f.roi.height;
    const size_t wide = static_cast<size_t>(w);
    Rows rows(sensor, w, h, carve);
    // BT.601's weights in 1/256 (red 77, green 150 shared by the quad's two
    // green sites, blue 29), per [row parity][site of (x, y), (x + 1, y),
    // (x, y + 1), (x + 1, y + 1)]: the four add to 256.
    int16_t* weight[2][4];
    for (auto& set : weight)
        for (auto& row : set) row = carve.take<int16_t>(wide + 8);
    uint16_t* luma = carve.take<uint16_t>(wide + 8);
    const int16_t per_site[3] = {77, 75, 29};
    for (int parity = 0; parity < 2; ++parity)
        for (int k = 0; k < w; ++k) {
            const int x = f.roi.offset_x + k;
            weight[parity][0][k] = per_site[site(x, parity)];
            weight[parity][1][k] = per_site[site(x + 1, parity)];
            weight[parity][2][k] = per_site[site(x, parity + 1)];
            weight[parity][3][k] = per_site[site(x + 1, parity + 1)];
        }
    const uint16_t* process = f.process;
    const bool rx = f.roi.reverse_x;
    const Simd path = sensor.path();
    for (int i = 0; i < h; ++i) {
        const uint16_t* mid = rows.at(i);
        const uint16_t* down = rows.at(i + 1);
        int16_t* const* wt = weight[(f.roi.offset_y + i) & 1];
        const int16_t *a = wt[0], *b = wt[1], *c = wt[2], *d = wt[3];
        uint8_t* o = out + static_cast<size_t>(f.roi.reverse_y ? h - 1 - i : i) * wide;
        int k = 0;
#if defined(TAVROCAM_SSE2)
        // AVX2 and the plain cut: the bytes at once, the rest below.
        const int done = path == Simd::Avx2 && !process ? avx2::luma_cut_row(mid, down, wt, w, rx, o) : 0;
        k = done;
        if (path == Simd::Avx2 && process) k = avx2::luma_row(mid, down, wt, w, luma);
        // Eight pixels a step: pairs of (value, weight) products added in 32 bits.
        const __m128i round = _mm_set1_epi32(128);
        for (; path != Simd::None && k + 8 <= w; k += 8) {
            const __m128i m0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mid + k));
            const __m128i m1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mid + k + 1));
            const __m128i d0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + k));
            const __m128i d1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + k + 1));
            const __m128i wa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
            const __m128i wb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
            const __m128i wc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + k));
            const __m128i wd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + k));
            __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(m0, m1), _mm_unpacklo_epi16(wa, wb)),
                                       _mm_madd_epi16(_mm_unpacklo_epi16(d0, d1), _mm_unpacklo_epi16(wc, wd)));
            __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(m0, m1), _mm_unpackhi_epi16(wa, wb)),
                                       _mm_madd_epi16(_mm_unpackhi_epi16(d0, d1), _mm_unpackhi_epi16(wc, wd)));
            lo = _mm_srai_epi32(_mm_add_epi32(lo, round), 8);
            hi = _mm_srai_epi32(_mm_add_epi32(hi, round), 8);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + k), _mm_packs_epi32(lo, hi));
        }
#endif
        for (; k < w; ++k)
            luma[k] = static_cast<uint16_t>((a[k] * mid[k] + b[k] * mid[k + 1] + c[k] * down[k] +
                                             d[k] * down[k + 1] + 128) >> 8);
        if (process) {
            store_row(o, w, rx, [&](int n) { return static_cast<uint8_t>(process[luma[n]]); });
            continue;
        }
#if !defined(TAVROCAM_SSE2)
        const int done = 0;
#endif
        cut_row(path, luma + done, w - done, rx, rx ? o : o + done);
    }
}

// The colour matrix of a frame in fixed point (see Mix).
Mix mix_of(const Frame& f) {
    Mix mx;
    mx.on = f.matrix_on;
    float most = 0;
    for (float v : f.matrix) most = std::fabs(v) > most ? std::fabs(v) : most;
    while (mx.shift > 0 && most * static_cast<float>(1 << mx.shift) > 32767.0f) --mx.shift;
    for (int n = 0; n < 9; ++n)
        mx.q[n] = static_cast<int16_t>(std::lround(f.matrix[n] * static_cast<float>(1 << mx.shift)));
    mx.black4 = static_cast<int32_t>(std::lround(f.black * 4.0f));
    mx.add = mx.black4 * (1 << mx.shift) + (1 << (mx.shift + 1));
    return mx;
}

// A site's red, green and blue in quarters of a raw count from its own value
// `c4` and its neighbours' sums (bilinear): `across4` the two beside it, `vert4`
// the two above and below, `cross4` all four, `diag4` the four diagonal ones.
// Red rows hold red (even sensor columns) and green sites, blue rows green and
// blue (odd).
template <bool kRedRow>
inline void site_rgb(int c4, int across4, int vert4, int cross4, int diag4, bool odd, int& r4, int& g4, int& b4) {
    if (kRedRow) {
        r4 = odd ? across4 : c4;
        g4 = odd ? c4 : cross4;
        b4 = odd ? vert4 : diag4;
    } else {
        r4 = odd ? diag4 : vert4;
        g4 = odd ? cross4 : c4;
        b4 = odd ? c4 : across4;
    }
}

// Row `row` of the colour matrix of a site (its values in quarters less the
// black level): plus the black level, rounded, clamped to 0 .. 4095. Exact
// in 32 bits (|products| < 2^30), as the vector code computes it.
inline uint16_t mixed(const Mix& mx, int row, int r, int g, int b) {
    const int32_t v = (mx.q[3 * row] * r + mx.q[3 * row + 1] * g + mx.q[3 * row + 2] * b + mx.add) >> (mx.shift + 2);
    return static_cast<uint16_t>(v < 0 ? 0 : v > kFull ? kFull : v);
}

// One row's bilinear demosaic and colour matrix from pixel k on: 12-bit red,
// green and blue (sensor order).
template <bool kRedRow>
void demosaic_tail(const uint16_t* up, const uint16_t* mid, const uint16_t* down, int k, int w, int offset_x,
                   const Mix& mx, uint16_t* ri, uint16_t* gi, uint16_t* bi) {
    for (; k < w; ++k) {
        const int h2 = mid[k - 1] + mid[k + 1], v2 = up[k] + down[k];
        int r4, g4, b4;
        site_rgb<kRedRow>(4 * mid[k], 2 * h2, 2 * v2, h2 + v2, up[k - 1] + up[k + 1] + down[k - 1] + down[k + 1],
                          ((offset_x + k) & 1) != 0, r4, g4, b4);
        if (!mx.on) {
            ri[k] = static_cast<uint16_t>((r4 + 2) >> 2);
            gi[k] = static_cast<uint16_t>((g4 + 2) >> 2);
            bi[k] = static_cast<uint16_t>((b4 + 2) >> 2);
            continue;
        }
        const int r = r4 - mx.black4, g = g4 - mx.black4, b = b4 - mx.black4;
        ri[k] = mixed(mx, 0, r, g, b);
        gi[k] = mixed(mx, 1, r, g, b);
        bi[k] = mixed(mx, 2, r, g, b);
    }
}

#if defined(TAVROCAM_SSE2)
inline __m128i load8(const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
// a where the mask is set, else b.
inline __m128i pick(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// Row `row` of the matrix of eight sites (their values in quarters less the
// black level, in 16-bit lanes) as `mixed` computes it.
inline __m128i mixed8(const Mix& mx, int row, __m128i r, __m128i g, __m128i b) {
    const __m128i rg = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(mx.q[3 * row])) |
                                      static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(mx.q[3 * row + 1])) << 16));
    const __m128i bz = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(mx.q[3 * row + 2])));
    const __m128i zero = _mm_setzero_si128(), add = _mm_set1_epi32(mx.add);
    const __m128i lo = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(r, g), rg),
                                                   _mm_madd_epi16(_mm_unpacklo_epi16(b, zero), bz)), add);
    const __m128i hi = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(r, g), rg),
                                                   _mm_madd_epi16(_mm_unpackhi_epi16(b, zero), bz)), add);
    const int by = mx.shift + 2;
    const __m128i v = _mm_packs_epi32(_mm_sra_epi32(lo, _mm_cvtsi32_si128(by)), _mm_sra_epi32(hi, _mm_cvtsi32_si128(by)));
    return _mm_min_epi16(_mm_max_epi16(v, zero), _mm_set1_epi16(kFull));
}

// The demosaic and matrix of a row, eight sites a step in 16-bit lanes (the
// sums in quarters reach 16380); returns the sites done.
template <bool kRedRow>
int demosaic_sse2(const uint16_t* up, const uint16_t* mid, const uint16_t* down, int w, int offset_x,
                  const Mix& mx, uint16_t* ri, uint16_t* gi, uint16_t* bi) {
    const __m128i odd = (offset_x & 1) ? _mm_set_epi16(0, -1, 0, -1, 0, -1, 0, -1)
                                       : _mm_set_epi16(-1, 0, -1, 0, -1, 0, -1, 0);
    const __m128i two = _mm_set1_epi16(2);
    int k = 0;
    for (; k + 8 <= w; k += 8) {
        const __m128i h2 = _mm_add_epi16(load8(mid + k - 1), load8(mid + k + 1));
        const __m128i v2 = _mm_add_epi16(load8(up + k), load8(down + k));
        const __m128i c4 = _mm_slli_epi16(load8(mid + k), 2);
        const __m128i across4 = _mm_slli_epi16(h2, 1), vert4 = _mm_slli_epi16(v2, 1);
        const __m128i cross4 = _mm_add_epi16(h2, v2);
        const __m128i diag4 = _mm_add_epi16(_mm_add_epi16(load8(up + k - 1), load8(up + k + 1)),
                                            _mm_add_epi16(load8(down + k - 1), load8(down + k + 1)));
        __m128i r4, g4, b4;
        if (kRedRow) {
            r4 = pick(odd, across4, c4);
            g4 = pick(odd, c4, cross4);
            b4 = pick(odd, vert4, diag4);
        } else {
            r4 = pick(odd, diag4, vert4);
            g4 = pick(odd, cross4, c4);
            b4 = pick(odd, c4, across4);
        }
        __m128i r, g, b;
        if (!mx.on) {
            r = _mm_srli_epi16(_mm_add_epi16(r4, two), 2);
            g = _mm_srli_epi16(_mm_add_epi16(g4, two), 2);
            b = _mm_srli_epi16(_mm_add_epi16(b4, two), 2);
        } else {
            const __m128i black = _mm_set1_epi16(static_cast<int16_t>(mx.black4));
            const __m128i dr = _mm_sub_epi16(r4, black), dg = _mm_sub_epi16(g4, black);
            const __m128i db = _mm_sub_epi16(b4, black);
            r = mixed8(mx, 0, dr, dg, db);
            g = mixed8(mx, 1, dr, dg, db);
            b = mixed8(mx, 2, dr, dg, db);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ri + k), r);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gi + k), g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bi + k), b);
    }
    return k;
}

// The eight 16-bit lanes in reverse order.
inline __m128i reverse8(__m128i v) {
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
    return _mm_shuffle_epi32(v, 0x4E);
}

// 8-bit values (the top 8 of 12), in image order: k of 8-bit rows done.
int cut_sse2(const uint16_t* v, int w, bool reverse, uint8_t* out) {
    int k = 0;
    for (; k + 8 <= w; k += 8) {
        __m128i x = _mm_srli_epi16(load8(v + k), 4);
        if (reverse) x = reverse8(x);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (reverse ? w - 8 - k : k)), _mm_packus_epi16(x, x));
    }
    return k;
}

// RGB8 (or BGR8, given blue first) of eight pixels a step: each four pixels
// as two 6-byte groups, stored 8 bytes at a time (the next store writes the
// two extra bytes again), so the last pixel is left to the scalar loop.
int interleave_sse2(const uint8_t* first, const uint8_t* second, const uint8_t* third, int w, uint8_t* row) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_set_epi32(0, -1, 0, -1);
    int k = 0;
    for (; k + 9 <= w; k += 8) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + k));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(second + k));
        const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(third + k));
        const __m128i ab = _mm_unpacklo_epi8(a, b), c0 = _mm_unpacklo_epi8(c, zero);
        uint8_t* o = row + 3 * static_cast<size_t>(k);
        for (int half = 0; half < 2; ++half) {
            const __m128i p = half ? _mm_unpackhi_epi16(ab, c0) : _mm_unpacklo_epi16(ab, c0);
            const __m128i q = _mm_or_si128(_mm_and_si128(p, low), _mm_slli_epi64(_mm_srli_epi64(p, 32), 24));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o), q);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 6), _mm_srli_si128(q, 8));
            o += 12;
        }
    }
    return k;
}

// YCbCr422_8 of 8-bit red, green and blue in image order, eight pixels a
// step in 16-bit lanes (Y's weights add to 256, so its sum fits).
// YCbCr422_8 of eight pixels' 8-bit red, green and blue in 16-bit lanes, at
// an even column: 16 bytes.
inline __m128i ycbcr8(__m128i r, __m128i g, __m128i b) {
    const __m128i round = _mm_set1_epi16(128), half = _mm_set1_epi16(static_cast<short>(-32768));
    const __m128i y = _mm_srli_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(r, _mm_set1_epi16(77)), _mm_mullo_epi16(g, _mm_set1_epi16(150))),
                      _mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(29)), round)),
        8);
    // The chroma of each column's parity (Cb even, Cr odd) with that parity's
    // weights: the sum (-32640 .. 32640) wraps in 16 bits, + 32768 makes it
    // exact as unsigned (128 .. 65408), + 128 saturating (65536 only at the
    // top, which clamps to 255), >> 8.
    const __m128i w_r = _mm_set_epi16(128, -43, 128, -43, 128, -43, 128, -43);
    const __m128i w_g = _mm_set_epi16(-107, -85, -107, -85, -107, -85, -107, -85);
    const __m128i w_b = _mm_set_epi16(-21, 128, -21, 128, -21, 128, -21, 128);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(r, w_r), _mm_mullo_epi16(g, w_g)),
                                      _mm_mullo_epi16(b, w_b));
    const __m128i c = _mm_srli_epi16(_mm_adds_epu16(_mm_add_epi16(sum, half), round), 8);
    const __m128i bytes = _mm_packus_epi16(y, c);  // y0..y7 c0..c7, each within 0..255
    return _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 8));
}

// YCbCr422_8 of 8-bit red, green and blue in image order, eight pixels a step.
int ycbcr_sse2(const uint8_t* r8, const uint8_t* g8, const uint8_t* b8, int w, uint8_t* row) {
    const __m128i zero = _mm_setzero_si128();
    int k = 0;
    for (; k + 8 <= w; k += 8) {
        const __m128i r = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r8 + k)), zero);
        const __m128i g = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(g8 + k)), zero);
        const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b8 + k)), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * static_cast<size_t>(k)), ycbcr8(r, g, b));
    }
    return k;
}

// The processing's 8-bit values of eight 12-bit ones, in 16-bit lanes.
inline __m128i cut8(const uint8_t* cut, const uint16_t* v) {
    return _mm_set_epi16(cut[v[7]], cut[v[6]], cut[v[5]], cut[v[4]], cut[v[3]], cut[v[2]], cut[v[1]], cut[v[0]]);
}

// YCbCr422_8 of 12-bit red, green and blue through the processing's table,
// in image order, eight pixels a step.
int ycbcr_cut_sse2(const uint16_t* r, const uint16_t* g, const uint16_t* b, const uint8_t* cut, int w,
                   uint8_t* row) {
    int k = 0;
    for (; k + 8 <= w; k += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * static_cast<size_t>(k)),
                         ycbcr8(cut8(cut, r + k), cut8(cut, g + k), cut8(cut, b + k)));
    return k;
}
#endif

// RGB8, BGR8 and YCbCr422_8: per row, the bilinear demosaic of the raw
// mosaic (each site's own colour, the others its neighbours' means) and the
// colour matrix around the black level (none: the means rounded) as 12-bit
// values; their 8-bit values through the processing, in image order; then
// the format's bytes. The rows stay in cache.
void render_colour(const Frame& f, Sensor& sensor, Carver& carve, uint8_t* out) {
    const int w = f.roi.width, h = f.roi.height;
    const size_t wide = static_cast<size_t>(w);
    Rows rows(sensor, w, h, carve);
    uint16_t* rgb[3];
    uint8_t* rgb8[3];
    for (auto& p : rgb) p = carve.take<uint16_t>(wide);
    for (auto& p : rgb8) p = carve.take<uint8_t>(wide);
    const bool rx = f.roi.reverse_x;
    const int x0 = f.roi.offset_x;
    const Mix mx = mix_of(f);
    // The processing's 8-bit value of each 12-bit one, or none for the plain cut.
    uint8_t* cut = f.process ? carve.take<uint8_t>(kFull + 1) : nullptr;
    if (cut)
        for (int v = 0; v <= kFull; ++v) cut[v] = static_cast<uint8_t>(f.process[v]);
    const bool rgb_order = f.format == Format::RGB8;
    const Simd path = sensor.path();
    for (int i = 0; i < h; ++i) {
        const uint16_t* up = rows.at(i - 1);
        const uint16_t* down = rows.at(i + 1);
        const uint16_t* mid = rows.at(i);
        const bool red_row = ((f.roi.offset_y + i) & 1) == 0;
        int k = 0;
#if defined(TAVROCAM_SSE2)
        if (path == Simd::Avx2) k = avx2::demosaic_row(red_row, up, mid, down, w, x0, mx, rgb[0], rgb[1], rgb[2]);
        if (path != Simd::None)
            k += red_row ? demosaic_sse2<true>(up + k, mid + k, down + k, w - k, x0 + k, mx, rgb[0] + k, rgb[1] + k,
                                               rgb[2] + k)
                         : demosaic_sse2<false>(up + k, mid + k, down + k, w - k, x0 + k, mx, rgb[0] + k,
                                                rgb[1] + k, rgb[2] + k);
#endif
        if (red_row)
            demosaic_tail<true>(up, mid, down, k, w, x0, mx, rgb[0], rgb[1], rgb[2]);
        else
            demosaic_tail<false>(up, mid, down, k, w, x0, mx, rgb[0], rgb[1], rgb[2]);
        const size_t j = static_cast<size_t>(f.roi.reverse_y ? h - 1 - i : i);
        if (cut && f.format != Format::YCbCr422) {  // looked up and interleaved in one pass
            const uint16_t* first = rgb_order ? rgb[0] : rgb[2];
            const uint16_t* green = rgb[1];
            const uint16_t* last = rgb_order ? rgb[2] : rgb[0];
            uint8_t* row = out + j * wide * 3;
            for (int n = 0; n < w; ++n) {
                uint8_t* o = row + 3 * static_cast<size_t>(rx ? w - 1 - n : n);
                o[0] = cut[first[n]];
                o[1] = cut[green[n]];
                o[2] = cut[last[n]];
            }
            continue;
        }
        if (cut && f.format == Format::YCbCr422 && !rx) {  // looked up and converted in one pass
            uint8_t* row = out + j * wide * 2;
            int n = 0;
#if defined(TAVROCAM_SSE2)
            if (path != Simd::None) n = ycbcr_cut_sse2(rgb[0], rgb[1], rgb[2], cut, w, row);
#endif
            for (; n < w; ++n)
                ycbcr(cut[rgb[0][n]], cut[rgb[1][n]], cut[rgb[2][n]], n & 1, row + 2 * static_cast<size_t>(n));
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            const uint16_t* v = rgb[c];
            uint8_t* o = rgb8[c];
            if (cut) {
                store_row(o, w, rx, [&](int n) { return cut[v[n]]; });
                continue;
            }
            cut_row(path, v, w, rx, o);
        }
        const uint8_t *r8 = rgb8[0], *g8 = rgb8[1], *b8 = rgb8[2];
        if (f.format == Format::YCbCr422) {  // BT.601 (full range) of the 8-bit values
            uint8_t* row = out + j * wide * 2;
            int n = 0;
#if defined(TAVROCAM_SSE2)
            if (path != Simd::None) n = ycbcr_sse2(r8, g8, b8, w, row);
#endif
            for (; n < w; ++n) ycbcr(r8[n], g8[n], b8[n], n & 1, row + 2 * static_cast<size_t>(n));
            continue;
        }
        const uint8_t* first = f.format == Format::RGB8 ? r8 : b8;
        const uint8_t* last = f.format == Format::RGB8 ? b8 : r8;
        uint8_t* row = out + j * wide * 3;
        int n = 0;
#if defined(TAVROCAM_SSE2)
        if (path != Simd::None) n = interleave_sse2(first, g8, last, w, row);
#endif
        for (; n < w; ++n) {
            uint8_t* o = row + 3 * static_cast<size_t>(n);
            o[0] = first[n];
            o[1] = g8[n];
            o[2] = last[n];
        }
    }
}
bool finite_nonneg(float v) { return std::isfinite(v) && v >= 0.0f; }

}  // namespace

Simd simd_best() {
    static const Simd best = find_best();
    return best;
}

Simd simd() {
    int path = g_simd.load(std::memory_order_relaxed);
    if (path < 0) {
        int unset = -1;
        path = static_cast<int>(from_environment());
        if (!g_simd.compare_exchange_strong(unset, path)) path = unset;
    }
    return static_cast<Simd>(path);
}

Simd use_simd(Simd path) {
    const Simd used = pick(path);
    g_simd.store(static_cast<int>(used), std::memory_order_relaxed);
    return used;
}

void prepare() {
    simd();
    normals();
    uniforms();
    poisson_table();
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
    const bool colour = f.format != Format::Bayer8 && f.format != Format::Bayer12 && f.format != Format::Bayer12p;
    // 12p of an odd width packs across rows: the frame's values first.
    const bool whole = f.format == Format::Bayer12p && (w & 1) != 0;
    size_t bytes = Sensor::work(w) + 2 * Carver::size_of(w * 2) + (whole ? Carver::size_of(w * h * 2) : 0);
    if (colour)
        bytes += Rows::work(w) + 8 * Carver::size_of(w * sizeof(float)) + 3 * Carver::size_of(w * sizeof(int)) +
                 Carver::size_of(kFull + 1) + Carver::size_of(3 * w * sizeof(uint16_t));
    Work work(bytes + 64);
    if (work.p == nullptr) return false;
    Carver carve(reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(work.p) + 63) / 64 * 64));
    Sensor sensor(f, carve);
    if (f.format == Format::Mono8) {
        render_mono(f, sensor, carve, out);
    } else if (colour) {
        render_colour(f, sensor, carve, out);
    } else {
        uint16_t* raw = carve.take<uint16_t>(w);
        uint16_t* values = carve.take<uint16_t>(w);
        render_raw(f, sensor, raw, values, whole ? carve.take<uint16_t>(w * h) : nullptr, out);
    }
    return true;
}

void measure(const Frame& f, int x, int y, int width, int height, int step, double means[3]) {
    Frame one = f;
    one.roi.width = 1;  // the Sensor's per-column tables are not used here
    alignas(64) uint8_t scratch[1024];
    Carver carve(scratch);
    const Sensor sensor(one, carve);
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
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
    // Four values (six bytes) a step as one 64-bit little-endian store whose
    // last two bytes the next step writes again; the last steps byte by byte.
    for (; i + 8 <= count; i += 4, out += 6) {
        const uint64_t v = static_cast<uint64_t>(values[i] & 0xFFF) |
                           static_cast<uint64_t>(values[i + 1] & 0xFFF) << 12 |
                           static_cast<uint64_t>(values[i + 2] & 0xFFF) << 24 |
                           static_cast<uint64_t>(values[i + 3] & 0xFFF) << 36;
        std::memcpy(out, &v, 8);
    }
#endif
    for (; i + 1 < count; i += 2, out += 3) {
        const unsigned a = values[i] & 0xFFF, b = values[i + 1] & 0xFFF;
        out[0] = static_cast<uint8_t>(a & 0xFF);
        out[1] = static_cast<uint8_t>((a >> 8) | ((b & 0x0F) << 4));
        out[2] = static_cast<uint8_t>(b >> 4);
    }
    if (i < count) out[0] = static_cast<uint8_t>(values[i] & 0xFF);
}

void unpack12(const uint8_t* data, size_t count, uint16_t* out) {
    size_t i = simd() == Simd::Avx2 ? avx2::unpack12(data, count, out) : 0;
    data += i / 2 * 3;
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
    // Four values (six bytes) a step from one 64-bit little-endian load (the
    // next four values' bytes follow, so its last two are there).
    for (; i + 8 <= count; i += 4, data += 6) {
        uint64_t v;
        std::memcpy(&v, data, 8);
        out[i] = static_cast<uint16_t>(v & 0xFFF);
        out[i + 1] = static_cast<uint16_t>((v >> 12) & 0xFFF);
        out[i + 2] = static_cast<uint16_t>((v >> 24) & 0xFFF);
        out[i + 3] = static_cast<uint16_t>((v >> 36) & 0xFFF);
    }
#endif
    for (; i + 1 < count; i += 2, data += 3) {
        out[i] = static_cast<uint16_t>(data[0] | ((data[1] & 0x0F) << 8));
        out[i + 1] = static_cast<uint16_t>((data[1] >> 4) | (data[2] << 4));
    }
    if (i < count) out[i] = data[0];
}

}  // namespace simcore
