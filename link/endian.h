// Explicit byte-order helpers. Command blocks, wrappers and most argument records are
// packed and unpacked field by field with Put/Get. A few records are converted in the
// memory that holds them instead, as the command set prescribes (the load-image-area
// header, the image-library group, the image-library replies): their fields are swapped
// with HostToBe/BeToHost and the record then travels whole, its layout fixed by a
// static_assert on its size.
#pragma once
#include <cstdint>

inline void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t GetBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t GetLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Byte swaps between host order and big-endian, for records converted in place.
inline uint32_t HostToBe32(uint32_t v) {
    uint8_t b[4];
    PutBe32(b, v);
    uint32_t r;
    __builtin_memcpy(&r, b, 4);
    return r;
}
inline uint32_t BeToHost32(uint32_t v) {
    uint8_t b[4];
    __builtin_memcpy(b, &v, 4);
    return GetBe32(b);
}
inline uint16_t HostToBe16(uint16_t v) {
    uint8_t b[2];
    PutBe16(b, v);
    uint16_t r;
    __builtin_memcpy(&r, b, 2);
    return r;
}
inline uint16_t BeToHost16(uint16_t v) {
    uint8_t b[2];
    __builtin_memcpy(b, &v, 2);
    return GetBe16(b);
}
