// The fake system layer keeps nothing of its own in the target: what it
// answers and what it was asked are in fake_system.hpp.
#pragma once

using NativeChar = char;

struct NativeTarget {};
