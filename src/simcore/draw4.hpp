// The SSE2 Poisson draws of four sites (core.cpp's; avx2.cpp has their
// eight-lane twins, the same operations in the same order).
#pragma once

#include "simcore/simd.hpp"

#if defined(TAVROCAM_SSE2)
namespace simcore {
namespace detail {
namespace {

// exp_small of four values, the same operations in the same order.
inline __m128 exp_small4(__m128 r) {
    __m128 p = _mm_mul_ps(r, _mm_set1_ps(kExpSeries[0]));
    for (int n = 1; n < 6; ++n) p = _mm_mul_ps(r, _mm_sub_ps(_mm_set1_ps(kExpSeries[n]), p));
    return _mm_sub_ps(_mm_set1_ps(1.0f), p);
}

// For four means (numbers >= 0): the draws of the rest above the grid at
// uniform deviates v (`ev` their exponential ones), as `poisson` computes
// them, and each mean's grid index j (kGridMeans - 1 from kPoissonBelow on).
inline __m128 rest4(const PoissonTable& t, __m128 m, __m128 v, __m128 ev, __m128i* grid) {
    const __m128 below = _mm_set1_ps(kPoissonBelow);
    const __m128i j = _mm_cvttps_epi32(_mm_mul_ps(_mm_min_ps(m, below), _mm_set1_ps(static_cast<float>(kGrid))));
    *grid = j;
    __m128 rest = _mm_sub_ps(m, _mm_mul_ps(_mm_cvtepi32_ps(j), _mm_set1_ps(1.0f / kGrid)));
    rest = _mm_min_ps(_mm_max_ps(rest, _mm_setzero_ps()), _mm_set1_ps(1.0f / kGrid));
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 drawn = _mm_cmplt_ps(ev, rest);  // 1 or more, without a branch
    const __m128 k1 = _mm_and_ps(drawn, one);
    // two_or_more: rare, so a branch, on its cheap bound first (a long chain
    // of operations would hold up the loop).
    const __m128 r = rest;
    const __m128 maybe = _mm_and_ps(drawn, _mm_cmplt_ps(ev, _mm_mul_ps(_mm_set1_ps(0.5f), _mm_mul_ps(r, r))));
    if (_mm_movemask_ps(maybe) == 0) return k1;
    const float c[6] = {1.0f / 7, 1.0f / 6, 0.2f, 0.25f, 1.0f / 3, 0.5f};
    __m128 q = _mm_mul_ps(r, _mm_set1_ps(c[0]));
    for (int n = 1; n < 6; ++n) q = _mm_mul_ps(r, _mm_sub_ps(_mm_set1_ps(c[n]), q));
    q = _mm_mul_ps(r, q);  // two_or_more's operations in its order
    const __m128 more = _mm_and_ps(maybe, _mm_cmplt_ps(ev, q));
    if (_mm_movemask_ps(more) == 0) return k1;
    __m128 k = _mm_setzero_ps();
    __m128 p = exp_small4(rest), sum = p;
    __m128 active = _mm_and_ps(more, _mm_cmpgt_ps(v, sum));
    for (int n = 1; n <= kRestMost && _mm_movemask_ps(active) != 0; ++n) {
        p = _mm_mul_ps(_mm_mul_ps(p, rest), _mm_set1_ps(t.inverse[n]));
        sum = _mm_add_ps(sum, p);
        k = _mm_add_ps(k, _mm_and_ps(active, one));
        active = _mm_and_ps(active, _mm_cmpgt_ps(v, sum));
    }
    return _mm_or_ps(_mm_and_ps(more, k), _mm_andnot_ps(more, k1));
}

// Four sites' electrons `e` with the dark ones' (the mask) drawn from
// Poisson's distribution of their means m at the uniform deviates u and v:
// out of the hot loop.
inline __m128 draw4(const PoissonTable& t, __m128 m, __m128 e, __m128 dark, const float* u, const float* v) {
    alignas(16) int32_t guide[4], cdf[4];
    __m128i j;
    __m128 rest = rest4(t, m, _mm_loadu_ps(v), _mm_loadu_ps(v + kExponential), &j);
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(j, _mm_setzero_si128())) != 0) {  // the grid's mean 0 draws 0
        // The fine guide's cells (grid_draw's answer: the least n with
        // u <= cdf[n] is one number, however found).
        const __m128i g = _mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(u), _mm_set1_ps(static_cast<float>(kFine))));
        _mm_store_si128(reinterpret_cast<__m128i*>(guide), _mm_add_epi32(_mm_slli_epi32(j, kFineBits), g));
        const uint8_t* fines = &t.fine[0][0];
        int n0 = fines[guide[0]], n1 = fines[guide[1]], n2 = fines[guide[2]], n3 = fines[guide[3]];
        if (((n0 | n1 | n2 | n3) & kUnsure) != 0) {  // rare: a step or two on
            _mm_store_si128(reinterpret_cast<__m128i*>(cdf), j);
            auto resolve = [&](int l, int n) {
                if ((n & kUnsure) == 0) return n;
                const float* c = t.cdf[cdf[l]];
                n &= ~kUnsure;
                while (u[l] > c[n]) ++n;
                return n;
            };
            n0 = resolve(0, n0);
            n1 = resolve(1, n1);
            n2 = resolve(2, n2);
            n3 = resolve(3, n3);
        }
        // Joined in registers: four stores read back as one vector would stall.
        rest = _mm_add_ps(rest, _mm_cvtepi32_ps(_mm_set_epi32(n3, n2, n1, n0)));
    }
    return _mm_or_ps(_mm_and_ps(dark, rest), _mm_andnot_ps(dark, e));
}

}  // namespace
}  // namespace detail
}  // namespace simcore
#endif
