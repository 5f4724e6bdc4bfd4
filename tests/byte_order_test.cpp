#include "byte_order.hpp"

#include <array>
#include <cstdint>
#include <ostream>

#include <gtest/gtest.h>

namespace {

struct Be32Case {
    std::array<unsigned char, 4> bytes;
    std::uint32_t value;
};

struct Be16Case {
    std::array<unsigned char, 2> bytes;
    std::uint16_t value;
};

void PrintTo(const Be32Case& c, std::ostream* os)
{
    *os << "0x" << std::hex << c.value;
}

void PrintTo(const Be16Case& c, std::ostream* os)
{
    *os << "0x" << std::hex << c.value;
}

class Be32 : public testing::TestWithParam<Be32Case> {};
class Be16 : public testing::TestWithParam<Be16Case> {};

// Every offset within a buffer, so unaligned addresses are covered too.
constexpr std::size_t OFFSETS = 8;

TEST_P(Be32, LoadsAtAnyAddress)
{
    const Be32Case& c = GetParam();
    for (std::size_t offset = 0; offset < OFFSETS; ++offset) {
        std::array<unsigned char, OFFSETS + 4> buffer{};
        std::copy(c.bytes.begin(), c.bytes.end(), buffer.begin() + offset);
        EXPECT_EQ(load_be32(&buffer[offset]), c.value) << "offset " << offset;
    }
}

TEST_P(Be32, StoresAtAnyAddressWithoutTouchingNeighbours)
{
    const Be32Case& c = GetParam();
    for (std::size_t offset = 0; offset < OFFSETS; ++offset) {
        std::array<unsigned char, OFFSETS + 4> buffer;
        buffer.fill(0xA5);
        store_be32(c.value, &buffer[offset]);
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            const bool inside = i >= offset && i < offset + 4;
            EXPECT_EQ(buffer[i], inside ? c.bytes[i - offset] : 0xA5) << "offset " << offset;
        }
    }
}

TEST_P(Be16, LoadsAndStores)
{
    const Be16Case& c = GetParam();
    for (std::size_t offset = 0; offset < OFFSETS; ++offset) {
        std::array<unsigned char, OFFSETS + 2> buffer;
        buffer.fill(0x5A);
        store_be16(c.value, &buffer[offset]);
        EXPECT_EQ(buffer[offset], c.bytes[0]);
        EXPECT_EQ(buffer[offset + 1], c.bytes[1]);
        EXPECT_EQ(load_be16(&buffer[offset]), c.value);
        if (offset > 0) {
            EXPECT_EQ(buffer[offset - 1], 0x5A);
        }
        EXPECT_EQ(buffer[offset + 2], 0x5A);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Be32,
                         testing::Values(Be32Case{{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFU},
                                         Be32Case{{0x00, 0x00, 0x10, 0x00}, 4096U},
                                         Be32Case{{0x00, 0x6D, 0x56, 0xDC}, 0x006D56DCU},
                                         Be32Case{{0x80, 0x00, 0x00, 0x00}, 0x80000000U},
                                         Be32Case{{0x00, 0x00, 0x00, 0x80}, 0x00000080U},
                                         Be32Case{{0x12, 0x34, 0x56, 0x78}, 0x12345678U},
                                         Be32Case{{0x00, 0x00, 0x00, 0x00}, 0U}));

INSTANTIATE_TEST_SUITE_P(Table, Be16,
                         testing::Values(Be16Case{{0x80, 0x01}, 32769},
                                         Be16Case{{0xFF, 0xFF}, 65535}, Be16Case{{0x00, 0x80}, 128},
                                         Be16Case{{0x12, 0x34}, 0x1234},
                                         Be16Case{{0x00, 0x00}, 0}));

TEST(Be16Store, KeepsOnlyTheLow16Bits)
{
    for (const auto& [value, high, low] : {std::array<std::uint32_t, 3>{0x12345, 0x23, 0x45},
                                           {0xFFFF0001, 0x00, 0x01},
                                           {0x10000, 0x00, 0x00}}) {
        std::array<unsigned char, 3> buffer{0, 0, 0x77};
        store_be16(value, buffer.data());
        EXPECT_EQ(buffer[0], high) << std::hex << value;
        EXPECT_EQ(buffer[1], low) << std::hex << value;
        EXPECT_EQ(buffer[2], 0x77);
    }
}

} // namespace
