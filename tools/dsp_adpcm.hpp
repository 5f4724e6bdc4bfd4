// A small DSP ADPCM encoder and decoder, used to make the bundled example and
// to check that it decodes to what it should. Not part of the converter.
//
// DSP ADPCM data is a sequence of 8-byte frames. Each frame starts with a
// predictor/scale byte (high nibble: which of eight coefficient pairs, low
// nibble: the scale as a power of two) and holds 14 signed 4-bit samples.
// A sample decodes as
//   (nibble * scale * 2048 + 1024 + c1 * history1 + c2 * history2) >> 11
// clamped to 16 bits, where c1 and c2 are 4.11 fixed-point coefficients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr std::size_t ADPCM_SAMPLES_PER_FRAME = 14;
inline constexpr std::size_t ADPCM_BYTES_PER_FRAME = 8;

using AdpcmCoefficients = std::array<std::int16_t, 16>; // eight (c1, c2) pairs

struct AdpcmStream {
    AdpcmCoefficients coefficients;
    std::vector<unsigned char> data; // whole frames
};

// The number of nibbles that sample_count samples occupy, frame headers
// included, as a DSP header counts them.
std::uint32_t adpcm_nibble_count(std::size_t sample_count);

// Least-squares second-order predictor for the samples, in 4.11 fixed point.
std::array<std::int16_t, 2> adpcm_best_predictor(const std::vector<std::int16_t>& samples);

// Encodes the samples, trying every coefficient pair and scale for each frame
// and keeping the one that decodes closest to the input.
AdpcmStream adpcm_encode(const std::vector<std::int16_t>& samples,
                         const AdpcmCoefficients& coefficients);

// Decodes up to sample_count samples from data, starting with the history
// samples 1 (the latest) and 2 that a channel header gives. Fewer come back
// when the data ends first.
std::vector<std::int16_t> adpcm_decode(const unsigned char* data, std::size_t size,
                                       const AdpcmCoefficients& coefficients, int history1,
                                       int history2, std::size_t sample_count);
