// The fake system layer keeps only whether the target was found: what it
// answers and what it was asked are in fake_system.hpp.
#pragma once

using NativeChar = char;

struct NativeTarget {
    bool found = false; // a step taken before find is written down as such
};
