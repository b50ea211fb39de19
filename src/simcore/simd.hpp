// What the pixel path's plain, SSE2 and AVX2 loops share: the tables'
// layout, one raw row's inputs, and the AVX2 loops (avx2.cpp, the one file
// compiled for AVX2). Which loops run is chosen at run time (core.hpp's
// Simd); every path does the same operations in the same order, so a frame's
// bytes are the same on each. Nothing here has code of external linkage that
// avx2.cpp could compile for AVX2 and the linker hand to the other paths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simcore/core.hpp"

// SSE2: the baseline of every x86-64 build (and of MSVC's x64 target);
// TAVROCAM_NO_SIMD builds the plain loops alone (the reference they are
// checked against).
#if defined(TAVROCAM_NO_SIMD)
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TAVROCAM_SSE2 1
#include <emmintrin.h>
#endif
#if defined(_MSC_VER)
#define TAVROCAM_NOINLINE __declspec(noinline)
#else
#define TAVROCAM_NOINLINE __attribute__((noinline))
#endif

namespace simcore {
namespace detail {

// The table of normal deviates: kTable values, read from kTable + kPad so a
// row (at most the sensor's width) starting anywhere in the first kTable fits.
constexpr size_t kTable = size_t{1} << 18;
constexpr size_t kPad = 4096;
// A uniform deviate's exponential one, kExponential places on.
constexpr size_t kExponential = kTable + kPad;

// Below this mean (electrons), a pixel's photo and dark electrons are drawn
// from Poisson's distribution itself; from it on, the normal approximation.
constexpr float kPoissonBelow = 24.0f;

// exp(-r) for 0 <= r <= 1/8 as every path computes it: p = r x c[0], then
// p = r x (c[n] - p) for n = 1 .. 5, exp(-r) = 1 - p (its series to r^6,
// error under 1e-10; the same operations in the same order on every path).
constexpr float kExpSeries[6] = {1.0f / 720, 1.0f / 120, 1.0f / 24, 1.0f / 6, 0.5f, 1.0f};

// Electrons a pixel can be asked to hold before its well clips them: keeps
// an infinite light finite.
constexpr float kMostElectrons = 1e9f;

// Poisson's distribution function at the means of a grid (kGrid an
// electron), with a guide to where each 1/kGuide of it starts: a draw of
// mean m is the draw of the grid's mean below m (found from the guide in a
// step or two) plus a draw of the rest (under 1/kGrid: mostly 0, found by
// adding the terms), each at its own uniform deviate. The sum of two Poisson
// draws is Poisson's of the sum of their means, so this is exact.
constexpr int kGrid = 16;
constexpr int kGridMeans = static_cast<int>(kPoissonBelow) * kGrid + 1;
constexpr int kCdfLength = 64;  // at a mean of 24, P(n >= 63) < 1e-10: the last entry is 1
constexpr int kGuide = 256;
constexpr int kRestMost = 8;
// A finer guide for the vector code: the draw itself where all of a cell
// draws the same (no value of the distribution function in it), else the
// guide's start with kUnsure set.
constexpr int kFineBits = 13;
constexpr int kFine = 1 << kFineBits;
constexpr uint8_t kUnsure = 0x80;

struct PoissonTable {
    float cdf[kGridMeans][kCdfLength];
    uint8_t guide[kGridMeans][kGuide];
    uint8_t fine[kGridMeans][kFine];
    float inverse[kRestMost + 1];
};

// One raw row's inputs (Sensor::row): per site its mean photo-electrons, its
// fixed patterns' deviates, its temporal deviates and its gain; the frame's
// numbers; the Poisson table.
struct RowJob {
    const float* sig;
    const float* prnu_p;
    const float* dsnu_p;
    const float* shot;
    const float* read;
    const float* uniform;
    const float* uniform2;
    const float* gain;
    float prnu, dsnu, dark, sat, noise, black, below;
    const PoissonTable* table;
    int w;
};

// The colour matrix and the black level it works around, in fixed point:
// the matrix in 1/2^shift (shift 12 unless an entry needs fewer bits), the
// black level in quarters of a raw count.
struct Mix {
    bool on = false;
    int16_t q[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    int shift = 12;
    int32_t black4 = 0;
    int32_t add = 0;  // the black level and a half, at the products' scale
};

}  // namespace detail

// The AVX2 loops, each returning how many of the row's sites it did (a
// multiple of 8 or 16; the caller's SSE2 and plain loops do the rest).
// Without AVX2 in the build, built() is false and none is called.
namespace avx2 {
bool built();
// The raw row of job (Sensor::row); `dim`: the dark sites drawn as they come,
// else left to the caller; *low: the least mean of the sites done.
int raw_row(const detail::RowJob& job, uint16_t* raw, bool dim, float* low);
// sig[k] = light[index[k]] x coef[k] (float light); window[k / 8]: the
// least index of sites k .. k + 7 when all lie within eight, else -1.
int signal_f32(const float* light, const int* index, const int* window, const float* coef, int w, float* sig);
// Mono8's luma of a row (render_mono).
int luma_row(const uint16_t* mid, const uint16_t* down, const int16_t* const* weight, int w, uint16_t* luma);
// luma_row then its 8-bit values (the top 8 of 12) into `out`, mirrored
// with `reverse`.
int luma_cut_row(const uint16_t* mid, const uint16_t* down, const int16_t* const* weight, int w, bool reverse,
                 uint8_t* out);
// 8-bit values (the top 8 of 12), mirrored with `reverse` (cut_sse2).
int cut_row(const uint16_t* v, int w, bool reverse, uint8_t* out);
// The bilinear demosaic and colour matrix of a row (demosaic_sse2).
int demosaic_row(bool red_row, const uint16_t* up, const uint16_t* mid, const uint16_t* down, int w,
                 int offset_x, const detail::Mix& mx, uint16_t* ri, uint16_t* gi, uint16_t* bi);
// 12p values, of `count` (returns the values done; their bytes are 3/2 as many).
size_t unpack12(const uint8_t* data, size_t count, uint16_t* out);
}  // namespace avx2

}  // namespace simcore
