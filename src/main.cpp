// dspstereo: turns a mono DSP ADPCM file into a two-channel "Cstr" stream
// file. The output header is built from the input's channel header; then every
// 2048-byte block of the mono data is written twice, once for each channel,
// the last one padded with zero bytes.
//
// The run is one pass: every check that can be made before the output is
// opened is made first (same file, a file of another kind, short or oversized
// input), so a bad input never creates, truncates or changes the output. A
// regular output is written under a temporary name and put in place only when
// complete; a failure that shows while writing (a write fails, a pipe ends
// early) removes what was written and keeps an existing output. Exit status 0
// means the whole file was written, closed and put in place.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_order.hpp"
#include "output_file.hpp"
#include "stereo_header.hpp"
#include "system.hpp"

namespace {

// Large fixed stream buffers keep the number of system calls low while the
// data still passes through the one reused block buffer. The output's is
// smaller: writes of 1 MiB into a new file were seen to make Linux's page
// cache slower by 2 to 8 times now and then (it assembles larger pages for
// them), while writes of 128 KiB cost as much as cat's.
constexpr std::size_t INPUT_STREAM_BUFFER_SIZE = std::size_t{1} << 20;
constexpr std::size_t OUTPUT_STREAM_BUFFER_SIZE = std::size_t{128} << 10;
char input_stream_buffer[INPUT_STREAM_BUFFER_SIZE];
char output_stream_buffer[OUTPUT_STREAM_BUFFER_SIZE];

// A nibble count whose double no longer fits the 32-bit field.
constexpr std::uint32_t NIBBLE_COUNT_LIMIT = std::uint32_t{1} << 31;

// Every way a run can fail; report() turns each into its message.
enum class Failure {
    none,
    opening_input,
    opening_output,
    same_file,
    reading,
    truncated,
    not_mono,
    too_large,
    writing,
};

Failure read_fully(std::FILE* input, unsigned char* buffer, std::size_t size)
{
    if (std::fread(buffer, 1, size, input) == size) {
        return Failure::none;
    }
    return std::ferror(input) ? Failure::reading : Failure::truncated;
}

bool write_fully(std::FILE* output, const unsigned char* buffer, std::size_t size)
{
    return std::fwrite(buffer, 1, size, output) == size;
}

// The failure that a step of the output's life ended in: no room for a new
// file is a write error, like a full disk while writing; any other failure
// to open the output means it cannot be opened.
Failure output_failure(const Status& status, bool opening)
{
    if (status.ok()) {
        return Failure::none;
    }
    return opening && status.outcome != Outcome::no_space ? Failure::opening_output
                                                          : Failure::writing;
}

// Prints the message of failure on messages; returns the exit status.
int report(std::FILE* messages, Failure failure, const char* input_path, const char* output_path)
{
    switch (failure) {
    case Failure::none:
        return 0;
    case Failure::opening_input:
        print_line(messages, "error opening ", input_path);
        break;
    case Failure::opening_output:
        print_line(messages, "error opening ", output_path);
        break;
    case Failure::same_file:
        print_line(messages, "error: input and output are the same file");
        break;
    case Failure::reading:
        print_line(messages, "error reading ", input_path);
        break;
    case Failure::truncated:
        print_line(messages, "error: ", input_path, " is truncated");
        break;
    case Failure::not_mono:
        print_line(messages, "error: ", input_path, " is not a mono DSP file");
        break;
    case Failure::too_large:
        print_line(messages, "error: ", input_path, " is too large");
        break;
    case Failure::writing:
        print_line(messages, "error writing ", output_path);
        break;
    }
    return 1;
}

// Writes the header, then each block of the data_size bytes of mono data
// twice; the last block is padded with zero bytes to its full size.
Failure copy_interleaved(std::FILE* input, std::FILE* output, const StereoHeader& stereo_header,
                         std::uint64_t data_size)
{
    if (!write_fully(output, stereo_header.data(), stereo_header.size())) {
        return Failure::writing;
    }
    unsigned char block[INTERLEAVE_BLOCK_SIZE];
    for (std::uint64_t remaining = data_size; remaining > 0;) {
        const std::size_t filled =
            remaining < sizeof block ? static_cast<std::size_t>(remaining) : sizeof block;
        const Failure failure = read_fully(input, block, filled);
        if (failure != Failure::none) {
            return failure;
        }
        std::memset(block + filled, 0, sizeof block - filled);
        if (!write_fully(output, block, sizeof block) ||
            !write_fully(output, block, sizeof block)) {
            return Failure::writing;
        }
        remaining -= filled;
    }
    return Failure::none;
}

// Everything after the input was opened and the output's target looked for
// (found tells how that went). Once the output exists, closes the input itself
// and sets it to null; on the earlier paths the caller closes it.
Failure convert_open_input(std::FILE*& input, OutputTarget& target, const Status& found)
{
    if (found.ok() && target.is_same_file(input)) {
        return Failure::same_file;
    }

    DspHeader dsp_header;
    const Failure header_failure = read_fully(input, dsp_header.data(), dsp_header.size());
    if (header_failure != Failure::none) {
        return header_failure;
    }
    if (!is_mono_dsp_header(dsp_header)) {
        return Failure::not_mono;
    }
    const std::uint32_t nibble_count = load_be32(&dsp_header[NIBBLE_COUNT_OFFSET]);
    if (nibble_count >= NIBBLE_COUNT_LIMIT) {
        return Failure::too_large;
    }
    const std::uint64_t data_size = mono_data_size(nibble_count);

    const std::int64_t input_size = regular_input_size(input);
    if (input_size >= 0 && static_cast<std::uint64_t>(input_size) < DSP_HEADER_SIZE + data_size) {
        return Failure::truncated;
    }

    StereoHeader stereo_header;
    build_stereo_header(dsp_header, stereo_header);

    if (!found.ok()) {
        return output_failure(found, true);
    }
    OutputFile output;
    const Status opened =
        open_output(output, target, output_stream_buffer, sizeof output_stream_buffer);
    if (!opened.ok()) {
        return output_failure(opened, true);
    }

    Failure failure = copy_interleaved(input, output.stream, stereo_header, data_size);
    if (std::fclose(input) != 0 && failure == Failure::none) {
        failure = Failure::reading;
    }
    input = nullptr;
    if (failure == Failure::none) {
        failure = output_failure(commit_output(output, target), false);
    }
    if (failure != Failure::none) {
        discard_output(output, target);
    }
    return failure;
}

} // namespace

int convert_mono_to_stereo(int argc, char* argv[])
{
    if (argc != 3) {
        print_line(stdout, "usage: ", argc > 0 && argv[0] != nullptr ? argv[0] : "dspstereo",
                   " MONO.DSP STEREO.DSP");
        return 1;
    }
    const char* input_path = argv[1];
    const char* output_path = argv[2];

    install_cleanup();
    // Looking for the output opens nothing for writing; it comes first so
    // that no message goes into the output when standard output is the
    // output (or, below, the input): messages then go to standard error.
    OutputTarget target;
    const Status found = target.find(output_path);
    std::FILE* messages = found.ok() && target.is_same_file(stdout) ? stderr : stdout;

    std::FILE* input = open_input(input_path);
    if (input == nullptr) {
        return report(messages, Failure::opening_input, input_path, output_path);
    }
    if (same_file(input, stdout)) {
        messages = stderr;
    }
    std::setvbuf(input, input_stream_buffer, _IOFBF, sizeof input_stream_buffer);

    const Failure failure = convert_open_input(input, target, found);
    if (input != nullptr) {
        // Nothing was written; the input's close has nothing to lose.
        std::fclose(input);
    }
    return report(messages, failure, input_path, output_path);
}

int main(int argc, char* argv[])
{
    return convert_mono_to_stereo(argc, program_arguments(argc, argv));
}
