// The two file formats of the converter.
//
// Input, a mono DSP file: one 96-byte big-endian channel header (DspHeader),
// then the channel's 4-bit ADPCM data, two nibbles to a byte.
//
//   offset  size  field
//        0     4  sample count
//        4     4  nibble count (nibbles of sample data)
//        8     4  sample rate in Hz
//       12     2  loop flag
//       14     2  format
//       16     4  loop start (nibble address)
//       20     4  loop end (nibble address)
//       24     4  current address (nibble address)
//       28    32  sixteen signed 16-bit decoder coefficients
//       60     2  gain
//       62     2  initial predictor/scale
//       64     4  history samples 1 and 2
//       68     2  loop predictor/scale
//       70     4  loop history samples 1 and 2
//       74    22  reserved
//
// Output, a two-channel "Cstr" stream file: a 224-byte header (StereoHeader)
//
//   0x00   32  fixed preamble, beginning with "Cstr"
//   0x20   96  channel 1: the input's header, its nibble count doubled
//   0x80   96  channel 2: fixed fields, with the input's decoder context
//               (bytes 28 to 73 of its header) at 0x9C to 0xC9
//
// followed by pairs of 2048-byte blocks: block i of the mono data, once for
// channel 1 and once again for channel 2. The mono data is the first
// ceil(nibble count / 2) bytes after the input's header; its last block is
// padded with zero bytes to 2048.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t DSP_HEADER_SIZE = 96;
inline constexpr std::size_t STEREO_HEADER_SIZE = 224;
inline constexpr std::size_t INTERLEAVE_BLOCK_SIZE = 2048;

// Offset of the nibble count within a DspHeader.
inline constexpr std::size_t NIBBLE_COUNT_OFFSET = 4;
// The decoder context within a DspHeader: the sixteen coefficients, gain,
// initial predictor/scale, history samples, loop predictor/scale and loop
// history samples. A player decodes each channel with its own header's.
inline constexpr std::size_t DECODER_CONTEXT_OFFSET = 28;
inline constexpr std::size_t DECODER_CONTEXT_SIZE = 46;
// Offsets of the two channel headers within a StereoHeader.
inline constexpr std::size_t CHANNEL1_HEADER_OFFSET = 0x20;
inline constexpr std::size_t CHANNEL2_HEADER_OFFSET = 0x80;
// One block holds 4096 nibbles, two to a byte.
inline constexpr std::uint64_t NIBBLES_PER_BLOCK = 2 * INTERLEAVE_BLOCK_SIZE;

using DspHeader = std::array<unsigned char, DSP_HEADER_SIZE>;
using StereoHeader = std::array<unsigned char, STEREO_HEADER_SIZE>;

// The constant bytes of every stereo header. Bytes 0x20 to 0x7F are zero here
// and are always replaced by the input's channel header.
extern const StereoHeader stereo_header_template;

// Fills stereo_header for a mono file whose channel header is dsp_header: the
// template, with dsp_header at 0x20 and its nibble count doubled (modulo 2^32),
// and its decoder context copied into channel 2's header.
void build_stereo_header(const DspHeader& dsp_header, StereoHeader& stereo_header);

// False for a header that begins like a file of another kind given by mistake:
// "Cstr" (a two-channel stream file, such as this program's own output) or
// "RIFF" (a WAV file). Read as a mono header, either would announce over a
// billion samples, so no real mono file begins so. Nothing else is checked.
bool is_mono_dsp_header(const DspHeader& dsp_header);

// Sizes that follow from a mono file's nibble count, in 64 bits so that the
// largest count fits on every platform.

// Bytes of mono data that the count announces: two nibbles to a byte.
constexpr std::uint64_t mono_data_size(std::uint32_t nibble_count)
{
    return (std::uint64_t{nibble_count} + 1) / 2;
}

// Blocks of the mono data, the last one possibly partial.
constexpr std::uint64_t interleave_block_count(std::uint32_t nibble_count)
{
    return (std::uint64_t{nibble_count} + NIBBLES_PER_BLOCK - 1) / NIBBLES_PER_BLOCK;
}

// The whole stereo file: its header and every block twice.
constexpr std::uint64_t stereo_file_size(std::uint32_t nibble_count)
{
    return STEREO_HEADER_SIZE + 2 * INTERLEAVE_BLOCK_SIZE * interleave_block_count(nibble_count);
}
