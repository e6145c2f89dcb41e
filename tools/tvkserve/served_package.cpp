#include "tools/tvkserve/served_package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
using tag_writer::PieceSource;
using tag_writer::TablePiece;
using tag_writer::WriteU32;

// The buffer through which the package is read once at start.
constexpr std::size_t kReadBufferSize = 1 << 20;
constexpr std::size_t kFieldSize = 4;  // the two u32 fields a tag changes

[[noreturn]] void SystemFailure(const std::string& what) {
    throw CommandError(what + ": " + std::strerror(errno));
}

// Fills size bytes from offset; the file must hold them.
void ReadAt(int file, std::uint8_t* bytes, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(file, bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            SystemFailure("cannot read it");
        }
        if (got == 0) {
            throw CommandError("it became shorter while it was read");
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

PeChecksumSum SumOf(ByteView bytes) {
    PeChecksumSum sum;
    sum.Add(bytes.data(), bytes.size(), 0);
    return sum;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

ServedPackage::ServedPackage(const std::filesystem::path& file)
    : file_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (file_.get() < 0) {
        SystemFailure("cannot open it");
    }
    struct stat status {};
    if (::fstat(file_.get(), &status) != 0) {
        SystemFailure("cannot read its size");
    }
    if (!S_ISREG(status.st_mode)) {
        throw CommandError("it is not a file");
    }
    const auto file_size = static_cast<std::uint64_t>(status.st_size);
    packaging::CheckPackageSize(file_size);

    // The stub's own checks, then the layout as its reader found it.
    if (const auto problem = packaging::ValidateAsTheStub(file)) {
        throw CommandError("the stub would reject it: " + packaging::ProblemText(*problem));
    }
    const PeReader reader(packaging::ReaderPath(file));
    table_offset_ = static_cast<std::uint64_t>(reader.certificate_table_offset());
    if (table_offset_ + static_cast<std::uint64_t>(reader.certificate_table_size()) != file_size) {
        throw CommandError("its certificate table does not end at the end of the file");
    }

    Bytes dos_header(kDosHeaderSize);
    ReadAt(file_.get(), dos_header.data(), dos_header.size(), 0);
    nt_offset_ = static_cast<std::size_t>(ReadI32(dos_header.data(), kNtHeadersOffsetOffset));
    const std::size_t checksum_field = nt_offset_ + tag_writer::kChecksumOffset;
    const std::size_t size_field = nt_offset_ + kSecurityDirectorySizeOffset;
    head_.resize(size_field + kFieldSize);
    if (head_.size() > table_offset_) {
        throw CommandError("its certificate table overlaps its headers");
    }
    ReadAt(file_.get(), head_.data(), head_.size(), 0);

    Bytes table(static_cast<std::size_t>(file_size - table_offset_));
    ReadAt(file_.get(), table.data(), table.size(), table_offset_);
    Bytes signed_table = packaging::SignedCertificateTable(table);
    const bool was_signed_table = signed_table == table;
    try {
        writer_.emplace(std::move(signed_table), tag_writer::TagPlacement::kInsideSignature);
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    // The spans of the signed table that every tag shares are those of the
    // smallest tag.
    const tag_writer::TablePieces smallest = writer_->Pieces({});
    for (const TablePiece& piece : smallest.pieces()) {
        if (piece.source == PieceSource::kSignedTable) {
            signed_span_sums_.push_back(
                {piece.offset, piece.size,
                 SumOf(ByteView(writer_->signed_table()).subspan(piece.offset, piece.size))});
        }
    }

    // One pass over the file: the partial sum without the two fields a tag
    // changes, and the content hash.
    const std::uint32_t stored_checksum = ReadU32(head_.data(), checksum_field);
    checksum_set_ = stored_checksum != 0;
    Sha256Stream content;
    Bytes buffer(kReadBufferSize);
    for (std::uint64_t offset = 0; offset < file_size;) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_size - offset));
        ReadAt(file_.get(), buffer.data(), size, offset);
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
            prefix_sum_.Add(buffer.data(), in_prefix, offset);
        }
        offset += size;
    }
    content_hash_ = content.Finish();

    // As `tvkpack tag` warns: a stale checksum in a signed file means that
    // untagging a download gives back a file that differs in that field.
    if (checksum_set_ && was_signed_table) {
        PeChecksumSum whole = prefix_sum_;
        whole.Add(head_.data() + size_field, kFieldSize, size_field);
        whole.Add(table.data(), table.size(), table_offset_);
        if (whole.Checksum(file_size) != stored_checksum) {
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
        PeChecksumSum sum = prefix_sum_;
        sum.Add(download->head.data() + size_field, kFieldSize, size_field);
        sum.Add(TableSum(download->table, brand));
        WriteU32(download->head, nt_offset_ + tag_writer::kChecksumOffset,
                 sum.Checksum(download->size));
    }
    return download;
}

PeChecksumSum ServedPackage::TableSum(const tag_writer::TablePieces& table,
                                      const ServedBrand& brand) const {
    PeChecksumSum sum;
    std::uint64_t position = table_offset_;
    for (const TablePiece& piece : table.pieces()) {
        const ByteView bytes = table.BytesOf(piece);
        const PeChecksumSum* shared = nullptr;
        if (piece.source == PieceSource::kIcon && bytes.size() == brand.icon().size()) {
            shared = &brand.icon_sum();
        } else if (piece.source == PieceSource::kPicture &&
                   bytes.size() == brand.picture().size()) {
            shared = &brand.picture_sum();
        } else if (piece.source == PieceSource::kSignedTable) {
            const auto found = std::find_if(
                signed_span_sums_.begin(), signed_span_sums_.end(), [&](const SpanSum& span) {
                    return span.offset == piece.offset && span.size == piece.size;
                });
            shared = found == signed_span_sums_.end() ? nullptr : &found->sum;
        }
        if (shared) {
            sum.AddAt(*shared, position);
        } else {
            sum.Add(bytes.data(), bytes.size(), position);
        }
        position += bytes.size();
    }
    return sum;
}

}  // namespace tvkserve
