#include "stereo_header.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>

#include <gtest/gtest.h>

#include "byte_order.hpp"

namespace {

constexpr std::size_t CHANNEL1_NIBBLES = CHANNEL1_HEADER_OFFSET + NIBBLE_COUNT_OFFSET;

// An input header in which every byte differs from its neighbours, so a byte
// moved to the wrong place shows.
DspHeader patterned_header(std::uint32_t nibble_count, unsigned char seed)
{
    DspHeader header;
    for (std::size_t i = 0; i < header.size(); ++i) {
        header[i] = static_cast<unsigned char>(seed + 7 * i);
    }
    store_be32(nibble_count, &header[NIBBLE_COUNT_OFFSET]);
    return header;
}

TEST(StereoHeaderTemplate, PreambleHoldsTheStreamConstants)
{
    const unsigned char* t = stereo_header_template.data();
    EXPECT_EQ(std::memcmp(t, "Cstr", 4), 0);
    EXPECT_EQ(load_be16(t + 0x06), INTERLEAVE_BLOCK_SIZE);
    // The preamble repeats the second channel's sample count and rate, little-endian.
    const unsigned char* channel2 = t + CHANNEL2_HEADER_OFFSET;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(t[0x14 + i], channel2[3 - i]) << "sample count byte " << i;
    }
    EXPECT_EQ(t[0x18] | (t[0x19] << 8), 44100);
    const std::array<unsigned char, 8> rest = {0x00, 0x66, 0x1F, 0x57, 0x01, 0xFF, 0x40, 0x02};
    const std::array<unsigned char, 8> seen = {t[0x04], t[0x05], t[0x08], t[0x09],
                                               t[0x0A], t[0x10], t[0x1A], t[0x1B]};
    EXPECT_EQ(seen, rest);
    for (std::size_t offset : {0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x1C, 0x1D, 0x1E, 0x1F}) {
        EXPECT_EQ(t[offset], 0) << "offset " << offset;
    }
    EXPECT_EQ(load_be32(t + 0x10), 0xFFFFFFFFU);
}

TEST(StereoHeaderTemplate, SecondChannelHeaderHasItsFixedFields)
{
    const unsigned char* h = stereo_header_template.data() + CHANNEL2_HEADER_OFFSET;
    EXPECT_EQ(load_be32(h + 0), 6212608U);  // sample count
    EXPECT_EQ(load_be32(h + 4), 7165660U);  // nibble count
    EXPECT_EQ(load_be32(h + 8), 44100U);    // sample rate
    EXPECT_EQ(load_be32(h + 12), 0U);       // loop flag, format
    EXPECT_EQ(load_be32(h + 16), 2U);       // loop start
    EXPECT_EQ(load_be32(h + 20), 7100123U); // loop end
    EXPECT_EQ(load_be32(h + 24), 2U);       // current address
    const std::int16_t coefficients[16] = {-270, 686,  2460, -1344, 1441, -284, 3396, -1547,
                                           574,  1110, 3013, -1400, 1902, -28,  3528, -1533};
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(static_cast<std::int16_t>(load_be16(h + 28 + 2 * i)), coefficients[i]) << i;
    }
    EXPECT_EQ(load_be16(h + 60), 0);      // gain
    EXPECT_EQ(load_be16(h + 62), 0x0061); // initial predictor/scale
    for (std::size_t offset = 64; offset < 74; ++offset) {
        EXPECT_EQ(h[offset], 0) << "history and loop context, offset " << offset;
    }
    const std::array<unsigned char, 22> reserved = {0x3A, 0x00, 0x00, 0xDB, 0x40, 0x00, 0x64, 0xFF,
                                                    0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0xDE,
                                                    0x22, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(h + 74, reserved.data(), reserved.size()), 0);
}

struct DoublingCase {
    std::uint32_t nibble_count;
    std::uint32_t doubled;
};

void PrintTo(const DoublingCase& c, std::ostream* os)
{
    *os << "0x" << std::hex << c.nibble_count;
}

class NibbleCountDoubling : public testing::TestWithParam<DoublingCase> {};

TEST_P(NibbleCountDoubling, IsModulo2To32)
{
    StereoHeader stereo;
    build_stereo_header(patterned_header(GetParam().nibble_count, 3), stereo);
    EXPECT_EQ(load_be32(&stereo[CHANNEL1_NIBBLES]), GetParam().doubled);
}

INSTANTIATE_TEST_SUITE_P(Table, NibbleCountDoubling,
                         testing::Values(DoublingCase{0x00001000, 0x00002000},
                                         DoublingCase{0x80000000, 0x00000000},
                                         DoublingCase{0xFFFFFFFF, 0xFFFFFFFE},
                                         DoublingCase{0x7FFFFFFF, 0xFFFFFFFE},
                                         DoublingCase{0x00001FFF, 0x00003FFE},
                                         DoublingCase{0x00808080, 0x01010100}, DoublingCase{0, 0}));

TEST(BuildStereoHeader, CopiesTheInputHeaderAndKeepsEverythingElseFixed)
{
    for (const DspHeader& input : {patterned_header(0x1000, 1), patterned_header(0x12345678, 200),
                                   patterned_header(0xFFFFFFFF, 0x80)}) {
        StereoHeader stereo;
        stereo.fill(0xEE); // the builder must not depend on what the buffer held
        build_stereo_header(input, stereo);
        for (std::size_t i = 0; i < STEREO_HEADER_SIZE; ++i) {
            const bool channel1 = i >= CHANNEL1_HEADER_OFFSET && i < CHANNEL2_HEADER_OFFSET;
            const bool nibbles = i >= CHANNEL1_NIBBLES && i < CHANNEL1_NIBBLES + 4;
            if (!channel1) {
                EXPECT_EQ(stereo[i], stereo_header_template[i]) << "offset " << i;
            } else if (!nibbles) {
                EXPECT_EQ(stereo[i], input[i - CHANNEL1_HEADER_OFFSET]) << "offset " << i;
            }
        }
    }
}

TEST(BuildStereoHeader, AllZeroInputGivesTheTemplate)
{
    StereoHeader stereo;
    build_stereo_header(DspHeader{}, stereo);
    EXPECT_EQ(stereo, stereo_header_template);
    for (std::size_t i = CHANNEL1_HEADER_OFFSET; i < CHANNEL2_HEADER_OFFSET; ++i) {
        EXPECT_EQ(stereo_header_template[i], 0) << "offset " << i;
    }
}

} // namespace
