// Any certificate table is walked without reading outside it. Whatever the
// writer accepts to tag comes out well-formed: one record filling the table,
// the DER ending with the trailer, and removing the tag gives the table back;
// the tag leaves the signed attributes, and so the relaxed-marker answer, as
// they were.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "package/package_layout.h"
#include "tests/support/package_images.h"
#include "tools/package_writer/archive_markers.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tag_writer/signature_tag.h"

namespace {

using tag_writer::Bytes;
using tag_writer::TagWriterError;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Whether the signature relaxes the marker check; nothing when it cannot be
// walked.
std::optional<bool> RelaxedMarkerCheck(const Bytes& table) {
    try {
        return package_writer::HasRelaxedMarkerCheck(table);
    } catch (const TagWriterError&) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes table(data, data + size);
    if (const auto end = tag_writer::SignatureEnd(table)) {
        Check(*end <= table.size());
    }
    if (const auto value = tag_writer::FindTagAttribute(table)) {
        Check(value->offset + value->size <= table.size());
    }
    for (const package_writer::MarkerMatch& match : package_writer::FindArchiveMarkers(table)) {
        Check(match.offset + match.marker->value.size() <= table.size());
    }
    const std::optional<bool> relaxed = RelaxedMarkerCheck(table);
    try {
        const Bytes signed_table = tag_writer::RemoveTagAttribute(table);
        Check(signed_table.size() >= 8);
    } catch (const TagWriterError&) {
    }

    package_writer::TagOptions options;
    options.placement = tag_writer::TagPlacement::kInsideSignature;
    options.version = package_layout::kPackageVersion2;
    options.params_base64 = "e30=";
    options.icon.assign(size % 131, 0x5A);
    Bytes tagged;
    try {
        tagged = test_support::TagCertificateTable(table, options);
    } catch (const TagWriterError&) {
        return 0;
    }
    Check(tagged.size() % 8 == 0 && package_layout::ReadU32(tagged.data(), 0) == tagged.size());
    Check(tag_writer::SignatureEnd(tagged) == tagged.size());
    const auto value = tag_writer::FindTagAttribute(tagged);
    Check(value && value->offset + value->size == tagged.size());
    Check(tag_writer::RemoveTagAttribute(tagged) == table);
    Check(RelaxedMarkerCheck(tagged) == relaxed);
    return 0;
}
