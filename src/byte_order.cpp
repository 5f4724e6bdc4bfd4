#include "byte_order.hpp"

std::uint32_t load_be32(const unsigned char* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void store_be32(std::uint32_t value, unsigned char* bytes)
{
    bytes[0] = static_cast<unsigned char>((value >> 24) & 0xFFU);
    bytes[1] = static_cast<unsigned char>((value >> 16) & 0xFFU);
    bytes[2] = static_cast<unsigned char>((value >> 8) & 0xFFU);
    bytes[3] = static_cast<unsigned char>(value & 0xFFU);
}

std::uint16_t load_be16(const unsigned char* bytes)
{
    return static_cast<std::uint16_t>((unsigned{bytes[0]} << 8) | unsigned{bytes[1]});
}

void store_be16(std::uint32_t value, unsigned char* bytes)
{
    bytes[0] = static_cast<unsigned char>((value >> 8) & 0xFFU);
    bytes[1] = static_cast<unsigned char>(value & 0xFFU);
}
