// The simulated acA2040-55uc's pixel path: light on the sensor to the bytes of
// a frame. Plain buffers and numbers only; nothing here sees a Python object
// (binding.cpp is the one file that does), and nothing here takes a lock or
// keeps state between calls except the table of normal deviates, made once.
//
// Per sensor pixel (x, y) of the ROI, in sensor coordinates:
//   light   the scene's linear value at (x, y): the light image fitted to the
//           sensor (covering it, aspect kept, centred, cropped; nearest
//           sample), its channel of the filter colour over (x, y) (the
//           sensor's filter is RG from its top-left pixel), or its only one;
//   signal  light x electrons[colour] x (1 + prnu x P) + dark_mean + dsnu x D,
//           P and D fixed normal patterns of the camera (its seed);
//   shot    below 24 electrons a draw from Poisson's distribution of mean
//           signal (the draw of the grid mean below it, 1/16 electron apart,
//           from its tabulated distribution function at a uniform deviate
//           U1, plus the draw of the rest at U2: exact); from 24 on,
//           signal + sqrt(signal) x Z1 (the normal approximation); clipped
//           to 0 .. saturation (the well);
//   read    + dark_noise x Z2;
//   raw     electrons x gain[colour] (K x analog gain x balance ratio) + black,
//           rounded and clipped to 0 .. 4095 (12-bit ADC; at black 0 the dark
//           noise clips at zero);
// then the format: Bayer formats take the raw values; Mono8, RGB8, BGR8 and
// YCbCr422_8 demosaic the raw mosaic (bilinear), apply the colour matrix
// (RGB, BGR, YCbCr) around the black level, Mono8 its luma; every format then
// goes through `process` (the LUT, gammas, digital shift and the cut to the
// format's bits, as a 4096-entry table) and is written in image order
// (ReverseX/ReverseY mirror the ROI). Z1, Z2, P and D are read from one table
// of normal deviates, U1 and U2 from one of uniform deviates, at per-row
// offsets that a counter-based hash of (seed, frame number, row) selects (P
// and D: of seed and row), so the loops over a row vectorise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simcore {

constexpr int kSensorWidth = 2064;
constexpr int kSensorHeight = 1544;
constexpr int kFull = 4095;

enum class Sample { U8, U16, F32 };
enum class Format { Mono8, Bayer8, Bayer12, Bayer12p, RGB8, BGR8, YCbCr422 };

struct Light {
    const void* data = nullptr;  // height x width x channels samples, C order
    int height = 0, width = 0, channels = 0;  // channels: 1 or 3 (red, green, blue)
    Sample sample = Sample::F32;  // U8: sRGB-encoded; U16: linear / 65535; F32: linear
};

struct Roi {
    int width = 0, height = 0, offset_x = 0, offset_y = 0;
    bool reverse_x = false, reverse_y = false;
};

struct Frame {
    Light light;
    Roi roi;
    Format format = Format::Mono8;
    float electrons[3] = {0, 0, 0};  // mean photo-electrons of linear 1.0, per filter colour
    float dark_mean = 0;             // mean dark electrons of the exposure
    float dark_noise = 0;            // read noise, electrons
    float saturation = 0;            // electrons
    float dsnu = 0;                  // electrons
    float prnu = 0;                  // fraction
    float gain[3] = {0, 0, 0};       // DN (12 bit) per electron, per filter colour
    float black = 0;                 // DN (12 bit)
    bool matrix_on = false;
    float matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // output rgb = matrix x balanced rgb
    const uint16_t* process = nullptr;  // 4096 entries: the format's value of each raw value
    uint64_t seed = 0;                  // the camera's
    uint64_t number = 0;                // the frame's number since power-up
    bool noise = true;                  // false: the expected values (no temporal noise)
};

// The loops a render runs, slowest first: plain C++, SSE2 (every x86-64
// build), AVX2 (x86-64 processors that have it). Every path gives the same
// bytes.
enum class Simd { None = 0, Sse2 = 1, Avx2 = 2 };
// The fastest path this build has on this processor.
Simd simd_best();
// The path renders use now (a render keeps the one it started with).
Simd simd();
// Uses `path`, or the fastest one below it that this machine has; returns
// the path now used.
Simd use_simd(Simd path);

// Makes the tables every render reads (once a process; later calls return at
// once), so that the first frame costs no more than the next.
void prepare();

// Bytes of image data of a format at width x height.
size_t payload_size(Format format, int width, int height);
// 12 for the Bayer 12 formats, else 8.
int format_bits(Format format);

// What a frame's numbers must satisfy, or nullptr when they do: a text for the
// caller's ValueError.
const char* check(const Frame& frame);

// Renders frame `f` (checked) into `out` (payload_size bytes). False when
// work memory could not be had (nothing written then).
bool render(const Frame& f, uint8_t* out);

// The mean raw value (12 bit, before the digital processing; noise-free) of
// the red, green and blue sites over the sensor area x, y, width, height,
// from pairs of rows and columns `step` apart.
void measure(const Frame& f, int x, int y, int width, int height, int step, double means[3]);

// A test image: out = table[index] for each pixel, index = (x + y + step) mod
// modulo (power of two) in image coordinates; with `bayer_red` >= 0 (red site
// parity x | y << 1 of the image), + 256 per filter step (0 red, 1 green, 2
// blue); with `parity`, index x 2 + (x & 1). Entries of `entry` bytes (1, 2
// or 3); `pack12`: the 2-byte entries packed as 12p.
struct TestImage {
    const uint8_t* table = nullptr;
    size_t entries = 0;
    int entry = 1;
    int width = 0, height = 0;
    uint32_t step = 0, modulo = 256;
    int bayer_red = -1;
    bool parity = false, pack12 = false;
};
// Whether the indexes stay inside the table; then fills `out` (width x height
// x entry bytes, or the 12p size).
bool test_image_fits(const TestImage& t);
void test_image(const TestImage& t, uint8_t* out);

// Packs count 12-bit values as 12p (two in three bytes, lsb first).
void pack12(const uint16_t* values, size_t count, uint8_t* out);
// Unpacks 12p data into count values.
void unpack12(const uint8_t* data, size_t count, uint16_t* out);

}  // namespace simcore
