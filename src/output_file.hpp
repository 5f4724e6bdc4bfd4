// The life of the output file.
//
// A regular output, new or existing, is written under a temporary name in the
// folder of the file that its name leads to (through symbolic links), named
// ".NAME.XXXXXX" (NAME shortened where the whole would be too long a name),
// and put in place of that file only once it is complete. Its name therefore
// holds either the old file or the whole new one, never a partial file. A
// file that replaces an existing one is made owner-only and given the old
// file's owner, group, access control list and mode before any data goes
// into it; a new file gets what the system gives a new file.
//
// Only where the folder refuses a new name for permission, or is a sticky
// folder in which this user may not replace the file, is an existing output
// written in place instead, and removed (or, if the folder keeps it, emptied)
// if the conversion fails. Every other failure to make the temporary file
// leaves the output untouched. What the caller already opened (a descriptor's
// name such as /dev/stdout) and anything that is not a regular file (a device,
// a FIFO) are written directly and are never removed or replaced.
//
// While a temporary file or an in-place output exists, an interruption (on
// Windows: Ctrl+C, Ctrl+Break, closing the console) removes it before the
// program ends by that signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

enum class OutputKind {
    temporary, // written under a temporary name, then put in place of the target
    in_place,  // a regular file written under its own name
    direct,    // anything else: written as it is, never removed
};

struct OutputFile {
    std::FILE* stream = nullptr;
    OutputKind kind = OutputKind::direct;
    std::filesystem::path temporary; // OutputKind::temporary only
};

enum class OutputOpening {
    opened,
    refused,  // cannot be written here: report that it cannot be opened
    no_space, // no room for a new file: report a write error
};

// The name ".NAME.XXXXXX" for a temporary file beside target: NAME is the
// target's name, cut at the start of a character where the whole would be
// longer than name_max units; XXXXXX are six letters or digits drawn from
// state, which they advance.
std::filesystem::path temporary_name(const std::filesystem::path& target, std::size_t name_max,
                                     std::uint64_t& state);

// Opens the output named path for writing through buffer. Unless it returns
// opened, nothing was created and nothing changed.
OutputOpening open_output(OutputFile& output, const char* path, char* buffer,
                          std::size_t buffer_size);

// Flushes and closes the output, checking both, and puts a temporary file in
// place of the target. Returns true only when all of that succeeded; after a
// false, discard_output removes what is left.
bool commit_output(OutputFile& output);

// Closes the output if it is still open and removes what is incomplete: the
// temporary file, or a regular output written in place (emptied instead where
// its folder does not let it be removed).
void discard_output(OutputFile& output);
