// Bytes as the tag writer handles them: owned buffers, views that carry their
// own length, little-endian writes that check the buffer's length, and the
// tag writer's error with the one check that throws it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace tag_writer {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// What the tag writer throws when its input is not what it can work on.
class TagWriterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws Error(message) unless condition holds. A library built on this one
// names its own error: `constexpr auto Require = tag_writer::Require<MyError>;`.
template <typename Error = TagWriterError>
void Require(bool condition, const char* message) {
    if (!condition) {
        throw Error(message);
    }
}

// Writes value little-endian at offset; the bytes must hold it.
inline void WriteU16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    Require(offset <= bytes.size() && bytes.size() - offset >= 2,
            "a 16-bit field lies beyond the end of the bytes");
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    Require(offset <= bytes.size() && bytes.size() - offset >= 4,
            "a 32-bit field lies beyond the end of the bytes");
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace tag_writer
