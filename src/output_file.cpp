#include "output_file.hpp"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

#include "system.hpp"

namespace fs = std::filesystem;

namespace {

// Six letters or digits that differ from run to run. They only make a clash
// unlikely; the exclusive creation is what keeps another file from being
// taken for this run's.
void append_random_suffix(fs::path::string_type& name, std::uint64_t& state)
{
    static constexpr char LETTERS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int i = 0; i < 6; ++i) {
        state = state * 6364136223846793005U + 1442695040888963407U;
        name += static_cast<fs::path::value_type>(LETTERS[(state >> 33) % (sizeof LETTERS - 1)]);
    }
}

// True for a unit that continues a character begun before it: a UTF-8
// continuation byte, or the second half of a UTF-16 surrogate pair.
template <typename Unit> constexpr bool continues_character(Unit unit)
{
    if constexpr (sizeof(Unit) == 1) {
        return (static_cast<unsigned char>(unit) & 0xC0) == 0x80;
    } else {
        return unit >= 0xDC00 && unit <= 0xDFFF;
    }
}

// Writes the existing target under its own name.
OutputOpening open_in_place(OutputFile& output)
{
    output.kind = OutputKind::in_place;
    output.stream = open_target_in_place();
    return output.stream != nullptr ? OutputOpening::opened : OutputOpening::refused;
}

// Makes the temporary file beside the target; falls back to writing in place
// only where the folder refuses a new name for permission.
OutputOpening open_regular_output(OutputFile& output, const OutputTarget& target)
{
    const bool replacing = target.kind == TargetKind::existing;
    std::uint64_t state =
        static_cast<std::uint64_t>(std::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&output);
    constexpr int ATTEMPTS = 100;
    Creation creation = Creation::name_taken;
    for (int attempt = 0; attempt < ATTEMPTS && creation == Creation::name_taken; ++attempt) {
        output.temporary = temporary_name(target.name, target.name_max, state);
        creation = create_beside_target(output.temporary, replacing, output.stream);
    }
    switch (creation) {
    case Creation::created:
        output.kind = OutputKind::temporary;
        if (replacing) {
            keep_target_protection(output.stream);
        }
        return OutputOpening::opened;
    case Creation::refused:
        if (!replacing) {
            return OutputOpening::refused;
        }
        return open_in_place(output);
    case Creation::no_space:
        return OutputOpening::no_space;
    case Creation::name_taken:
    case Creation::failed:
        break;
    }
    return OutputOpening::refused;
}

} // namespace

fs::path temporary_name(const fs::path& target, std::size_t name_max, std::uint64_t& state)
{
    constexpr std::size_t DECORATION = 8; // the two dots and six letters
    fs::path::string_type stem = target.native();
    const std::size_t room = name_max > DECORATION ? name_max - DECORATION : 0;
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && continues_character(stem[cut])) {
            --cut;
        }
        stem.resize(cut);
    }
    fs::path::string_type name(1, '.');
    name += stem;
    name += '.';
    append_random_suffix(name, state);
    return name;
}

OutputOpening open_output(OutputFile& output, const char* path, char* buffer,
                          std::size_t buffer_size)
{
    install_cleanup();
    output = OutputFile{};
    const OutputTarget target = find_output_target(path);
    OutputOpening opening = OutputOpening::refused;
    switch (target.kind) {
    case TargetKind::refused:
        break;
    case TargetKind::opened:
        output.stream = target.stream;
        opening = OutputOpening::opened;
        break;
    case TargetKind::in_place:
        opening = open_in_place(output);
        break;
    case TargetKind::missing:
    case TargetKind::existing:
        opening = open_regular_output(output, target);
        break;
    }
    if (opening != OutputOpening::opened) {
        output = OutputFile{};
        return opening;
    }
    std::setvbuf(output.stream, buffer, _IOFBF, buffer_size);
    return opening;
}

bool commit_output(OutputFile& output)
{
    std::FILE* stream = std::exchange(output.stream, nullptr);
    // Some C libraries report a failed final flush only through the stream's
    // error state, not through fclose: flush and look at it before closing.
    const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
    if (std::fclose(stream) != 0 || !flushed) {
        return false;
    }
    if (output.kind == OutputKind::temporary && !replace_target(output.temporary)) {
        return false;
    }
    output.kind = OutputKind::direct; // nothing is left to remove
    return true;
}

void discard_output(OutputFile& output)
{
    if (output.stream != nullptr) {
        std::fclose(std::exchange(output.stream, nullptr));
    }
    if (output.kind == OutputKind::temporary) {
        remove_beside_target(output.temporary);
    } else if (output.kind == OutputKind::in_place) {
        empty_target();
    }
    output.kind = OutputKind::direct;
}
