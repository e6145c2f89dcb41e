// A signed package written to a new file with another certificate table,
// streamed: everything before the table comes from the input file as it is
// (copied by the system itself where it can), but for two header fields, the
// security directory's Size and the CheckSum; the table is written from its
// pieces (tag_writer::TablePieces), as the download server sends it. The
// package is never held whole: what is held is its headers, its certificate
// table and the new table's pieces.
#pragma once

#include <cstdint>
#include <optional>

#include "tools/package_writer/package_writer.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/tool_files.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/table_pieces.h"

namespace tvkpack {

// A signed (or tagged) package opened for a copy: its headers, where its
// certificate table lies, and the table as the file holds it.
struct PackageInput {
    const packaging::InputFile& file;
    package_writer::ImageHeaders headers;
    packaging::CertificateTable table;
    packaging::Bytes table_bytes;
};

// Throws packaging::CommandError unless the file is signed (FindCertificateTable)
// and its headers lie before its table, and PackageWriterError for headers
// that cannot be read.
PackageInput ReadPackageInput(const packaging::InputFile& file);

// Whose word the copy's CheckSum rests on. Either way a CheckSum of 0 ("not
// set") stays 0.
enum class InputChecksum {
    // The input's stored CheckSum is right, as the tag writer (tvkpack,
    // tvkserve) writes it for a tagged file: the copy's is composed from it
    // and the sums of the parts that change, and the bytes before the table
    // are copied without being read (a value no file of the input's size can
    // have makes the copy read them after all).
    kTrusted,
    // Unknown, as a signing tool leaves it: the bytes before the table are
    // summed as they are copied, through a buffer, once.
    kGathered,
};

// Writes the input with its certificate table replaced by table, from
// position 0 of output. Returns the sum of the input's bytes before the
// table, its CheckSum and Size fields taken as zero, when it was gathered.
std::optional<tag_writer::PeChecksumSum> WriteWithTable(const PackageInput& input,
                                                        const tag_writer::TablePieces& table,
                                                        InputChecksum checksum,
                                                        packaging::PendingOutput& output);

// The input's CheckSum as it should be, from the sum WriteWithTable gathered.
std::uint32_t InputChecksumFrom(const PackageInput& input,
                                const tag_writer::PeChecksumSum& before_table);

}  // namespace tvkpack
