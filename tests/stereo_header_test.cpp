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
    for (std::size_t offset : {0x0BU, 0x0CU, 0x0DU, 0x0EU, 0x0FU, 0x1CU, 0x1DU, 0x1EU, 0x1FU}) {
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

// What a nibble count gives: its double in the channel-1 header, and the
// sizes of the mono data, of the interleaved blocks and of the stereo file.
struct NibbleCountCase {
    std::uint32_t nibble_count;
    std::uint32_t doubled;
    std::uint64_t data_bytes;
    std::uint64_t blocks;
    std::uint64_t file_size;
};

void PrintTo(const NibbleCountCase& c, std::ostream* os)
{
    *os << "0x" << std::hex << c.nibble_count;
}

class NibbleCount : public testing::TestWithParam<NibbleCountCase> {};

TEST_P(NibbleCount, IsDoubledModulo2To32)
{
    StereoHeader stereo;
    build_stereo_header(patterned_header(GetParam().nibble_count, 3), stereo);
    EXPECT_EQ(load_be32(&stereo[CHANNEL1_NIBBLES]), GetParam().doubled);
}

TEST_P(NibbleCount, GivesTheSizes)
{
    const NibbleCountCase& c = GetParam();
    EXPECT_EQ(mono_data_size(c.nibble_count), c.data_bytes);
    EXPECT_EQ(interleave_block_count(c.nibble_count), c.blocks);
    EXPECT_EQ(stereo_file_size(c.nibble_count), c.file_size);
}

// The largest count that the converter takes, 2^31 - 1, needs a 2 GiB output:
// its size must not wrap in 32 bits. Counts of 2^31 and more wrap when doubled.
INSTANTIATE_TEST_SUITE_P(
    Table, NibbleCount,
    testing::Values(NibbleCountCase{0, 0, 0, 0, 224}, NibbleCountCase{1, 2, 1, 1, 4320},
                    NibbleCountCase{0x00000FFF, 0x00001FFE, 2048, 1, 4320},
                    NibbleCountCase{0x00001000, 0x00002000, 2048, 1, 4320},
                    NibbleCountCase{0x00001001, 0x00002002, 2049, 2, 8416},
                    NibbleCountCase{0x00001FFF, 0x00003FFE, 4096, 2, 8416},
                    NibbleCountCase{0x00002001, 0x00004002, 4097, 3, 12512},
                    NibbleCountCase{126000, 252000, 63000, 31, 127200},
                    NibbleCountCase{0x00808080, 0x01010100, 0x404040, 0x809, 224 + 4096 * 0x809},
                    NibbleCountCase{0x7FFFFFFF, 0xFFFFFFFE, 0x40000000, 524288, 2147483872},
                    NibbleCountCase{0x80000000, 0x00000000, 0x40000000, 524288, 2147483872},
                    NibbleCountCase{0xFFFFFFFF, 0xFFFFFFFE, 0x80000000, 1048576, 4294967520}));

bool in_channel1(std::size_t offset)
{
    return offset >= CHANNEL1_HEADER_OFFSET && offset < CHANNEL2_HEADER_OFFSET;
}

bool in_channel2_context(std::size_t offset)
{
    return offset >= CHANNEL2_HEADER_OFFSET + DECODER_CONTEXT_OFFSET &&
           offset < CHANNEL2_HEADER_OFFSET + DECODER_CONTEXT_OFFSET + DECODER_CONTEXT_SIZE;
}

TEST(BuildStereoHeader, CopiesTheInputHeaderAndItsDecoderContextAndKeepsTheRestFixed)
{
    // The decoder context is 0x9C to 0xC9 of the stereo header.
    EXPECT_TRUE(in_channel2_context(0x9C) && in_channel2_context(0xC9));
    EXPECT_FALSE(in_channel2_context(0x9B) || in_channel2_context(0xCA));
    for (const DspHeader& input : {patterned_header(0x1000, 1), patterned_header(0x12345678, 200),
                                   patterned_header(0xFFFFFFFF, 0x80)}) {
        StereoHeader stereo;
        stereo.fill(0xEE); // the builder must not depend on what the buffer held
        build_stereo_header(input, stereo);
        for (std::size_t i = 0; i < STEREO_HEADER_SIZE; ++i) {
            const bool nibbles = i >= CHANNEL1_NIBBLES && i < CHANNEL1_NIBBLES + 4;
            if (in_channel1(i) && !nibbles) {
                EXPECT_EQ(stereo[i], input[i - CHANNEL1_HEADER_OFFSET]) << "offset " << i;
            } else if (in_channel2_context(i)) {
                EXPECT_EQ(stereo[i], input[i - CHANNEL2_HEADER_OFFSET]) << "offset " << i;
            } else if (!nibbles) {
                EXPECT_EQ(stereo[i], stereo_header_template[i]) << "offset " << i;
            }
        }
    }
}

TEST(BuildStereoHeader, AllZeroInputGivesTheTemplateWithAZeroDecoderContext)
{
    StereoHeader stereo;
    build_stereo_header(DspHeader{}, stereo);
    for (std::size_t i = 0; i < STEREO_HEADER_SIZE; ++i) {
        const bool zero = in_channel1(i) || in_channel2_context(i);
        EXPECT_EQ(stereo[i], zero ? 0 : stereo_header_template[i]) << "offset " << i;
    }
    for (std::size_t i = CHANNEL1_HEADER_OFFSET; i < CHANNEL2_HEADER_OFFSET; ++i) {
        EXPECT_EQ(stereo_header_template[i], 0) << "offset " << i;
    }
}

} // namespace
