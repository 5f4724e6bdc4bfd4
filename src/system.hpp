// The few file operations that differ from one system to another.
//
// system_posix.cpp implements them with POSIX calls on folder descriptors
// (openat, renameat, unlinkat), system_windows.cpp with Win32 calls on wide
// names; CMake builds the one for the target. Everything that is the same on
// every system (the order of the steps, the temporary name) stays in
// output_file.cpp and main.cpp.
//
// There is one output per run, so the output's target, its folder and the one
// file that an interruption must remove are kept here, in static storage that
// a signal handler can reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

// The command line's arguments in UTF-8 where the system has them in another
// form (Windows: the wide command line), else argv itself. Also sets argc.
char** program_arguments(int& argc, char** argv);

// Prints one message line on standard output: first, name and last, then the
// line's end. Names are printed as given, legibly in a console too.
void print_line(const char* first, const char* name = "", const char* last = "");

// The input, opened for binary reading by the name given on the command line;
// null when it cannot be opened.
std::FILE* open_input(const char* path);

// The length of the opened input when it is a regular file; -1 for anything
// whose length is not known in advance (a pipe, a device).
std::int64_t regular_input_size(std::FILE* input);

// True when output_path leads to the file that the opened input is, known by
// identity (device and inode; volume serial number and file ID), however the
// two names are spelled.
bool output_is_input(std::FILE* input, const char* output_path);

enum class TargetKind {
    missing,  // nothing by that name yet: a new regular file is made
    existing, // a regular file that this user may write and replace
    in_place, // a regular file that this user may write but not replace
    opened,   // anything else (a descriptor of the caller's, a device, a FIFO):
              // already opened, written directly
    refused,  // cannot be written: a missing folder, a folder, a read-only file
};

struct OutputTarget {
    TargetKind kind = TargetKind::refused;
    std::FILE* stream = nullptr; // TargetKind::opened only
    std::filesystem::path name;  // the target's name within its folder
    std::size_t name_max = 255;  // the longest name the folder takes, in native units
};

// Finds what the output name leads to, following symbolic links, and keeps
// the target's folder for the calls below.
OutputTarget find_output_target(const char* path);

enum class Creation { created, name_taken, refused, no_space, failed };

// Creates name anew in the target's folder, never through an existing name or
// link. A file that will replace the target is created owner-only; a new
// output gets what the system gives a new file (0666 less the umask, or the
// folder's default ACL). While it exists, an interruption removes it.
Creation create_beside_target(const std::filesystem::path& name, bool replacing,
                              std::FILE*& stream);

// Gives the file just created to replace the target the target's owner,
// group, access control list and mode, as far as this user may. What cannot
// be kept is never replaced by more access than the target gave.
void keep_target_protection(std::FILE* stream);

// Empties the existing target and opens it for writing; null on failure.
// While it is open, an interruption removes or empties it.
std::FILE* open_target_in_place();

// Puts the complete file name in place of the target.
bool replace_target(const std::filesystem::path& name);

// Removes name from the target's folder.
void remove_beside_target(const std::filesystem::path& name);

// Removes the target written in place, or empties it where its folder keeps
// the name.
void empty_target();

// Installs the clean-up that interruptions run; once per run, before the
// output is opened.
void install_cleanup();
