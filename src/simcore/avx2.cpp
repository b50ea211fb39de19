// The pixel path's AVX2 loops (see simd.hpp): the only file compiled for
// AVX2, called only when the processor has it. Each loop does what its SSE2
// twin in core.cpp does, the same operations in the same order on twice the
// lanes (no fused multiply-add: the build does not target FMA), so its bytes
// are the same.
#include "simcore/simd.hpp"

#if defined(__AVX2__) && defined(TAVROCAM_SSE2)
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <cstddef>

namespace simcore {
namespace avx2 {
namespace {

using namespace detail;

inline __m256i load16(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// a where the mask is set, else b.
inline __m256i pick(__m256i mask, __m256i a, __m256i b) {
    return _mm256_or_si256(_mm256_and_si256(mask, a), _mm256_andnot_si256(mask, b));
}

// Row `row` of the matrix of sixteen sites (mixed8 of core.cpp): the
// unpacks and packs work within each 128-bit half, so the order comes back.
inline __m256i mixed16(const Mix& mx, int row, __m256i r, __m256i g, __m256i b) {
    const __m256i rg = _mm256_set1_epi32(
        static_cast<int32_t>(static_cast<uint16_t>(mx.q[3 * row])) |
        static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(mx.q[3 * row + 1])) << 16));
    const __m256i bz = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(mx.q[3 * row + 2])));
    const __m256i zero = _mm256_setzero_si256(), add = _mm256_set1_epi32(mx.add);
    const __m256i lo =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r, g), rg),
                                          _mm256_madd_epi16(_mm256_unpacklo_epi16(b, zero), bz)),
                         add);
    const __m256i hi =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r, g), rg),
                                          _mm256_madd_epi16(_mm256_unpackhi_epi16(b, zero), bz)),
                         add);
    const __m128i by = _mm_cvtsi32_si128(mx.shift + 2);
    const __m256i v = _mm256_packs_epi32(_mm256_sra_epi32(lo, by), _mm256_sra_epi32(hi, by));
    return _mm256_min_epi16(_mm256_max_epi16(v, zero), _mm256_set1_epi16(kFull));
}

// Sixteen 16-bit values (each within 0 .. 255) as bytes in order.
inline __m128i bytes16(__m256i v) {
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
}

// The index of the lowest bit set in `bits` (not 0).
inline int lowest(unsigned bits) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long at;
    _BitScanForward(&at, bits);
    return static_cast<int>(at);
#else
    return __builtin_ctz(bits);
#endif
}

// exp_small4 of eight values.
inline __m256 exp_small8(__m256 r) {
    __m256 p = _mm256_mul_ps(r, _mm256_set1_ps(kExpSeries[0]));
    for (int n = 1; n < 6; ++n) p = _mm256_mul_ps(r, _mm256_sub_ps(_mm256_set1_ps(kExpSeries[n]), p));
    return _mm256_sub_ps(_mm256_set1_ps(1.0f), p);
}

// rest4 of eight means.
inline __m256 rest8(const PoissonTable& t, __m256 m, __m256 v, __m256 ev, __m256i* grid) {
    const __m256 below = _mm256_set1_ps(kPoissonBelow);
    const __m256i j =
        _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_min_ps(m, below), _mm256_set1_ps(static_cast<float>(kGrid))));
    *grid = j;
    __m256 rest = _mm256_sub_ps(m, _mm256_mul_ps(_mm256_cvtepi32_ps(j), _mm256_set1_ps(1.0f / kGrid)));
    rest = _mm256_min_ps(_mm256_max_ps(rest, _mm256_setzero_ps()), _mm256_set1_ps(1.0f / kGrid));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 drawn = _mm256_cmp_ps(ev, rest, _CMP_LT_OS);
    const __m256 k1 = _mm256_and_ps(drawn, one);
    const __m256 r = rest;
    const __m256 maybe =
        _mm256_and_ps(drawn, _mm256_cmp_ps(ev, _mm256_mul_ps(_mm256_set1_ps(0.5f), _mm256_mul_ps(r, r)), _CMP_LT_OS));
    if (_mm256_movemask_ps(maybe) == 0) return k1;
    const float c[6] = {1.0f / 7, 1.0f / 6, 0.2f, 0.25f, 1.0f / 3, 0.5f};
    __m256 q = _mm256_mul_ps(r, _mm256_set1_ps(c[0]));
    for (int n = 1; n < 6; ++n) q = _mm256_mul_ps(r, _mm256_sub_ps(_mm256_set1_ps(c[n]), q));
    q = _mm256_mul_ps(r, q);
    const __m256 more = _mm256_and_ps(maybe, _mm256_cmp_ps(ev, q, _CMP_LT_OS));
    if (_mm256_movemask_ps(more) == 0) return k1;
    __m256 k = _mm256_setzero_ps();
    __m256 p = exp_small8(rest), sum = p;
    __m256 active = _mm256_and_ps(more, _mm256_cmp_ps(v, sum, _CMP_GT_OS));
    for (int n = 1; n <= kRestMost && _mm256_movemask_ps(active) != 0; ++n) {
        p = _mm256_mul_ps(_mm256_mul_ps(p, rest), _mm256_set1_ps(t.inverse[n]));
        sum = _mm256_add_ps(sum, p);
        k = _mm256_add_ps(k, _mm256_and_ps(active, one));
        active = _mm256_and_ps(active, _mm256_cmp_ps(v, sum, _CMP_GT_OS));
    }
    return _mm256_or_ps(_mm256_and_ps(more, k), _mm256_andnot_ps(more, k1));
}

// draw4 of eight sites: the fine guide's cells gathered (a cell's byte read
// as the low byte of 32 bits: the PoissonTable's last member follows `fine`).
inline __m256 draw8(const PoissonTable& t, __m256 m, __m256 e, __m256 dark, const float* u, const float* v) {
    __m256i j;
    __m256 rest = rest8(t, m, _mm256_loadu_ps(v), _mm256_loadu_ps(v + kExponential), &j);
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(j, _mm256_setzero_si256())) != 0) {
        const __m256i g =
            _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_loadu_ps(u), _mm256_set1_ps(static_cast<float>(kFine))));
        const __m256i cell = _mm256_add_epi32(_mm256_slli_epi32(j, kFineBits), g);
        __m256i n = _mm256_and_si256(
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(&t.fine[0][0]), cell, 1), _mm256_set1_epi32(0xFF));
        const __m256i unsure = _mm256_cmpgt_epi32(n, _mm256_set1_epi32(kUnsure - 1));
        unsigned lanes = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(unsure)));
        if (lanes != 0) {  // rare: a step or two on, in those lanes only
            alignas(32) int32_t ns[8], js[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(ns), n);
            _mm256_store_si256(reinterpret_cast<__m256i*>(js), j);
            for (; lanes != 0; lanes &= lanes - 1) {
                const int l = lowest(lanes);
                const float* c = t.cdf[js[l]];
                int k = ns[l] & ~kUnsure;
                while (u[l] > c[k]) ++k;
                ns[l] = k;
            }
            n = _mm256_load_si256(reinterpret_cast<const __m256i*>(ns));
        }
        rest = _mm256_add_ps(rest, _mm256_cvtepi32_ps(n));
    }
    return _mm256_or_ps(_mm256_and_ps(dark, rest), _mm256_andnot_ps(dark, e));
}

// draw8 of eight sites that are all dark, on its common course in one pass:
// the grid's draw gathered, the rest's 0 or 1; where a site needs more (a
// cell not sure, a rest of 2 or more: the same tests as draw8's), draw8
// itself.
inline __m256 dark8(const PoissonTable& t, __m256 m, const float* u, const float* v) {
    // m (0 .. kPoissonBelow) needs no clamp on its way to j and the rest.
    const __m256i j = _mm256_cvttps_epi32(_mm256_mul_ps(m, _mm256_set1_ps(static_cast<float>(kGrid))));
    const __m256 rest = _mm256_sub_ps(m, _mm256_mul_ps(_mm256_cvtepi32_ps(j), _mm256_set1_ps(1.0f / kGrid)));
    const __m256 ev = _mm256_loadu_ps(v + kExponential);
    const __m256 drawn = _mm256_cmp_ps(ev, rest, _CMP_LT_OS);
    // ev < rest^2 / 2 (< rest): draw8's `maybe`.
    const __m256 maybe =
        _mm256_cmp_ps(ev, _mm256_mul_ps(_mm256_set1_ps(0.5f), _mm256_mul_ps(rest, rest)), _CMP_LT_OS);
    if (_mm256_testz_si256(j, j)) {  // the grid's mean 0 draws 0
        if (_mm256_movemask_ps(maybe) != 0) return draw8(t, m, m, _mm256_castsi256_ps(_mm256_set1_epi32(-1)), u, v);
        return _mm256_and_ps(drawn, _mm256_set1_ps(1.0f));
    }
    const __m256i g =
        _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_loadu_ps(u), _mm256_set1_ps(static_cast<float>(kFine))));
    const __m256i cell = _mm256_add_epi32(_mm256_slli_epi32(j, kFineBits), g);
    const __m256i n = _mm256_and_si256(
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(&t.fine[0][0]), cell, 1), _mm256_set1_epi32(0xFF));
    const __m256i unsure = _mm256_cmpgt_epi32(n, _mm256_set1_epi32(kUnsure - 1));
    if (_mm256_movemask_ps(_mm256_or_ps(maybe, _mm256_castsi256_ps(unsure))) != 0) {
        const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
        return draw8(t, m, m, all, u, v);
    }
    return _mm256_cvtepi32_ps(_mm256_sub_epi32(n, _mm256_castps_si256(drawn)));  // + 1 where drawn
}

static_assert(offsetof(PoissonTable, inverse) >= offsetof(PoissonTable, fine) + sizeof(PoissonTable::fine) &&
                  sizeof(PoissonTable::inverse) >= 3,
              "a gathered cell's three bytes past `fine` stay in the table");

// Mono8's luma of sixteen pixels a step, each step's values handed to `put`
// (at k, in 16-bit lanes).
template <typename Put>
inline int luma16(const uint16_t* mid, const uint16_t* down, const int16_t* const* weight, int w, Put put) {
    if (w < 16) return 0;
    // The weights alternate along the row (the quad's sites' colours): the
    // pairs (a, b) and (c, d) of an even and an odd pixel, in 32-bit lanes.
    const int16_t *a = weight[0], *b = weight[1], *c = weight[2], *d = weight[3];
    auto pair = [](int16_t x, int16_t y) {
        return static_cast<int32_t>(static_cast<uint16_t>(x)) |
               static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16);
    };
    const int32_t ab0 = pair(a[0], b[0]), ab1 = pair(a[1], b[1]), cd0 = pair(c[0], d[0]), cd1 = pair(c[1], d[1]);
    const __m256i wab = _mm256_setr_epi32(ab0, ab1, ab0, ab1, ab0, ab1, ab0, ab1);
    const __m256i wcd = _mm256_setr_epi32(cd0, cd1, cd0, cd1, cd0, cd1, cd0, cd1);
    const __m256i round = _mm256_set1_epi32(128);
    int k = 0;
    for (; k + 16 <= w; k += 16) {
        const __m256i m0 = load16(mid + k), m1 = load16(mid + k + 1);
        const __m256i d0 = load16(down + k), d1 = load16(down + k + 1);
        __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(m0, m1), wab),
                                      _mm256_madd_epi16(_mm256_unpacklo_epi16(d0, d1), wcd));
        __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(m0, m1), wab),
                                      _mm256_madd_epi16(_mm256_unpackhi_epi16(d0, d1), wcd));
        lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), 8);
        hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), 8);
        put(k, _mm256_packs_epi32(lo, hi));
    }
    return k;
}

// Sixteen bytes in reverse order (made where used: no code of this file may
// run before the processor is known to have AVX2, so no static constants).
inline __m128i backwards(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

}  // namespace

bool built() { return true; }

int raw_row(const RowJob& j, uint16_t* raw, bool dim, float* low_out) {
    const float *sig = j.sig, *prnu_p = j.prnu_p, *dsnu_p = j.dsnu_p, *shot = j.shot, *read = j.read;
    // A site's gain is its filter colour's: it alternates along the row.
    const __m256 vgain = j.w >= 2 ? _mm256_setr_ps(j.gain[0], j.gain[1], j.gain[0], j.gain[1], j.gain[0], j.gain[1],
                                                    j.gain[0], j.gain[1])
                                  : _mm256_setzero_ps();
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), most = _mm256_set1_ps(kMostElectrons);
    const __m256 vprnu = _mm256_set1_ps(j.prnu), vdark = _mm256_set1_ps(j.dark), vsat = _mm256_set1_ps(j.sat);
    const __m256 vdsnu = _mm256_set1_ps(j.dsnu), vnoise = _mm256_set1_ps(j.noise);
    const __m256 vblack = _mm256_set1_ps(j.black), full = _mm256_set1_ps(static_cast<float>(kFull));
    const __m256 vbelow = _mm256_set1_ps(j.below);
    auto mean8 = [&](int at) {
        const __m256 m = _mm256_add_ps(
            _mm256_mul_ps(_mm256_loadu_ps(sig + at),
                          _mm256_add_ps(one, _mm256_mul_ps(vprnu, _mm256_loadu_ps(prnu_p + at)))),
            vdark);
        return _mm256_min_ps(_mm256_max_ps(m, zero), most);
    };
    auto shot8 = [&](int at, __m256 m) {
        return _mm256_add_ps(m, _mm256_mul_ps(_mm256_sqrt_ps(m), _mm256_loadu_ps(shot + at)));
    };
    auto raw8 = [&](int at, __m256 e) {
        e = _mm256_min_ps(_mm256_max_ps(e, zero), vsat);
        e = _mm256_add_ps(e, _mm256_add_ps(_mm256_mul_ps(vdsnu, _mm256_loadu_ps(dsnu_p + at)),
                                           _mm256_mul_ps(vnoise, _mm256_loadu_ps(read + at))));
        __m256 dn = _mm256_add_ps(_mm256_mul_ps(e, vgain), vblack);
        dn = _mm256_min_ps(_mm256_max_ps(dn, zero), full);
        return _mm256_cvttps_epi32(dn);
    };
    __m256 low = most;
    auto bright8 = [&](int at) {
        const __m256 m = mean8(at);
        low = _mm256_min_ps(low, m);
        return raw8(at, shot8(at, m));
    };
    const int w = j.w;
    int k = 0;
    if (dim) {
        // Per eight sites, the dark ones drawn from Poisson's distribution.
        auto dim8 = [&](int at) {
            const __m256 m = mean8(at);
            low = _mm256_min_ps(low, m);
            const __m256 dark_sites = _mm256_cmp_ps(m, vbelow, _CMP_LT_OS);
            const int dark_mask = _mm256_movemask_ps(dark_sites);
            if (dark_mask == 0xFF) return raw8(at, dark8(*j.table, m, j.uniform + at, j.uniform2 + at));
            __m256 e = shot8(at, m);
            if (dark_mask != 0) e = draw8(*j.table, m, e, dark_sites, j.uniform + at, j.uniform2 + at);
            return raw8(at, e);
        };
        for (; k + 16 <= w; k += 16) {
            const __m256i v = _mm256_packs_epi32(dim8(k), dim8(k + 8));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(raw + k), _mm256_permute4x64_epi64(v, 0xD8));
        }
    } else {
        for (; k + 16 <= w; k += 16) {
            const __m256i v = _mm256_packs_epi32(bright8(k), bright8(k + 8));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(raw + k), _mm256_permute4x64_epi64(v, 0xD8));
        }
    }
    __m128 least = _mm_min_ps(_mm256_castps256_ps128(low), _mm256_extractf128_ps(low, 1));
    least = _mm_min_ps(least, _mm_movehl_ps(least, least));
    least = _mm_min_ss(least, _mm_shuffle_ps(least, least, 1));
    *low_out = _mm_cvtss_f32(least);
    return k;
}

int signal_f32(const float* light, const int* index, const int* window, const float* coef, int w, float* sig) {
    int k = 0;
    for (; k + 8 <= w; k += 8) {
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + k));
        const int first = window[k / 8];
        // A gather is slow on many processors: eight samples within eight of
        // each other are one load and a permute.
        const __m256 samples = first >= 0 ? _mm256_permutevar8x32_ps(_mm256_loadu_ps(light + first),
                                                                      _mm256_sub_epi32(at, _mm256_set1_epi32(first)))
                                           : _mm256_i32gather_ps(light, at, 4);
        _mm256_storeu_ps(sig + k, _mm256_mul_ps(samples, _mm256_loadu_ps(coef + k)));
    }
    return k;
}

int luma_row(const uint16_t* mid, const uint16_t* down, const int16_t* const* weight, int w, uint16_t* luma) {
    return luma16(mid, down, weight, w,
                  [&](int k, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma + k), v); });
}

int luma_cut_row(const uint16_t* mid, const uint16_t* down, const int16_t* const* weight, int w, bool reverse,
                 uint8_t* out) {
    return luma16(mid, down, weight, w, [&](int k, __m256i v) {
        __m128i x = bytes16(_mm256_srli_epi16(v, 4));
        if (reverse) x = backwards(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (reverse ? w - 16 - k : k)), x);
    });
}

int cut_row(const uint16_t* v, int w, bool reverse, uint8_t* out) {
    int k = 0;
    for (; k + 16 <= w; k += 16) {
        __m128i x = bytes16(_mm256_srli_epi16(load16(v + k), 4));
        if (reverse) x = backwards(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (reverse ? w - 16 - k : k)), x);
    }
    return k;
}

int demosaic_row(bool red_row, const uint16_t* up, const uint16_t* mid, const uint16_t* down, int w, int offset_x,
                 const Mix& mx, uint16_t* ri, uint16_t* gi, uint16_t* bi) {
    // The lanes of odd sensor columns (k steps by 16: the same every step).
    const __m256i odd = _mm256_set1_epi32((offset_x & 1) ? 0x0000FFFF : static_cast<int32_t>(0xFFFF0000u));
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i black = _mm256_set1_epi16(static_cast<int16_t>(mx.black4));
    int k = 0;
    for (; k + 16 <= w; k += 16) {
        const __m256i h2 = _mm256_add_epi16(load16(mid + k - 1), load16(mid + k + 1));
        const __m256i v2 = _mm256_add_epi16(load16(up + k), load16(down + k));
        const __m256i c4 = _mm256_slli_epi16(load16(mid + k), 2);
        const __m256i across4 = _mm256_slli_epi16(h2, 1), vert4 = _mm256_slli_epi16(v2, 1);
        const __m256i cross4 = _mm256_add_epi16(h2, v2);
        const __m256i diag4 = _mm256_add_epi16(_mm256_add_epi16(load16(up + k - 1), load16(up + k + 1)),
                                               _mm256_add_epi16(load16(down + k - 1), load16(down + k + 1)));
        __m256i r4, g4, b4;
        if (red_row) {
            r4 = pick(odd, across4, c4);
            g4 = pick(odd, c4, cross4);
            b4 = pick(odd, vert4, diag4);
        } else {
            r4 = pick(odd, diag4, vert4);
            g4 = pick(odd, cross4, c4);
            b4 = pick(odd, c4, across4);
        }
        __m256i r, g, b;
        if (!mx.on) {
            r = _mm256_srli_epi16(_mm256_add_epi16(r4, two), 2);
            g = _mm256_srli_epi16(_mm256_add_epi16(g4, two), 2);
            b = _mm256_srli_epi16(_mm256_add_epi16(b4, two), 2);
        } else {
            const __m256i dr = _mm256_sub_epi16(r4, black), dg = _mm256_sub_epi16(g4, black);
            const __m256i db = _mm256_sub_epi16(b4, black);
            r = mixed16(mx, 0, dr, dg, db);
            g = mixed16(mx, 1, dr, dg, db);
            b = mixed16(mx, 2, dr, dg, db);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(ri + k), r);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(gi + k), g);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bi + k), b);
    }
    return k;
}

size_t unpack12(const uint8_t* data, size_t count, uint16_t* out) {
    // Per 128-bit half, twelve bytes (eight values): value 2p in bytes 3p and
    // 3p + 1 (its low 12 bits), value 2p + 1 in bytes 3p + 1 and 3p + 2 (its
    // top 12 bits). A half reads 16 bytes: the loop stops 4 values early.
    const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                                            0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11);
    const __m256i low12 = _mm256_set1_epi32(0x00000FFF);
    size_t i = 0;
    for (; i + 20 <= count; i += 16, data += 24) {
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 12)), 1);
        const __m256i pairs = _mm256_shuffle_epi8(bytes, spread);
        const __m256i v = _mm256_blend_epi16(_mm256_and_si256(pairs, low12), _mm256_srli_epi16(pairs, 4), 0xAA);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    }
    return i;
}

}  // namespace avx2
}  // namespace simcore

#else

namespace simcore {
namespace avx2 {
// Not built for AVX2 (another processor, or a compiler without the flag):
// never called.
bool built() { return false; }
int raw_row(const detail::RowJob&, uint16_t*, bool, float*) { return 0; }
int signal_f32(const float*, const int*, const int*, const float*, int, float*) { return 0; }
int luma_row(const uint16_t*, const uint16_t*, const int16_t* const*, int, uint16_t*) { return 0; }
int luma_cut_row(const uint16_t*, const uint16_t*, const int16_t* const*, int, bool, uint8_t*) { return 0; }
int cut_row(const uint16_t*, int, bool, uint8_t*) { return 0; }
int demosaic_row(bool, const uint16_t*, const uint16_t*, const uint16_t*, int, int, const detail::Mix&, uint16_t*,
                 uint16_t*, uint16_t*) {
    return 0;
}
size_t unpack12(const uint8_t*, size_t, uint16_t*) { return 0; }
}  // namespace avx2
}  // namespace simcore

#endif
