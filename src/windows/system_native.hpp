// What the Windows system layer keeps about the output between two steps.
#pragma once

#include <cstdint>
#include <string>

using NativeChar = wchar_t;

// A HANDLE, without windows.h; NO_FILE is INVALID_HANDLE_VALUE.
using NativeHandle = void*;
inline const NativeHandle NO_FILE = reinterpret_cast<NativeHandle>(static_cast<std::intptr_t>(-1));

// The identity of a file on a disk: volume serial number and file ID.
struct NativeIdentity {
    bool known = false;
    std::uint64_t volume = 0;
    unsigned char id[16] = {};
};

struct NativeTarget {
    std::wstring path;              // the output's full name: what a direct output opens
    std::wstring folder;            // the final path of the target's folder
    NativeHandle file = NO_FILE;    // what the last step opened, until a stream takes it
    NativeHandle writing = NO_FILE; // the handle that the stream writes through
    NativeIdentity identity;        // of the target as found
    bool read_only = false;         // the target has the read-only attribute
    bool only_copy = false;         // the target went away while being replaced: the
                                    // temporary file is the only copy left
};
