#include "tools/packaging/certificate_table.h"

#include <algorithm>
#include <string>

#include "package/package_layout.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tag_writer/signature_tag.h"
#include "tools/tag_writer/win_certificate.h"

namespace packaging {

namespace {

using namespace package_layout;
using tag_writer::kCertificateLengthOffset;
using tag_writer::kCertificateRecordHeaderSize;
using tag_writer::RoundUpToCertificateRecord;

// The table holds the signature record and at most the zero padding that
// aligns it, and nothing else.
bool HoldsOneRecord(const Bytes& table) {
    if (table.size() < kCertificateRecordHeaderSize) {
        throw CommandError("its certificate table is too short for a signature");
    }
    const std::uint32_t record_length = ReadU32(table.data(), kCertificateLengthOffset);
    if (record_length < kCertificateRecordHeaderSize || record_length > table.size()) {
        throw CommandError("its signature record does not lie inside its certificate table");
    }
    if (table.size() > RoundUpToCertificateRecord(record_length)) {
        return false;
    }
    return std::all_of(table.begin() + record_length, table.end(),
                       [](std::uint8_t b) { return b == 0; });
}

bool EndsWithMagic(const Bytes& table) {
    return table.size() >= kTrailerSize &&
           ParseTrailer(table.data() + table.size() - kTrailerSize).magic == kPackageMagic;
}

// The extra data offset of a tag behind the signature: where the signed
// table ended, i.e. the signature record and its alignment padding.
std::uint32_t BehindTagStart(const Bytes& table) {
    const std::uint32_t record_length = ReadU32(table.data(), kCertificateLengthOffset);
    if (!EndsWithMagic(table) || table.size() < kVersion1TrailerSize) {
        throw CommandError(
            "its certificate table holds more than the signature but no TVK trailer; tvkpack "
            "does not remove data it did not write");
    }
    const auto extra = ReadU32(table.data(), table.size() - kTrailerSize + kExtraDataOffsetOffset);
    if (extra < record_length || extra > RoundUpToCertificateRecord(record_length) ||
        extra > table.size() - kVersion1TrailerSize) {
        throw CommandError(
            "its tag does not begin right behind the signature record (extra data offset " +
            std::to_string(extra) + ", dwLength " + std::to_string(record_length) +
            "); tvkpack does not cut such a file");
    }
    return extra;
}

}  // namespace

CertificateTable FindCertificateTable(const package_writer::ImageHeaders& headers,
                                      const package_writer::ImageSource& image) {
    CertificateTable table;
    table.nt_offset = static_cast<std::size_t>(headers.nt_offset);
    table.offset = headers.security.offset;
    table.size = headers.security.size;
    if (table.offset == 0 || table.size == 0) {
        throw CommandError("it is not signed (it has no certificate table)");
    }
    if (std::uint64_t{table.offset} + table.size != image.size()) {
        throw CommandError("its certificate table does not end at the end of the file");
    }
    if (table.size < kCertificateRecordHeaderSize) {
        throw CommandError("its certificate table is too short for a signature");
    }
    std::uint8_t record_header[kCertificateRecordHeaderSize] = {};
    image.Read(table.offset, record_header);
    table.record_length = ReadU32(record_header, kCertificateLengthOffset);
    if (table.record_length < kCertificateRecordHeaderSize || table.record_length > table.size) {
        throw CommandError("its signature record does not lie inside its certificate table");
    }
    return table;
}

TableTag FindTableTag(const Bytes& table) {
    if (!HoldsOneRecord(table)) {
        BehindTagStart(table);  // throws unless a tag of ours lies behind the record
        return TableTag::kBehind;
    }
    if (tag_writer::FindTagAttribute(table) && tag_writer::SignatureEnd(table) == table.size()) {
        return TableTag::kInside;
    }
    return TableTag::kNone;
}

Bytes SignedCertificateTable(const Bytes& table) {
    // A tag behind the signature may have been written over one inside it
    // (by a tool that did not know the newer placement): the one behind
    // comes off first, then the one inside. Each step walks the table once;
    // what is left must carry no tag attribute at all.
    Bytes current = table;
    if (FindTableTag(current) == TableTag::kBehind) {
        current.resize(BehindTagStart(current));
    }
    if (FindTableTag(current) == TableTag::kInside) {
        try {
            current = tag_writer::RemoveTagAttribute(current);
        } catch (const tag_writer::TagWriterError& error) {
            throw CommandError(std::string("cannot remove its tag: ") + error.what());
        }
    }
    if (FindTableTag(current) != TableTag::kNone || tag_writer::HasTagAttribute(current)) {
        throw CommandError(
            "its signature still carries a tag attribute once its tag is removed (a tag inside a "
            "tag); one tag inside the signature and one behind it are removed, no more");
    }
    return current;
}

}  // namespace packaging
