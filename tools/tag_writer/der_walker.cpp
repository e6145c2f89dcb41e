#include "tools/tag_writer/der_walker.h"

#include <string>

namespace tag_writer {

namespace {

constexpr std::uint8_t kLongFormBit = 0x80;
constexpr std::uint8_t kHighTagNumber = 0x1F;  // low five bits all set: a multi-octet tag
constexpr std::size_t kMaxLengthOctets = 4;

[[noreturn]] void Malformed(const char* what) {
    throw TagWriterError(std::string("the signature is not well-formed DER: ") + what);
}

}  // namespace

DerElement ReadDerElement(ByteView bytes, std::size_t offset) {
    if (offset >= bytes.size() || bytes.size() - offset < 2) {
        Malformed("an element is cut short");
    }
    const ByteView rest = bytes.subspan(offset);
    DerElement element;
    element.tag = rest[0];
    element.offset = offset;
    if ((element.tag & kHighTagNumber) == kHighTagNumber) {
        Malformed("an element has a multi-octet tag");
    }
    const std::uint8_t first = rest[1];
    std::size_t length = 0;
    if ((first & kLongFormBit) == 0) {
        length = first;
        element.header_size = 2;
    } else {
        const std::size_t octets = first & ~kLongFormBit;
        if (octets == 0) {
            Malformed("an element has an indefinite length");
        }
        if (octets > kMaxLengthOctets) {
            Malformed("an element's length has more than four octets");
        }
        if (rest.size() - 2 < octets) {
            Malformed("an element's length is cut short");
        }
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | rest[2 + i];
        }
        // The shortest form: no leading zero octet, and the long form only
        // for lengths of 128 and more.
        if (rest[2] == 0 || length < kLongFormBit) {
            Malformed("an element's length is not in its shortest form");
        }
        element.header_size = 2 + octets;
    }
    if (length > kLargestDerLength || length > rest.size() - element.header_size) {
        Malformed("an element reaches beyond its parent");
    }
    element.content_size = length;
    return element;
}

std::vector<DerElement> ReadDerChildren(ByteView bytes, const DerElement& parent) {
    DerContents(bytes, parent);  // the parent must lie within bytes
    const ByteView inside = bytes.first(parent.end());
    std::vector<DerElement> children;
    std::size_t position = parent.content_offset();
    while (position < parent.end()) {
        children.push_back(ReadDerElement(inside, position));
        position = children.back().end();
    }
    return children;
}

ByteView DerContents(ByteView bytes, const DerElement& element) {
    if (element.content_offset() < element.offset || element.end() < element.content_offset() ||
        element.end() > bytes.size()) {
        Malformed("an element lies beyond the bytes walked");
    }
    return bytes.subspan(element.content_offset(), element.content_size);
}

Bytes EncodeDerLength(std::size_t length) {
    if (length < kLongFormBit) {
        return {static_cast<std::uint8_t>(length)};
    }
    Bytes octets;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
        octets.insert(octets.begin(), static_cast<std::uint8_t>(rest));
    }
    octets.insert(octets.begin(), static_cast<std::uint8_t>(kLongFormBit | octets.size()));
    return octets;
}

std::size_t DerHeaderSize(std::size_t content_size) {
    return 1 + EncodeDerLength(content_size).size();
}

}  // namespace tag_writer
