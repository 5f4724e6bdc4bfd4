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
// Only where the folder refuses a new name for permission, keeps its names
// (a sticky folder in which this user may not replace the file, a folder
// that only appends), is an output written in place instead: locked against
// other writers in place, emptied only once its stream exists, and emptied
// again if the conversion fails. Every other failure to make the temporary
// file leaves the output untouched. What the caller already opened (a
// descriptor's name such as /dev/stdout) and anything that is not a regular
// file (a device, a FIFO) are written directly and are never removed or
// replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "system.hpp"

enum class OutputKind {
    temporary, // written under a temporary name, then put in place of the target
    in_place,  // a regular file written under its own name
    direct,    // anything else: written as it is, never removed
};

struct OutputFile {
    std::FILE* stream = nullptr;
    OutputKind kind = OutputKind::direct;
    NativeString temporary; // OutputKind::temporary only
};

// The name ".NAME.XXXXXX" for a temporary file beside target: NAME is the
// target's name, cut at the start of a character where the whole would be
// longer than name_max units; XXXXXX are six letters or digits drawn from
// state, which they advance.
NativeString temporary_name(const NativeString& target, std::size_t name_max, std::uint64_t& state);

// Opens the output that target found for writing through buffer. Unless the
// status is done, nothing was created and nothing changed.
Status open_output(OutputFile& output, OutputTarget& target, char* buffer, std::size_t buffer_size);

// Flushes and closes the output, checking both, and puts a temporary file in
// place of the target. Done only when all of that succeeded; otherwise
// discard_output removes what is left.
Status commit_output(OutputFile& output, OutputTarget& target);

// Closes the output if it is still open and removes what is incomplete: the
// temporary file, or the contents of an output written in place.
void discard_output(OutputFile& output, OutputTarget& target);
