#include "tools/packaging/taggable_package.h"

#include <algorithm>

#include "package/package_layout.h"
#include "package/pe_reader.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/stub_validation.h"
#include "tools/packaging/tag_content.h"

namespace packaging {

namespace {

using namespace package_layout;
using tag_writer::PeChecksumSum;

// The buffer through which the package is read once.
constexpr std::size_t kReadBufferSize = 1 << 20;

// The file is a package that `tvkpack tag` would take: below 2 GiB, the
// stub's own checks accept it, and its certificate table ends at its end.
// Returns the table's offset.
std::uint64_t Validate(const PackageBytes& file) {
    const std::filesystem::path path = file.CheckPath();
    CheckPackageSize(file.size());
    if (const auto problem = ValidateAsTheStub(path)) {
        throw CommandError("the stub would reject it: " + ProblemText(*problem));
    }
    const PeReader reader(ReaderPath(path));
    const auto table_offset = static_cast<std::uint64_t>(reader.certificate_table_offset());
    if (table_offset + static_cast<std::uint64_t>(reader.certificate_table_size()) !=
        file.size()) {
        throw CommandError("its certificate table does not end at the end of the file");
    }
    return table_offset;
}

}  // namespace

TaggablePackage ReadTaggablePackage(
    const PackageBytes& file, const std::function<void(std::span<const std::uint8_t>)>& each_part) {
    download::TagLayout layout;
    layout.file_size = file.size();
    layout.table_offset = Validate(file);

    // The first bytes up to the end of the security directory's Size: the
    // ones a tag changes.
    TaggablePackage package;
    Bytes dos_header(kDosHeaderSize);
    file.ReadAt(dos_header.data(), dos_header.size(), 0);
    const auto nt_offset = static_cast<std::size_t>(ReadI32(dos_header.data(), kNtHeadersOffsetOffset));
    layout.checksum_offset = nt_offset + tag_writer::kChecksumOffset;
    layout.size_offset = nt_offset + kSecurityDirectorySizeOffset;
    package.head.resize(layout.head_size());
    if (package.head.size() > layout.table_offset) {
        throw CommandError("its certificate table overlaps its headers");
    }
    file.ReadAt(package.head.data(), package.head.size(), 0);
    layout.checksum_set = ReadU32(package.head.data(), layout.checksum_offset) != 0;

    // The certificate table as signed (a tag it carries removed).
    Bytes table(static_cast<std::size_t>(file.size() - layout.table_offset));
    file.ReadAt(table.data(), table.size(), layout.table_offset);
    Bytes signed_table = SignedCertificateTable(table);
    const bool was_signed = signed_table == table;

    // One pass over the file: every byte to the caller, and the checksum's
    // sum of the bytes before the table without the two fields a tag
    // changes.
    PeChecksumSum prefix;
    Bytes buffer(kReadBufferSize);
    for (std::uint64_t offset = 0; offset < file.size();) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.size() - offset));
        file.ReadAt(buffer.data(), size, offset);
        each_part(std::span<const std::uint8_t>(buffer.data(), size));
        if (offset < layout.table_offset) {
            const auto in_prefix = static_cast<std::size_t>(
                std::min<std::uint64_t>(size, layout.table_offset - offset));
            for (const std::size_t field : {layout.checksum_offset, layout.size_offset}) {
                if (field >= offset && field + download::kTagFieldSize <= offset + in_prefix) {
                    std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(field - offset),
                                download::kTagFieldSize, std::uint8_t{0});
                }
            }
            prefix.Add(buffer.data(), in_prefix, offset);
        }
        offset += size;
    }

    // As `tvkpack tag` warns: a stale checksum in a signed file means that
    // untagging a copy gives back a file that differs in that field.
    if (layout.checksum_set && was_signed) {
        PeChecksumSum whole = prefix;
        whole.Add(package.head.data() + layout.size_offset, download::kTagFieldSize,
                  layout.size_offset);
        whole.Add(table.data(), table.size(), layout.table_offset);
        if (whole.Checksum(file.size()) != ReadU32(package.head.data(), layout.checksum_offset)) {
            package.warnings.push_back("its PE checksum is stale");
        }
    }
    package.source =
        std::make_shared<const download::TagSource>(layout, std::move(signed_table), prefix);
    return package;
}

}  // namespace packaging
