#pragma once
// Keysyms for typed text, the same for X11 and Wayland.

#include <cstdint>

namespace keysyms {
constexpr uint32_t kReturn = 0xFF0D;
constexpr uint32_t kTab = 0xFF09;
constexpr uint32_t kBackSpace = 0xFF08;

// The keysym that types `c`; 0 for control characters that type nothing.
uint32_t forCharacter(char32_t c);
} // namespace keysyms
