// Writes a mono DSP ADPCM file of a sine tone: by default the bundled example,
// 440 Hz at 44100 Hz for 110250 samples (2.5 s), at half of full scale.
//
//   make_tone OUTPUT.dsp
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "byte_order.hpp"
#include "dsp_adpcm.hpp"
#include "stereo_header.hpp"

namespace {

constexpr double TONE_FREQUENCY = 440.0;
constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::size_t SAMPLE_COUNT = 110250;
constexpr double AMPLITUDE = 0.5 * 32767;

// Seven general-purpose predictors; the eighth pair is fitted to the signal.
constexpr std::int16_t FIXED_COEFFICIENTS[14] = {
    0, 0, 2048, 0, 4096, -2048, 3072, -1024, 1024, 0, 3584, -1536, 1536, 512,
};

std::vector<std::int16_t> sine_samples()
{
    std::vector<std::int16_t> samples(SAMPLE_COUNT);
    for (std::size_t n = 0; n < SAMPLE_COUNT; ++n) {
        const double phase = 2 * std::numbers::pi * TONE_FREQUENCY * double(n) / SAMPLE_RATE;
        samples[n] = static_cast<std::int16_t>(std::lround(AMPLITUDE * std::sin(phase)));
    }
    return samples;
}

DspHeader dsp_header_for(const AdpcmStream& stream, std::size_t sample_count)
{
    DspHeader header{};
    const std::uint32_t nibbles = adpcm_nibble_count(sample_count);
    store_be32(static_cast<std::uint32_t>(sample_count), &header[0]);
    store_be32(nibbles, &header[4]);
    store_be32(SAMPLE_RATE, &header[8]);
    // 12: no loop, 14: format 0 (ADPCM)
    store_be32(2, &header[16]);           // loop start: the first sample's nibble
    store_be32(nibbles - 1, &header[20]); // loop end: the last sample's nibble
    store_be32(2, &header[24]);           // current address
    for (std::size_t i = 0; i < stream.coefficients.size(); ++i) {
        store_be16(static_cast<std::uint16_t>(stream.coefficients[i]), &header[28 + 2 * i]);
    }
    // 60: gain 0; 62: the first frame's predictor/scale; history and loop
    // context stay zero.
    store_be16(stream.data.empty() ? 0 : stream.data[0], &header[62]);
    return header;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::printf("usage: %s OUTPUT.dsp\n", argc > 0 ? argv[0] : "make_tone");
        return 1;
    }
    const std::vector<std::int16_t> samples = sine_samples();
    AdpcmCoefficients coefficients{};
    std::copy(std::begin(FIXED_COEFFICIENTS), std::end(FIXED_COEFFICIENTS), coefficients.begin());
    const std::array<std::int16_t, 2> fitted = adpcm_best_predictor(samples);
    coefficients[14] = fitted[0];
    coefficients[15] = fitted[1];

    const AdpcmStream stream = adpcm_encode(samples, coefficients);
    const DspHeader header = dsp_header_for(stream, samples.size());

    std::FILE* output = std::fopen(argv[1], "wb");
    if (output == nullptr) {
        std::printf("error opening %s\n", argv[1]);
        return 1;
    }
    const bool written =
        std::fwrite(header.data(), 1, header.size(), output) == header.size() &&
        std::fwrite(stream.data.data(), 1, stream.data.size(), output) == stream.data.size() &&
        std::fflush(output) == 0 && !std::ferror(output);
    if (std::fclose(output) != 0 || !written) {
        std::printf("error writing %s\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
