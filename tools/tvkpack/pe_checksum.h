// The PE image checksum (OptionalHeader.CheckSum), as Windows' image helper
// computes it. Authenticode leaves the field out of the signed hash, so a
// packaging step that changes the certificate table can set it afresh
// without touching the signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvkpack {

// OptionalHeader.CheckSum, from the start of the NT headers.
constexpr std::size_t kChecksumOffset = 24 + 64;

// The checksum of image with the 4 bytes at checksum_offset taken as zero:
// the sum of the file's little-endian 16-bit words (an odd last byte counts
// as a word of its own), each carry folded back into the low 16 bits, plus
// the file's length.
std::uint32_t ComputePeChecksum(const std::vector<std::uint8_t>& image,
                                std::size_t checksum_offset);

// The checksum stored in an image whose NT headers lie at nt_offset.
std::uint32_t StoredPeChecksum(const std::vector<std::uint8_t>& image, std::size_t nt_offset);

// Writes the computed checksum into the image's CheckSum field.
void UpdatePeChecksum(std::vector<std::uint8_t>& image, std::size_t nt_offset);

}  // namespace tvkpack
