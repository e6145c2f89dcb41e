#include "tools/tag_writer/signature_tag.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "package/package_layout.h"
#include "tools/tag_writer/win_certificate.h"

namespace tag_writer {

const std::uint8_t kTagAttributeOid[20] = {0x69, 0x83, 0xD9, 0xF5, 0xF1, 0xB4, 0xDC,
                                           0x92, 0x82, 0x85, 0xE1, 0x8F, 0xBD, 0xC8,
                                           0xD5, 0xA6, 0xA1, 0x98, 0xE7, 0x31};

namespace {

using package_layout::ReadU32;

// The content type of an Authenticode signature: 1.2.840.113549.1.7.2.
constexpr std::uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

template <std::size_t N>
bool ContentIs(ByteView table, const DerElement& element, const std::uint8_t (&expected)[N]) {
    const ByteView contents = DerContents(table, element);
    return contents.size() == N && std::equal(expected, expected + N, contents.begin());
}

// Whether an attribute is of the tag's type.
bool IsTagAttribute(ByteView table, const DerElement& attribute) {
    const std::vector<DerElement> fields = ReadDerChildren(table, attribute);
    return !fields.empty() && fields[0].tag == kDerObjectIdentifier &&
           ContentIs(table, fields[0], kTagAttributeOid);
}

// The walk from the ContentInfo down to the signature's only SignerInfo and,
// when it has them, its unauthenticated attributes. Each element on the path
// is the last in its parent, so all of them end where the PKCS#7 ends.
struct SignatureWalk {
    std::vector<DerElement> path;  // ContentInfo, [0], SignedData, signerInfos, SignerInfo
    std::optional<DerElement> unauthenticated;  // the SignerInfo's [1]
    std::vector<DerElement> attributes;         // its elements
};

SignatureWalk WalkSignature(ByteView table) {
    Require(table.size() > kCertificateRecordHeaderSize,
            "the certificate table holds no signature");
    SignatureWalk walk;
    const DerElement content_info = ReadDerElement(table, kCertificateRecordHeaderSize);
    Require(content_info.tag == kDerSequence, "the signature is not a PKCS#7 ContentInfo");
    const std::vector<DerElement> info = ReadDerChildren(table, content_info);
    Require(info.size() == 2 && info[0].tag == kDerObjectIdentifier &&
                ContentIs(table, info[0], kSignedDataOid) && info[1].tag == kDerContextConstructed0,
            "the signature is not PKCS#7 SignedData");
    const std::vector<DerElement> wrapped = ReadDerChildren(table, info[1]);
    Require(wrapped.size() == 1 && wrapped[0].tag == kDerSequence,
            "the signature's SignedData is not a SEQUENCE");
    const std::vector<DerElement> signed_data = ReadDerChildren(table, wrapped[0]);
    Require(!signed_data.empty() && signed_data.back().tag == kDerSet,
            "the signature's SignedData does not end with its SignerInfos");
    const std::vector<DerElement> signers = ReadDerChildren(table, signed_data.back());
    Require(signers.size() == 1 && signers[0].tag == kDerSequence,
            "the signature does not have exactly one SignerInfo (nested signatures are "
            "attributes of the first)");
    const std::vector<DerElement> signer = ReadDerChildren(table, signers[0]);
    Require(signer.size() >= 5, "the signature's SignerInfo is too short");
    walk.path = {content_info, info[1], wrapped[0], signed_data.back(), signers[0]};
    if (signer.back().tag == kDerContextConstructed1) {
        walk.unauthenticated = signer.back();
        walk.attributes = ReadDerChildren(table, signer.back());
        for (const DerElement& attribute : walk.attributes) {
            Require(attribute.tag == kDerSequence,
                    "an unauthenticated attribute of the signature is not a SEQUENCE");
        }
    }
    return walk;
}

// The contents sizes of the path's elements once the last one's contents
// are kept up to keep_end and appended_size bytes follow them.
std::vector<std::size_t> NewContentSizes(const std::vector<DerElement>& path, std::size_t keep_end,
                                         std::size_t appended_size) {
    std::vector<std::size_t> sizes(path.size());
    sizes.back() = keep_end - path.back().content_offset() + appended_size;
    for (std::size_t i = path.size() - 1; i-- > 0;) {
        sizes[i] = (path[i + 1].offset - path[i].content_offset()) + DerHeaderSize(sizes[i + 1]) +
                   sizes[i + 1];
    }
    return sizes;
}

// The PKCS#7 with every length on the path rewritten: the elements before
// each path element kept, the last path element's contents kept up to
// keep_end, then the appended bytes.
Bytes RebuildSignature(ByteView table, const std::vector<DerElement>& path, std::size_t keep_end,
                       const Bytes& appended) {
    const std::vector<std::size_t> sizes = NewContentSizes(path, keep_end, appended.size());
    Bytes der;
    der.reserve(DerHeaderSize(sizes[0]) + sizes[0]);
    for (std::size_t i = 0; i < path.size(); ++i) {
        der.push_back(path[i].tag);
        const Bytes length = EncodeDerLength(sizes[i]);
        der.insert(der.end(), length.begin(), length.end());
        const std::size_t kept_end = i + 1 < path.size() ? path[i + 1].offset : keep_end;
        const ByteView kept =
            table.subspan(path[i].content_offset(), kept_end - path[i].content_offset());
        der.insert(der.end(), kept.begin(), kept.end());
    }
    der.insert(der.end(), appended.begin(), appended.end());
    return der;
}

// The encoding of the tag attribute up to its value: SEQUENCE { OID,
// SET { OCTET STRING } }.
Bytes AttributeHeader(std::size_t value_size) {
    const std::size_t oid_size = 2 + sizeof(kTagAttributeOid);
    const std::size_t set_content = DerHeaderSize(value_size) + value_size;
    const std::size_t attribute_content = oid_size + DerHeaderSize(set_content) + set_content;
    Bytes header{kDerSequence};
    const auto append_length = [&](std::size_t length) {
        const Bytes encoded = EncodeDerLength(length);
        header.insert(header.end(), encoded.begin(), encoded.end());
    };
    append_length(attribute_content);
    header.push_back(kDerObjectIdentifier);
    header.push_back(static_cast<std::uint8_t>(sizeof(kTagAttributeOid)));
    header.insert(header.end(), std::begin(kTagAttributeOid), std::end(kTagAttributeOid));
    header.push_back(kDerSet);
    append_length(set_content);
    header.push_back(kDerOctetString);
    append_length(value_size);
    return header;
}

// Whether an attribute whose encoding starts with header sorts after the
// encoded attribute at other, as DER orders a SET OF: by the encodings
// compared as octet strings.
bool SortsAfter(const Bytes& header, ByteView table, const DerElement& other) {
    const ByteView theirs_encoded = table.subspan(other.offset, other.end() - other.offset);
    const std::size_t common = std::min(header.size(), theirs_encoded.size());
    const auto [mine, theirs] =
        std::mismatch(header.begin(), header.begin() + common, theirs_encoded.begin());
    Require(mine != header.begin() + common,
            "the signature already carries an attribute of the tag's type");
    return *mine > *theirs;
}

// The bytes appended to the SignerInfo for a value of value_size bytes: the
// attribute, inside a new [1] when the SignerInfo has no unauthenticated
// attributes yet.
std::size_t AppendedSize(bool has_unauthenticated, std::size_t value_size) {
    const std::size_t attribute = AttributeHeader(value_size).size() + value_size;
    return has_unauthenticated ? attribute : DerHeaderSize(attribute) + attribute;
}

// An element's tag and the encoding of its contents' length.
void AppendElementHeader(TablePieces& pieces, std::uint8_t tag, std::size_t content_size) {
    Bytes header{tag};
    const Bytes length = EncodeDerLength(content_size);
    header.insert(header.end(), length.begin(), length.end());
    pieces.AppendMade(header);
}

std::vector<DerElement> InsertionPath(const SignatureWalk& walk) {
    std::vector<DerElement> path = walk.path;
    if (walk.unauthenticated) {
        path.push_back(*walk.unauthenticated);
    }
    return path;
}

// The table's signature alone: it must end within the record and be
// followed only by the record's zero alignment padding.
SignatureWalk WalkSignedTable(ByteView signed_table) {
    Require(signed_table.size() >= kCertificateRecordHeaderSize,
            "the certificate table is too short");
    const std::uint32_t record_length = ReadU32(signed_table.data(), kCertificateLengthOffset);
    Require(record_length <= signed_table.size() &&
                signed_table.size() <= RoundUpToCertificateRecord(record_length),
            "the certificate table holds more than one record");
    SignatureWalk walk = WalkSignature(signed_table);
    const std::size_t end = walk.path[0].end();
    Require(end <= record_length, "the signature reaches beyond its record");
    Require(std::all_of(signed_table.begin() + end, signed_table.end(),
                        [](std::uint8_t b) { return b == 0; }),
            "the certificate table holds data behind the signature");
    // An empty [1] could not be told apart from one the tag added.
    Require(!walk.unauthenticated || !walk.attributes.empty(),
            "the signature has an empty set of unauthenticated attributes");
    for (const DerElement& attribute : walk.attributes) {
        Require(!IsTagAttribute(signed_table, attribute),
                "the signature carries a tag attribute that is not its last attribute (was it "
                "signed or nested after tagging?)");
    }
    return walk;
}

}  // namespace

TagAttributeSlot::TagAttributeSlot(Bytes signed_table) : signed_table_(std::move(signed_table)) {
    const SignatureWalk walk = WalkSignedTable(signed_table_);
    path_ = InsertionPath(walk);
    has_unauthenticated_ = walk.unauthenticated.has_value();
    attributes_ = walk.attributes;
}

TagAttributePlan TagAttributeSlot::Plan(std::size_t blocks_size) const {
    const std::size_t keep_end = path_.back().end();
    TagAttributePlan plan;
    // Grow the filler until the attribute sorts last and the table is a
    // whole number of 8-byte units; both only ever ask for more filler.
    for (;;) {
        const std::size_t value_size =
            blocks_size + plan.filler_size + kRestoreRecordSize + package_layout::kTrailerSize;
        Require(value_size <= kLargestDerLength, "the tag is too large");
        const Bytes header = AttributeHeader(value_size);
        const auto blocking = std::find_if(
            attributes_.begin(), attributes_.end(),
            [&](const DerElement& other) { return !SortsAfter(header, signed_table_, other); });
        if (blocking != attributes_.end()) {
            const std::size_t mine = header.size() + value_size;
            const std::size_t theirs = blocking->header_size + blocking->content_size;
            plan.filler_size += theirs > mine ? theirs - mine : 1;
            continue;
        }
        const std::size_t appended = AppendedSize(has_unauthenticated_, value_size);
        const std::vector<std::size_t> sizes = NewContentSizes(path_, keep_end, appended);
        plan.table_size = kCertificateRecordHeaderSize + DerHeaderSize(sizes[0]) + sizes[0];
        if (plan.table_size % kCertificateRecordAlignment != 0) {
            plan.filler_size +=
                kCertificateRecordAlignment - plan.table_size % kCertificateRecordAlignment;
            continue;
        }
        plan.value_offset = plan.table_size - value_size;
        return plan;
    }
}

void TagAttributeSlot::AppendFront(const TagAttributePlan& plan, TablePieces& pieces) const {
    Require(pieces.signed_table().data() == signed_table_.data() &&
                pieces.signed_table().size() == signed_table_.size(),
            "the pieces were not made on the slot's signed table");
    const std::size_t value_size = plan.table_size - plan.value_offset;
    const Bytes attribute_header = AttributeHeader(value_size);
    const std::size_t appended = AppendedSize(has_unauthenticated_, value_size);
    const std::vector<std::size_t> sizes = NewContentSizes(path_, path_.back().end(), appended);

    Bytes record_header(signed_table_.begin(),
                        signed_table_.begin() + kCertificateRecordHeaderSize);
    WriteU32(record_header, kCertificateLengthOffset, static_cast<std::uint32_t>(plan.table_size));
    pieces.AppendMade(record_header);
    for (std::size_t i = 0; i < path_.size(); ++i) {
        AppendElementHeader(pieces, path_[i].tag, sizes[i]);
        const std::size_t kept_end = i + 1 < path_.size() ? path_[i + 1].offset : path_[i].end();
        pieces.AppendShared(PieceSource::kSignedTable, path_[i].content_offset(),
                            kept_end - path_[i].content_offset());
    }
    if (!has_unauthenticated_) {
        AppendElementHeader(pieces, kDerContextConstructed1, attribute_header.size() + value_size);
    }
    pieces.AppendMade(attribute_header);
    Require(pieces.size() == plan.value_offset,
            "the tag's value does not lie where it was planned");
}

std::array<std::uint8_t, kRestoreRecordSize> MakeRestoreRecord(ByteView signed_table) {
    Require(signed_table.size() >= kCertificateRecordHeaderSize,
            "the certificate table is too short");
    std::array<std::uint8_t, kRestoreRecordSize> record{};
    WriteU32(record, 0, ReadU32(signed_table.data(), kCertificateLengthOffset));
    WriteU32(record, 4, static_cast<std::uint32_t>(signed_table.size()));
    return record;
}

std::optional<TagAttributeValue> FindTagAttribute(ByteView table) {
    try {
        const SignatureWalk walk = WalkSignature(table);
        if (walk.attributes.empty() || !IsTagAttribute(table, walk.attributes.back())) {
            return std::nullopt;
        }
        const std::vector<DerElement> fields = ReadDerChildren(table, walk.attributes.back());
        if (fields.size() != 2 || fields[1].tag != kDerSet) {
            return std::nullopt;
        }
        const std::vector<DerElement> values = ReadDerChildren(table, fields[1]);
        if (values.size() != 1 || values[0].tag != kDerOctetString) {
            return std::nullopt;
        }
        return TagAttributeValue{values[0].content_offset(), values[0].content_size};
    } catch (const TagWriterError&) {
        return std::nullopt;  // a signature that cannot be walked carries no tag of ours
    }
}

Bytes RemoveTagAttribute(ByteView tagged_table) {
    const std::optional<TagAttributeValue> value = FindTagAttribute(tagged_table);
    Require(value.has_value(), "the signature carries no tag attribute");
    const SignatureWalk walk = WalkSignature(tagged_table);
    Require(walk.path[0].end() == tagged_table.size(),
            "the certificate table holds data behind the signature");

    // The restore record lies in front of the last 24 bytes, the package
    // trailer as the stub reads it, whatever the trailer holds.
    const std::size_t value_end = value->offset + value->size;
    Require(value->size >= package_layout::kTrailerSize + kRestoreRecordSize,
            "the tag attribute is too short for a package trailer");
    const std::size_t record = value_end - package_layout::kTrailerSize - kRestoreRecordSize;
    const std::uint32_t record_length = ReadU32(tagged_table.data(), record);
    const std::uint32_t table_size = ReadU32(tagged_table.data(), record + 4);

    // Without the attribute, or without the whole [1] when the tag was its
    // only attribute.
    std::vector<DerElement> path = walk.path;
    std::size_t keep_end = walk.attributes.back().offset;
    if (walk.attributes.size() == 1) {
        keep_end = walk.unauthenticated->offset;
    } else {
        path.push_back(*walk.unauthenticated);
    }
    Bytes table(tagged_table.begin(), tagged_table.begin() + kCertificateRecordHeaderSize);
    const Bytes der = RebuildSignature(tagged_table, path, keep_end, {});
    table.insert(table.end(), der.begin(), der.end());
    // A signed table is its signature and at most the padding to the next
    // 8-byte boundary: the record cannot ask for more, whatever it says.
    Require(table.size() <= record_length &&
                record_length <= RoundUpToCertificateRecord(table.size()) &&
                record_length <= table_size &&
                table_size <= RoundUpToCertificateRecord(record_length),
            "the tag's restore record does not fit the signature");
    table.resize(table_size, 0);
    WriteU32(table, kCertificateLengthOffset, record_length);
    return table;
}

bool HasTagAttribute(ByteView table) {
    try {
        const SignatureWalk walk = WalkSignature(table);
        return std::any_of(
            walk.attributes.begin(), walk.attributes.end(),
            [&](const DerElement& attribute) { return IsTagAttribute(table, attribute); });
    } catch (const TagWriterError&) {
        return false;
    }
}

std::optional<std::size_t> SignatureEnd(ByteView table) {
    try {
        return WalkSignature(table).path[0].end();
    } catch (const TagWriterError&) {
        return std::nullopt;
    }
}

std::vector<DerElement> ReadSignerInfoFields(ByteView table) {
    return ReadDerChildren(table, WalkSignature(table).path.back());
}

}  // namespace tag_writer
