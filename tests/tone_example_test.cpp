// The bundled example must be real DSP ADPCM that decodes to its tone.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "byte_order.hpp"
#include "dsp_adpcm.hpp"
#include "stereo_header.hpp"

namespace {

std::vector<unsigned char> read_file(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(ToneExample, HeaderDescribesTheData)
{
    const std::vector<unsigned char> file = read_file(DSPSTEREO_EXAMPLE);
    ASSERT_GE(file.size(), DSP_HEADER_SIZE);
    const unsigned char* h = file.data();
    EXPECT_EQ(load_be32(h + 0), 110250U); // samples
    EXPECT_EQ(load_be32(h + 4), 126000U); // 7875 frames of 16 nibbles
    EXPECT_EQ(load_be32(h + 8), 44100U);
    EXPECT_EQ(load_be16(h + 62), file[DSP_HEADER_SIZE]); // first frame's predictor/scale
    EXPECT_EQ(file.size(), DSP_HEADER_SIZE + 126000 / 2);
}

TEST(ToneExample, DecodesToA440HzSineAtHalfScale)
{
    const std::vector<unsigned char> file = read_file(DSPSTEREO_EXAMPLE);
    ASSERT_GE(file.size(), DSP_HEADER_SIZE);
    AdpcmCoefficients coefficients;
    for (std::size_t i = 0; i < coefficients.size(); ++i) {
        coefficients[i] = static_cast<std::int16_t>(load_be16(&file[28 + 2 * i]));
    }
    const std::vector<std::int16_t> decoded =
        adpcm_decode(file.data() + DSP_HEADER_SIZE, file.size() - DSP_HEADER_SIZE, coefficients,
                     load_be32(file.data()));
    ASSERT_EQ(decoded.size(), 110250U);

    double signal = 0, noise = 0;
    int peak = 0;
    for (std::size_t n = 0; n < decoded.size(); ++n) {
        const double ideal =
            0.5 * 32767 * std::sin(2 * std::numbers::pi * 440.0 * double(n) / 44100);
        signal += ideal * ideal;
        noise += (decoded[n] - ideal) * (decoded[n] - ideal);
        peak = std::max(peak, std::abs(int{decoded[n]}));
    }
    const double snr_db = 10 * std::log10(signal / noise);
    EXPECT_GT(snr_db, 60.0); // about 84 dB as made
    EXPECT_NEAR(peak, 16384, 500);
}

} // namespace
