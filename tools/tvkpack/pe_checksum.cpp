#include "tools/tvkpack/pe_checksum.h"

#include <stdexcept>

#include "package/package_layout.h"

namespace tvkpack {

namespace {

constexpr std::size_t kChecksumSize = 4;

std::size_t ChecksumField(const std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    const std::size_t field = nt_offset + kChecksumOffset;
    if (field + kChecksumSize > image.size()) {
        throw std::length_error("the image's optional header does not lie inside it");
    }
    return field;
}

}  // namespace

std::uint32_t ComputePeChecksum(const std::vector<std::uint8_t>& image,
                                std::size_t checksum_offset) {
    const auto byte_at = [&](std::size_t index) -> std::uint32_t {
        if (index >= image.size() ||
            (index >= checksum_offset && index < checksum_offset + kChecksumSize)) {
            return 0;
        }
        return image[index];
    };
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        sum += byte_at(i) | (byte_at(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + static_cast<std::uint32_t>(image.size());
}

std::uint32_t StoredPeChecksum(const std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    return package_layout::ReadU32(image.data(), ChecksumField(image, nt_offset));
}

void UpdatePeChecksum(std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    const std::size_t field = ChecksumField(image, nt_offset);
    const std::uint32_t checksum = ComputePeChecksum(image, field);
    for (std::size_t i = 0; i < kChecksumSize; ++i) {
        image[field + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
    }
}

}  // namespace tvkpack
