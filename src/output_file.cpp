#include "output_file.hpp"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>

namespace {

// Six letters or digits that differ from run to run. They only make a clash
// unlikely; the exclusive creation is what keeps another file from being
// taken for this run's.
void append_random_suffix(NativeString& name, std::uint64_t& state)
{
    static constexpr char LETTERS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int i = 0; i < 6; ++i) {
        state = state * 6364136223846793005U + 1442695040888963407U;
        name += static_cast<NativeChar>(LETTERS[(state >> 33) % (sizeof LETTERS - 1)]);
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

// Makes the temporary file beside the target, drawing another name while the
// one drawn is taken.
Status create_temporary(OutputFile& output, OutputTarget& target)
{
    std::uint64_t state =
        static_cast<std::uint64_t>(std::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&output);
    constexpr int ATTEMPTS = 100;
    Status status{Outcome::name_taken, 0};
    for (int attempt = 0; attempt < ATTEMPTS && status.outcome == Outcome::name_taken; ++attempt) {
        output.temporary = temporary_name(target.name(), target.name_max(), state);
        status = target.create_beside(output.temporary);
    }
    if (status.ok()) {
        output.kind = OutputKind::temporary;
    } else if (status.outcome == Outcome::name_taken) {
        status.outcome = Outcome::failed;
    }
    return status;
}

// Opens what the output is written to: the temporary file, falling back to
// writing in place only where the folder refuses a new name for permission
// and there is a file to write; the target itself; or what it leads to.
// Sets in_place when the target itself was opened.
Status open_target(OutputFile& output, OutputTarget& target, bool& in_place)
{
    in_place = false;
    switch (target.kind()) {
    case TargetKind::direct:
        return target.open_direct();
    case TargetKind::in_place:
        in_place = true;
        return target.open_in_place();
    case TargetKind::missing:
    case TargetKind::existing:
        break;
    }
    const Status status = create_temporary(output, target);
    if (status.outcome == Outcome::refused && target.kind() == TargetKind::existing) {
        in_place = true;
        return target.open_in_place();
    }
    return status;
}

} // namespace

NativeString temporary_name(const NativeString& target, std::size_t name_max, std::uint64_t& state)
{
    constexpr std::size_t DECORATION = 8; // the two dots and six letters
    NativeString stem = target;
    const std::size_t room = name_max > DECORATION ? name_max - DECORATION : 0;
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && continues_character(stem[cut])) {
            --cut;
        }
        stem.resize(cut);
    }
    NativeString name(1, '.');
    name += stem;
    name += '.';
    append_random_suffix(name, state);
    return name;
}

Status open_output(OutputFile& output, OutputTarget& target, char* buffer, std::size_t buffer_size)
{
    output = OutputFile{};
    bool in_place = false;
    Status status = open_target(output, target, in_place);
    if (status.ok()) {
        status = target.stream(output.stream);
    }
    // An in-place output loses its old contents only once it has a stream.
    if (status.ok() && in_place) {
        status = target.empty_in_place();
        if (status.ok()) {
            output.kind = OutputKind::in_place;
        }
    }
    if (!status.ok()) {
        discard_output(output, target);
        return status;
    }
    std::setvbuf(output.stream, buffer, _IOFBF, buffer_size);
    return status;
}

Status commit_output(OutputFile& output, OutputTarget& target)
{
    std::FILE* stream = std::exchange(output.stream, nullptr);
    // Some C libraries report a failed final flush only through the stream's
    // error state, not through fclose: flush and look at it before closing.
    const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
    const int flush_error = errno;
    if (std::fclose(stream) != 0 || !flushed) {
        return Status{Outcome::failed, flushed ? errno : flush_error};
    }
    Status status;
    switch (output.kind) {
    case OutputKind::temporary:
        status = target.replace_with(output.temporary);
        break;
    case OutputKind::in_place:
        target.keep_in_place();
        break;
    case OutputKind::direct:
        break;
    }
    if (status.ok()) {
        output.kind = OutputKind::direct; // nothing is left to remove
    }
    return status;
}

void discard_output(OutputFile& output, OutputTarget& target)
{
    if (output.stream != nullptr) {
        std::fclose(std::exchange(output.stream, nullptr));
    }
    switch (output.kind) {
    case OutputKind::temporary:
        target.remove_beside(output.temporary);
        break;
    case OutputKind::in_place:
        target.discard_in_place();
        break;
    case OutputKind::direct:
        break;
    }
    output.kind = OutputKind::direct;
}
