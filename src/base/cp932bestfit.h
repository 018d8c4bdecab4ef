#pragma once

#include <span>

namespace Cp932 {

// A character code page 932 does not hold and the bytes Windows writes for it instead: one byte
// below 0x100, else the lead byte in the high half.
struct BestFit
{
    char16_t character;
    char16_t bytes;
};

// Sorted by character.
std::span<const BestFit> bestFits();

} // namespace Cp932
