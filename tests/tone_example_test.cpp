// The bundled example must be real DSP ADPCM that decodes to its tone, and its
// stereo conversion must play that tone on both channels, as a stream player
// decodes it: each channel with the coefficients and history of its own
// header, for every sample that header announces.
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

// Decodes one channel's data with the context of its channel header.
std::vector<std::int16_t> decode_channel(const unsigned char* header,
                                         const std::vector<unsigned char>& data)
{
    AdpcmCoefficients coefficients;
    for (std::size_t i = 0; i < coefficients.size(); ++i) {
        coefficients[i] = static_cast<std::int16_t>(load_be16(header + 28 + 2 * i));
    }
    const auto history = [&](std::size_t offset) {
        return int{static_cast<std::int16_t>(load_be16(header + offset))};
    };
    return adpcm_decode(data.data(), data.size(), coefficients, history(64), history(66),
                        load_be32(header));
}

std::vector<std::int16_t> decode_mono(const std::vector<unsigned char>& file)
{
    return decode_channel(file.data(), {file.begin() + DSP_HEADER_SIZE, file.end()});
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
    const std::vector<std::int16_t> decoded = decode_mono(file);
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

// DSPSTEREO_CONVERTED_EXAMPLE is the example as the built program converted it
// (a test run before this one makes it).
TEST(ConvertedToneExample, BothChannelsDecodeToTheMonoSignalToItsLastSample)
{
    const std::vector<unsigned char> mono = read_file(DSPSTEREO_EXAMPLE);
    const std::vector<unsigned char> stereo = read_file(DSPSTEREO_CONVERTED_EXAMPLE);
    ASSERT_GE(mono.size(), DSP_HEADER_SIZE);
    ASSERT_GE(stereo.size(), STEREO_HEADER_SIZE) << DSPSTEREO_CONVERTED_EXAMPLE;
    const std::vector<std::int16_t> expected = decode_mono(mono);
    ASSERT_EQ(expected.size(), 110250U);

    // Channel c's data is the c-th block of every pair, one after another.
    std::vector<unsigned char> channel_data[2];
    for (std::size_t pair = STEREO_HEADER_SIZE; pair < stereo.size();
         pair += 2 * INTERLEAVE_BLOCK_SIZE) {
        for (std::size_t c = 0; c < 2; ++c) {
            const auto block =
                stereo.begin() + static_cast<std::ptrdiff_t>(pair + c * INTERLEAVE_BLOCK_SIZE);
            channel_data[c].insert(channel_data[c].end(), block, block + INTERLEAVE_BLOCK_SIZE);
        }
    }
    const std::size_t header_offsets[2] = {CHANNEL1_HEADER_OFFSET, CHANNEL2_HEADER_OFFSET};
    for (std::size_t c = 0; c < 2; ++c) {
        const unsigned char* header = stereo.data() + header_offsets[c];
        const std::vector<std::int16_t> decoded = decode_channel(header, channel_data[c]);
        // Channel 2's header keeps its fixed sample count: compare the samples
        // that channel 1 announces, which is the mono count.
        ASSERT_GE(decoded.size(), expected.size()) << "channel " << c + 1 << " ends early";
        std::size_t equal = 0;
        for (std::size_t n = 0; n < expected.size(); ++n) {
            equal += decoded[n] == expected[n];
        }
        EXPECT_EQ(equal, expected.size()) << "channel " << c + 1;
    }
}

} // namespace
