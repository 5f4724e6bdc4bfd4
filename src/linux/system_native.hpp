// What the Linux system layer keeps about the output between two steps.
#pragma once

#include <sys/stat.h>

using NativeChar = char;

struct NativeTarget {
    int folder = -1;           // the target's folder, opened only to be named relative to
    int file = -1;             // what the last step opened, until a stream takes it
    int writing = -1;          // the descriptor that the stream writes through
    struct stat found = {};    // the target as found: identity, owner, group, mode
    bool through_link = false; // named by a link in /proc that the system follows itself
};
