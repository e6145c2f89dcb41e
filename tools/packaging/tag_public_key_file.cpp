// ReadTagPublicKey: a public key file as tvkpack tag-key writes it (the part
// of tag_signature.h that reads files).
#include "package/base64.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/tag_signature.h"

namespace packaging {

Bytes ReadTagPublicKey(const std::filesystem::path& file) {
    constexpr std::uint64_t kMostKeyFileBytes = 64 * 1024;
    constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
    const std::uint64_t size = SizeOfFile(file, "public key");
    if (size > kMostKeyFileBytes) {
        throw CommandError("it is " + std::to_string(size) + " bytes; no public key is that long");
    }
    const Bytes bytes = ReadWholeFile(file, "public key", size + 1);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::size_t begin = text.find(kBegin);
    if (begin == std::string_view::npos) {
        if (bytes.empty() || bytes[0] != 0x30) {  // a DER SEQUENCE
            throw CommandError("it is neither a PEM public key nor DER SubjectPublicKeyInfo");
        }
        return bytes;
    }
    const std::size_t end = text.find(kEnd, begin);
    if (end == std::string_view::npos) {
        throw CommandError("its PEM public key has no end line");
    }
    std::string base64;
    for (const char c : text.substr(begin + kBegin.size(), end - begin - kBegin.size())) {
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t') {
            base64 += c;
        }
    }
    Bytes der = Base64Decode(base64);
    if (der.empty() || Base64Encode(der) != base64) {
        throw CommandError("its PEM public key is not base64");
    }
    return der;
}

}  // namespace packaging
