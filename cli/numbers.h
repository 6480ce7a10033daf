// Conversions of numeric command-line words.
#pragma once
#include <cstdint>
#include <cstdlib>

// Decimal as the C library's atoi converts it here: leading white space, an optional
// sign, digits up to the first non-digit, 0 without digits. Values beyond the range of
// long saturate, and the result keeps the low 32 bits.
inline int32_t AtoI(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

// The fill pixel word: hexadecimal with an optional 0x prefix; only the low 8 bits count.
inline uint8_t HexPixel(const char* text) { return static_cast<uint8_t>(std::strtol(text, nullptr, 16)); }
