// The file operations that differ from one system to another.
//
// linux/system.cpp implements them with calls on folder descriptors (openat,
// renameat, unlinkat), windows/system.cpp with Win32 calls on wide names;
// CMake builds the one for the target, and each system's system_native.hpp
// says what it keeps about the output between two steps. Everything that is
// the same on every system (the order of the steps, the temporary name, the
// messages) stays in output_file.cpp and main.cpp.
//
// The output's life, in the order of OutputTarget's steps:
//
//   find            what the output's name leads to (links followed); nothing
//                   is opened for writing yet
//   is_same_file    the file found, compared with the input by identity
//   create_beside   a new file made beside the target, with the old file's
//   | open_in_place   protection; or the target itself, locked for this run;
//   | open_direct     or a device, FIFO or descriptor of the caller's
//   stream          the stream that writes what was opened
//   empty_in_place  (in place only) the old contents go once a stream exists
//   replace_with    the complete file put in place of the target;
//   | keep_in_place   or the in-place file kept as written
//   remove_beside   on failure: the temporary file removed;
//   | discard_in_place  or the in-place file emptied
//
// While a temporary file or an emptied in-place output exists, the clean-up
// is armed: an interruption (a signal; on Windows a console event) removes or
// empties it before the program ends. Arming and disarming go through one
// guard that holds the interruption off meanwhile; the record that the
// clean-up reads is the only static state of the system layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "system_native.hpp"

using NativeString = std::basic_string<NativeChar>;

// How a step ended, with the system's own error code (errno, GetLastError)
// where it failed.
enum class Outcome {
    done,
    name_taken, // the new file's name exists already: another one is drawn
    refused,    // may not or cannot be written here (permission, a folder, a
                // missing folder, a name that cannot be resolved)
    no_space,   // no room for a new file: no space, no free inode, a quota
    failed,     // anything else
};

struct Status {
    Outcome outcome = Outcome::done;
    int error = 0;

    bool ok() const { return outcome == Outcome::done; }
};

// The command line's arguments in UTF-8 where the system has them in another
// form (Windows: the wide command line), else argv itself. Also sets argc. An
// argument that UTF-8 cannot carry exactly is kept so that opening it fails.
char** program_arguments(int& argc, char** argv);

// Prints one message line on channel (standard output or standard error):
// first, name and last, then the line's end. Names are printed as given,
// legibly in a console too.
void print_line(std::FILE* channel, const char* first, const char* name = "",
                const char* last = "");

// The input, opened for binary reading by the name given on the command line;
// null when it cannot be opened.
std::FILE* open_input(const char* path);

// The length of the opened input when it is a regular file; -1 for anything
// whose length is not known in advance (a pipe, a device).
std::int64_t regular_input_size(std::FILE* input);

// True when the two streams are open on one file, known by identity.
bool same_file(std::FILE* a, std::FILE* b);

// Installs the clean-up that interruptions run; once, before the output is
// opened. A signal ignored when the program started stays ignored.
void install_cleanup();

enum class TargetKind {
    missing,  // nothing by that name yet: a new file is made beside it
    existing, // a regular file, replaced by a new file made beside it
    in_place, // a regular file written under its own name, because its folder
              // keeps its names (made anew where it is missing)
    direct,   // a device, a FIFO, a descriptor of the caller's: written as it is
};

// The output of one run, from finding it to putting it in place. Steps that
// open something hold it until the stream takes it; the destructor closes
// whatever is still held, and never removes anything.
class OutputTarget {
  public:
    OutputTarget() = default;
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // Finds what path leads to, following symbolic links as the system
    // follows them, and holds its folder. Opens nothing for writing.
    Status find(const char* path);
    TargetKind kind() const { return kind_; }
    // The target's name within its folder, and the longest name the folder
    // takes, in native units.
    const NativeString& name() const { return name_; }
    std::size_t name_max() const { return name_max_; }

    // True when the file found is the one stream is open on (the same open
    // file, or the same file by identity).
    bool is_same_file(std::FILE* stream) const;

    // Creates name anew in the target's folder, never through an existing
    // name or link. Replacing an existing target, the new file gets its
    // owner, group, access control list and mode, as far as this user may,
    // and never more access than the target gave; a new output gets what the
    // system gives a new file. Arms the clean-up to remove it.
    Status create_beside(const NativeString& name);
    // Opens the target itself for writing without emptying it, and holds it
    // against other writers in place until the run ends.
    Status open_in_place();
    // Opens a device, FIFO or descriptor of the caller's for writing.
    Status open_direct();

    // The stream that writes what the last step opened. Where none can be
    // made, what was opened is closed.
    Status stream(std::FILE*& stream);

    // Empties the target opened in place and arms the clean-up to empty it.
    Status empty_in_place();

    // Puts the complete file name in place of the target; disarms.
    Status replace_with(const NativeString& name);
    // The in-place output is complete: disarms.
    void keep_in_place();
    // Removes name from the target's folder; disarms.
    void remove_beside(const NativeString& name);
    // Empties the in-place output through the descriptor or handle kept for
    // it (Windows then deletes it where its folder allows); disarms.
    void discard_in_place();

  private:
    TargetKind kind_ = TargetKind::direct;
    NativeString name_;
    std::size_t name_max_ = 255;
    NativeTarget native_;
};
