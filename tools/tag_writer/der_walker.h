// A bounds-checked walker over DER (the ASN.1 encoding that Authenticode
// signatures use). The certificate table lies outside the signed hash, so
// every tag and length read here is untrusted: each element must lie inside
// its parent, lengths must use the definite form, and nothing is read past
// the view the walker is given (which carries its own length). Failures
// throw TagWriterError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/tag_writer/bytes.h"

namespace tag_writer {

// One element: where its tag starts, how long its tag and length fields are
// together, and how long its contents are; offsets count from the start of
// the view it was read from.
struct DerElement {
    std::uint8_t tag = 0;  // the identifier octet; multi-octet tags are refused
    std::size_t offset = 0;
    std::size_t header_size = 0;
    std::size_t content_size = 0;

    std::size_t content_offset() const { return offset + header_size; }
    std::size_t end() const { return offset + header_size + content_size; }
};

// DER identifier octets that the signature walk names.
constexpr std::uint8_t kDerOctetString = 0x04;
constexpr std::uint8_t kDerObjectIdentifier = 0x06;
constexpr std::uint8_t kDerSequence = 0x30;
constexpr std::uint8_t kDerSet = 0x31;
constexpr std::uint8_t kDerContextConstructed0 = 0xA0;  // [0] IMPLICIT or EXPLICIT, constructed
constexpr std::uint8_t kDerContextConstructed1 = 0xA1;  // [1], constructed

// Lengths beyond this are refused: a package lies below 2 GiB.
constexpr std::size_t kLargestDerLength = 0x7FFFFFFF;

// The element that starts at offset and ends within bytes (to read an
// element that must end earlier, pass the view up to there). Refuses the
// indefinite form, lengths of more than four octets and lengths that are
// not in their shortest form, so that re-encoding a length gives back the
// same bytes.
DerElement ReadDerElement(ByteView bytes, std::size_t offset);

// The elements that make up the contents of a constructed element of bytes,
// in order; they must fill its contents exactly, and the parent must lie
// within bytes.
std::vector<DerElement> ReadDerChildren(ByteView bytes, const DerElement& parent);

// The contents of an element of bytes (which it must lie within).
ByteView DerContents(ByteView bytes, const DerElement& element);

// The shortest encoding of a definite length, as DER demands.
Bytes EncodeDerLength(std::size_t length);
// The size of a tag octet and that encoding together.
std::size_t DerHeaderSize(std::size_t content_size);

}  // namespace tag_writer
