#include "tools/packaging/sha256.h"

namespace packaging {

void Sha256Stream::Add(std::string_view text) {
    Add(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void Sha256Stream::AddNumber(std::uint64_t number) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    Add(bytes);
}

Sha256Digest Sha256(const std::vector<std::uint8_t>& data) {
    Sha256Stream stream;
    stream.Add(data);
    return stream.Finish();
}

}  // namespace packaging
