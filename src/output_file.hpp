// The life of the output file.
//
// A regular output, new or existing, is written under a temporary name in the
// folder of the file that its name leads to (through symbolic links), named
// ".NAME.XXXXXX", and renamed over that file only once it is complete. Its
// name therefore holds either the old file or the whole new one, never a
// partial file. The replacement keeps the old file's permission bits; a new
// file gets 0666 less the umask.
//
// Where no temporary file can be made there (a folder that may not be
// written), a regular output is written in place instead and removed (or, if
// the folder keeps it, emptied) if the conversion fails. Other outputs (devices, FIFOs, pipes) are
// written directly and are never removed or replaced.
//
// While a temporary file or an in-place output exists, an interrupt,
// termination or hang-up (on Windows: Ctrl+C, Ctrl+Break, closing the console)
// removes it before the program ends by that signal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>

enum class OutputKind {
    temporary, // written under a temporary name, then renamed over the target
    in_place,  // a regular file written under its own name
    direct,    // anything else: written as it is, never removed
};

struct OutputFile {
    std::FILE* stream = nullptr;
    OutputKind kind = OutputKind::direct;
    std::filesystem::path target;    // the file that the output name leads to
    std::filesystem::path temporary; // OutputKind::temporary only
};

// A file name from the command line as a path. Names arrive in the program's
// narrow encoding, UTF-8 on Windows with the UTF-8 code page, and
// std::filesystem must be told so there explicitly.
std::filesystem::path to_path(const char* name);

// Opens the output named path for writing through buffer. Returns false, with
// nothing created or changed, when it cannot be written: a missing folder, a
// folder or an existing file that may not be written.
bool open_output(OutputFile& output, const char* path, char* buffer, std::size_t buffer_size);

// Flushes and closes the output, checking both, and puts a temporary file in
// place of the target. Returns true only when all of that succeeded; after a
// false, discard_output removes what is left.
bool commit_output(OutputFile& output);

// Closes the output if it is still open and removes what is incomplete: the
// temporary file, or a regular output written in place (emptied instead where
// its folder does not let it be removed).
void discard_output(OutputFile& output);
