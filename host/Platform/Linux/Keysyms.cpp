#include "Platform/Linux/Keysyms.h"

uint32_t keysyms::forCharacter(char32_t c)
{
    switch (c) {
    case U'\n':
    case U'\r':
        return kReturn;
    case U'\t':
        return kTab;
    case U'\b':
        return kBackSpace;
    default:
        break;
    }
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c > 0x10FFFF)
        return 0;
    // Latin-1 keysyms equal their code points; every other character has a Unicode keysym.
    return c < 0x100 ? uint32_t(c) : 0x01000000u | uint32_t(c);
}
