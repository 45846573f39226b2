// The little-endian fields of the formats the tool reads and writes (PE,
// resources, icons, version records), whatever the byte order of the host,
// and the boundaries they are laid out on. Callers check that the field lies
// inside the bytes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::uint16_t u16At(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

inline std::uint32_t u32At(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(u16At(bytes, at)) |
           static_cast<std::uint32_t>(u16At(bytes, at + 2)) << 16;
}

inline void putU16(std::string& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

inline void putU32(std::string& bytes, std::size_t at, std::uint32_t value) {
    putU16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
    putU16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

inline void appendU16(std::string& bytes, std::uint16_t value) {
    bytes.append(2, '\0');
    putU16(bytes, bytes.size() - 2, value);
}

inline void appendU32(std::string& bytes, std::uint32_t value) {
    bytes.append(4, '\0');
    putU32(bytes, bytes.size() - 4, value);
}

// `value` rounded up to a multiple of `alignment` (not 0).
inline std::uint64_t alignedUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}
