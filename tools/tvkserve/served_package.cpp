#include "tools/tvkserve/served_package.h"

#include <algorithm>

#include "package/package_layout.h"
#include "package/pe_reader.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/stub_validation.h"
#include "tools/packaging/tag_content.h"

namespace tvkserve {

namespace {

using namespace package_layout;
using packaging::CommandError;
using tag_writer::PeChecksumSum;
using tag_writer::WriteU32;

// The buffer through which the package is read once at start.
constexpr std::size_t kReadBufferSize = 1 << 20;
constexpr std::size_t kFieldSize = 4;  // the two u32 fields a tag changes

}  // namespace

ServedPackage::ServedPackage(const std::filesystem::path& file) : file_(file) {
    Validate();
    ReadHead();
    bool was_signed = false;
    const Bytes table = ReadSignedTable(was_signed);
    GatherSums(table, was_signed);
}

// The file is a package that `tvkpack tag` would take: a regular file below
// 2 GiB that the stub's own checks accept, whose certificate table ends at
// its end. The checks read the very file that was opened, whatever its name
// is by then.
void ServedPackage::Validate() {
    const std::filesystem::path path = file_.SamePath();
    packaging::CheckPackageSize(file_.size());
    if (const auto problem = packaging::ValidateAsTheStub(path)) {
        throw CommandError("the stub would reject it: " + packaging::ProblemText(*problem));
    }
    const PeReader reader(packaging::ReaderPath(path));
    table_offset_ = static_cast<std::uint64_t>(reader.certificate_table_offset());
    if (table_offset_ + static_cast<std::uint64_t>(reader.certificate_table_size()) !=
        file_.size()) {
        throw CommandError("its certificate table does not end at the end of the file");
    }
}

// The first bytes up to the end of the security directory's Size: the ones
// a tag changes.
void ServedPackage::ReadHead() {
    Bytes dos_header(kDosHeaderSize);
    file_.ReadAt(dos_header.data(), dos_header.size(), 0);
    nt_offset_ = static_cast<std::size_t>(ReadI32(dos_header.data(), kNtHeadersOffsetOffset));
    head_.resize(nt_offset_ + kSecurityDirectorySizeOffset + kFieldSize);
    if (head_.size() > table_offset_) {
        throw CommandError("its certificate table overlaps its headers");
    }
    file_.ReadAt(head_.data(), head_.size(), 0);
    checksum_set_ = ReadU32(head_.data(), nt_offset_ + tag_writer::kChecksumOffset) != 0;
}

// The certificate table as signed (a tag it carries removed), walked once by
// the tag writer; returns the table as the file holds it.
Bytes ServedPackage::ReadSignedTable(bool& was_signed) {
    Bytes table(static_cast<std::size_t>(file_.size() - table_offset_));
    file_.ReadAt(table.data(), table.size(), table_offset_);
    Bytes signed_table = packaging::SignedCertificateTable(table);
    was_signed = signed_table == table;
    try {
        writer_.emplace(std::move(signed_table), tag_writer::TagPlacement::kInsideSignature);
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    return table;
}

// One pass over the file: the content hash, and the checksum's sum of the
// bytes before the table without the two fields a tag changes.
void ServedPackage::GatherSums(const Bytes& table, bool was_signed) {
    const std::size_t checksum_field = nt_offset_ + tag_writer::kChecksumOffset;
    const std::size_t size_field = nt_offset_ + kSecurityDirectorySizeOffset;
    PeChecksumSum prefix;
    Sha256Stream content;
    Bytes buffer(kReadBufferSize);
    for (std::uint64_t offset = 0; offset < file_.size();) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_.size() - offset));
        file_.ReadAt(buffer.data(), size, offset);
        content.Add(ByteView(buffer.data(), size));
        if (offset < table_offset_) {
            const auto in_prefix =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, table_offset_ - offset));
            for (const std::size_t field : {checksum_field, size_field}) {
                if (field >= offset && field + kFieldSize <= offset + in_prefix) {
                    std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(field - offset),
                                kFieldSize, std::uint8_t{0});
                }
            }
            prefix.Add(buffer.data(), in_prefix, offset);
        }
        offset += size;
    }
    content_hash_ = content.Finish();
    checksum_ = tag_writer::TagChecksum(prefix, table_offset_, writer_->signed_table(),
                                        writer_->Pieces({}));

    // As `tvkpack tag` warns: a stale checksum in a signed file means that
    // untagging a download gives back a file that differs in that field.
    if (checksum_set_ && was_signed) {
        PeChecksumSum whole = prefix;
        whole.Add(head_.data() + size_field, kFieldSize, size_field);
        whole.Add(table.data(), table.size(), table_offset_);
        if (whole.Checksum(file_.size()) != ReadU32(head_.data(), checksum_field)) {
            warnings_.push_back("its PE checksum is stale");
        }
    }
}

std::uint64_t ServedPackage::TaggedSize(std::int32_t version, std::size_t blocks_size) const {
    std::uint64_t size = 0;
    try {
        size = table_offset_ + writer_->TableSize(version, blocks_size);
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    packaging::CheckPackageSize(size);
    return size;
}

std::unique_ptr<TaggedDownload> ServedPackage::Tag(const ServedBrand& brand,
                                                   std::string_view params_text,
                                                   std::int32_t version) const {
    const std::string params_base64 = packaging::Base64Encode(
        ByteView(reinterpret_cast<const std::uint8_t*>(params_text.data()), params_text.size()));
    tag_writer::TagBlocks blocks;
    blocks.version = version;
    blocks.params_base64 = params_base64;
    blocks.icon = brand.icon();
    blocks.picture = brand.picture();
    std::unique_ptr<TaggedDownload> download;
    try {
        download = std::make_unique<TaggedDownload>(writer_->Pieces(blocks));
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    download->body_end = table_offset_;
    download->size = table_offset_ + download->table.size();
    packaging::CheckPackageSize(download->size);

    download->head = head_;
    const std::size_t size_field = nt_offset_ + kSecurityDirectorySizeOffset;
    WriteU32(download->head, size_field, static_cast<std::uint32_t>(download->table.size()));
    if (checksum_set_) {
        WriteU32(download->head, nt_offset_ + tag_writer::kChecksumOffset,
                 checksum_.Of(size_field, download->table, brand.icon_sum(), brand.picture_sum()));
    }
    return download;
}

}  // namespace tvkserve
