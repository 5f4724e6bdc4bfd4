// Big-endian field access on byte buffers.
//
// The DSP channel header stores its fields big-endian, whatever the host's
// byte order. These helpers read and write such fields one byte at a time, so
// they work on any address, aligned or not.
#pragma once

#include <cstdint>

// Returns the unsigned 32-bit value stored big-endian in bytes[0..3].
std::uint32_t load_be32(const unsigned char* bytes);

// Stores value big-endian into bytes[0..3].
void store_be32(std::uint32_t value, unsigned char* bytes);

// Returns the unsigned 16-bit value stored big-endian in bytes[0..1].
std::uint16_t load_be16(const unsigned char* bytes);

// Stores the low 16 bits of value big-endian into bytes[0..1].
void store_be16(std::uint32_t value, unsigned char* bytes);
