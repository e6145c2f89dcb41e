#include "tools/tvkpack/package_copy.h"

#include <array>

#include "package/package_layout.h"
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/tag_checksum.h"

namespace tvkpack {

namespace {

using namespace package_layout;
using packaging::CommandError;
using tag_writer::PeChecksumSum;

// The two u32 fields a copy changes before the table.
constexpr std::size_t kFieldSize = 4;

std::uint64_t ChecksumField(const PackageInput& input) {
    return input.table.nt_offset + tag_writer::kChecksumOffset;
}

std::uint64_t SizeField(const PackageInput& input) {
    return input.table.nt_offset + kSecurityDirectorySizeOffset;
}

PeChecksumSum SumOfU32(std::uint32_t value, std::uint64_t position) {
    std::array<std::uint8_t, kFieldSize> bytes{};
    tag_writer::WriteU32(bytes, 0, value);
    PeChecksumSum sum;
    sum.Add(bytes.data(), bytes.size(), position);
    return sum;
}

// The input's sum of its bytes before the table, its two fields taken as
// zero, from its stored CheckSum: the whole file's sum less its Size field
// and its table.
std::optional<PeChecksumSum> SumBeforeTableFromStored(const PackageInput& input) {
    std::optional<PeChecksumSum> sum =
        PeChecksumSum::FromChecksum(input.headers.checksum, input.file.size());
    if (sum) {
        sum->Subtract(SumOfU32(input.table.size, SizeField(input)));
        PeChecksumSum table;
        table.Add(input.table_bytes.data(), input.table_bytes.size(), input.table.offset);
        sum->Subtract(table);
    }
    return sum;
}

}  // namespace

PackageInput ReadPackageInput(const packaging::InputFile& file) {
    PackageInput input{file, package_writer::ReadHeaders(file), {}, {}};
    input.table = packaging::FindCertificateTable(input.headers, file);
    if (SizeField(input) + kFieldSize > input.table.offset) {
        throw CommandError("its certificate table overlaps its headers");
    }
    input.table_bytes = file.ReadBytes(input.table.offset, input.table.size);
    return input;
}

std::optional<PeChecksumSum> WriteWithTable(const PackageInput& input,
                                            const tag_writer::TablePieces& table,
                                            InputChecksum checksum,
                                            packaging::PendingOutput& output) {
    const bool checksum_set = input.headers.checksum != 0;
    std::optional<PeChecksumSum> before_table;
    if (checksum_set && checksum == InputChecksum::kTrusted) {
        before_table = SumBeforeTableFromStored(input);
    }
    std::optional<PeChecksumSum> gathered;
    if (checksum_set && !before_table) {
        // Every byte before the table, the two fields as the input holds
        // them; they are taken away below.
        gathered.emplace();
        output.Copy(input.file, 0, input.table.offset, 0,
                    [&](packaging::ByteView bytes, std::uint64_t position) {
                        gathered->Add(bytes.data(), bytes.size(), position);
                    });
        gathered->Subtract(SumOfU32(input.headers.checksum, ChecksumField(input)));
        gathered->Subtract(SumOfU32(input.table.size, SizeField(input)));
        before_table = gathered;
    } else {
        output.Copy(input.file, 0, input.table.offset, 0);
    }

    std::array<std::uint8_t, kFieldSize> field{};
    tag_writer::WriteU32(field, 0, static_cast<std::uint32_t>(table.size()));
    output.Write(SizeField(input), field);
    if (checksum_set) {
        // Composed as the download server composes a tagged copy's.
        const tag_writer::TablePieces none(table.signed_table(), {}, {});
        const tag_writer::TagChecksum composed(*before_table, input.table.offset,
                                               table.signed_table(), none);
        tag_writer::WriteU32(
            field, 0, composed.Of(static_cast<std::size_t>(SizeField(input)), table, {}, {}));
        output.Write(ChecksumField(input), field);
    }
    std::uint64_t position = input.table.offset;
    for (const tag_writer::TablePiece& piece : table.pieces()) {
        const tag_writer::ByteView bytes = table.BytesOf(piece);
        output.Write(position, bytes);
        position += bytes.size();
    }
    return gathered;
}

std::uint32_t InputChecksumFrom(const PackageInput& input, const PeChecksumSum& before_table) {
    PeChecksumSum whole = before_table;
    whole.Add(SumOfU32(input.table.size, SizeField(input)));
    PeChecksumSum table;
    table.Add(input.table_bytes.data(), input.table_bytes.size(), input.table.offset);
    whole.Add(table);
    return whole.Checksum(input.file.size());
}

}  // namespace tvkpack
