#include "tools/tvkserve/served_package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "package/package_layout.h"
#include "package/pe_reader.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tvkpack/package_report.h"

namespace tvkserve {

namespace {

using namespace package_layout;
using tvkpack::CommandError;

// The buffer through which the package is read once at start.
constexpr std::size_t kReadBufferSize = 1 << 20;
constexpr std::size_t kFieldSize = 4;  // the two u32 fields a tag changes

// FNV-1a, 64 bits: the content hash behind the entity tags. It tells
// contents apart; it is not meant to resist a forger, and nothing here relies
// on that.
constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325;
constexpr std::uint64_t kFnvPrime = 0x100000001b3;

std::uint64_t Fnv1a(const std::uint8_t* bytes, std::size_t size, std::uint64_t hash) {
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * kFnvPrime;
    }
    return hash;
}

std::string Hex(std::uint64_t value) {
    std::ostringstream text;
    text << std::hex << std::setw(16) << std::setfill('0') << value;
    return text.str();
}

void WriteU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < kFieldSize; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

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
    tvkpack::CheckPackageSize(file_size);

    // The stub's own checks, then the layout as its reader found it.
    if (const auto problem = tvkpack::ValidateAsTheStub(file)) {
        throw CommandError("the stub would reject it: " + tvkpack::ProblemText(*problem));
    }
    const PeReader reader(tvkpack::ReaderPath(file));
    table_offset_ = static_cast<std::uint64_t>(reader.certificate_table_offset());
    if (table_offset_ + static_cast<std::uint64_t>(reader.certificate_table_size()) != file_size) {
        throw CommandError("its certificate table does not end at the end of the file");
    }

    Bytes dos_header(kDosHeaderSize);
    ReadAt(file_.get(), dos_header.data(), dos_header.size(), 0);
    nt_offset_ = static_cast<std::size_t>(ReadI32(dos_header.data(), kNtHeadersOffsetOffset));
    head_.resize(nt_offset_ + kNtHeadersSize);
    if (head_.size() > table_offset_) {
        throw CommandError("its certificate table overlaps its headers");
    }
    ReadAt(file_.get(), head_.data(), head_.size(), 0);

    Bytes table(static_cast<std::size_t>(file_size - table_offset_));
    ReadAt(file_.get(), table.data(), table.size(), table_offset_);
    signed_table_ = tvkpack::SignedCertificateTable(table);

    // One pass over the file: the partial sum without the two fields a tag
    // changes, and the content hash.
    const std::size_t checksum_field = nt_offset_ + tvkpack::kChecksumOffset;
    const std::size_t size_field = nt_offset_ + kSecurityDirectorySizeOffset;
    const std::uint32_t stored_checksum = ReadU32(head_.data(), checksum_field);
    checksum_set_ = stored_checksum != 0;
    content_hash_ = kFnvOffsetBasis;
    Bytes buffer(kReadBufferSize);
    for (std::uint64_t offset = 0; offset < file_size;) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_size - offset));
        ReadAt(file_.get(), buffer.data(), size, offset);
        content_hash_ = Fnv1a(buffer.data(), size, content_hash_);
        if (offset < table_offset_) {
            Bytes& piece = buffer;
            const auto in_prefix =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, table_offset_ - offset));
            for (const std::size_t field : {checksum_field, size_field}) {
                if (field >= offset && field + kFieldSize <= offset + in_prefix) {
                    std::fill_n(piece.begin() + static_cast<std::ptrdiff_t>(field - offset),
                                kFieldSize, std::uint8_t{0});
                }
            }
            prefix_sum_.Add(piece.data(), in_prefix, offset);
        }
        offset += size;
    }

    // As `tvkpack tag` warns: a stale checksum in a signed file means that
    // untagging a download gives back a file that differs in that field.
    if (checksum_set_ && signed_table_ == table) {
        tvkpack::PeChecksumSum whole = prefix_sum_;
        whole.Add(head_.data() + size_field, kFieldSize, size_field);
        whole.Add(table.data(), table.size(), table_offset_);
        if (whole.Checksum(file_size) != stored_checksum) {
            warnings_.push_back("its PE checksum is stale");
        }
    }
}

std::shared_ptr<const TaggedDownload> ServedPackage::Tag(const tvkpack::TagContent& content) const {
    const tvkpack::PreparedTag prepared = tvkpack::PrepareTag(content);
    auto download = std::make_shared<TaggedDownload>();
    try {
        download->table = package_writer::TagCertificateTable(signed_table_, prepared.options);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    download->body_end = table_offset_;
    download->size = table_offset_ + download->table.size();
    tvkpack::CheckPackageSize(download->size);
    download->file = file_.get();

    download->head = head_;
    const std::size_t size_field = nt_offset_ + kSecurityDirectorySizeOffset;
    WriteU32(download->head, size_field, static_cast<std::uint32_t>(download->table.size()));
    if (checksum_set_) {
        tvkpack::PeChecksumSum sum = prefix_sum_;
        sum.Add(download->head.data() + size_field, kFieldSize, size_field);
        sum.Add(download->table.data(), download->table.size(), table_offset_);
        WriteU32(download->head, nt_offset_ + tvkpack::kChecksumOffset,
                 sum.Checksum(download->size));
    }
    download->etag = "\"" + Hex(content_hash_) + "-" +
                     Hex(Fnv1a(download->table.data(), download->table.size(), kFnvOffsetBasis)) +
                     "\"";
    return download;
}

}  // namespace tvkserve
