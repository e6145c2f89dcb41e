#include "tools/tvkpack/package_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <span>
#include <sstream>
#include <system_error>
#include <utility>

#include "package/base64.h"
#include "package/pe_reader.h"
#include "tools/package_writer/archive_markers.h"
#include "tools/package_writer/package_writer.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/json_check.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/stub_identity.h"
#include "tools/packaging/tag_signature.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/signature_tag.h"
#include "tools/tag_writer/win_certificate.h"

namespace tvkpack {

namespace fs = std::filesystem;
using namespace package_layout;
using namespace packaging;

namespace {

using tag_writer::PeChecksumSum;
using tag_writer::RoundUpToCertificateRecord;

// A package's size limit: every position in it is a signed 32-bit number.
constexpr std::uint64_t kLargestPackage = 0x7FFFFFFF;
// The buffer through which the pass over a package reads it.
constexpr std::size_t kScanBufferSize = 1 << 20;

std::string Hex(std::uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << value;
    return text.str();
}

// Runs one of the stub's steps; a failure becomes the report's problem, with
// the text the stub's message box would show. Returns whether it passed.
template <typename Step>
bool RunStep(InspectReport& report, const char* step_name, Step&& step) {
    report.problem = StubStepProblem(step_name, std::forward<Step>(step));
    return !report.problem;
}

void AddBlockNotes(InspectReport& report) {
    const InspectReport::Layout& layout = *report.layout;
    const std::int64_t area_start = std::int64_t{layout.certificate_table_offset} +
                                    static_cast<std::int64_t>(layout.signature_length);
    for (const BlockPlacement& block : report.blocks) {
        if (block.size <= 0) {
            continue;
        }
        // Inside the signature the blocks lie within the record, in the tag
        // attribute's value.
        if (layout.tag_placement != "inside the signature" && block.position < area_start) {
            report.notes.push_back("the " + block.name +
                                   " block starts before the end of the signature record");
        }
        if (block.position + block.size > static_cast<std::int64_t>(report.file_size)) {
            report.notes.push_back("the " + block.name +
                                   " block reaches beyond the end of the file; the stub reads "
                                   "zero bytes in place of what is missing");
        }
    }
}

// Notes on the parameters text: what the stub decodes of it and whether the
// installer will be able to read the result.
void AddParameterNotes(InspectReport& report, const InputFile& file) {
    const auto found = std::find_if(report.blocks.begin(), report.blocks.end(),
                                    [](const BlockPlacement& b) { return b.name == "parameters"; });
    if (found != report.blocks.end() && found->position >= 0 &&
        static_cast<std::uint64_t>(found->position) < file.size()) {
        // The stub read the block, so its size is within the block limit.
        const auto position = static_cast<std::uint64_t>(found->position);
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(
            static_cast<std::uint64_t>(std::max(found->size, 0)), file.size() - position));
        const Bytes block = file.ReadBytes(position, size);
        const std::string text(block.begin(),
                               std::find(block.begin(), block.end(), std::uint8_t{0}));
        if (Base64Encode(*report.parameters) != text) {
            report.notes.push_back(
                "the parameters text is not clean base64 of one piece; the stub decodes only "
                "its leading valid part");
        }
    }
    const std::string json(report.parameters->begin(), report.parameters->end());
    if (const std::string problem = CheckJson(json); !problem.empty()) {
        report.notes.push_back("the decoded parameters are not valid JSON: " + problem);
    }
}

// The tag's placement and what lies outside the PKCS#7 structure.
void AddSignatureExtent(InspectReport::Layout& layout, const Bytes& table) {
    try {
        switch (FindTableTag(table)) {
            case TableTag::kNone:
                layout.tag_placement = "none";
                break;
            case TableTag::kInside:
                layout.tag_placement = "inside the signature";
                break;
            case TableTag::kBehind:
                layout.tag_placement = "behind the signature";
                break;
        }
    } catch (const CommandError&) {
        layout.tag_placement = "unknown data behind the signature";
    }
    layout.records_fill_table = RoundUpToCertificateRecord(layout.signature_length) == table.size();
    try {
        layout.relaxed_marker_check = package_writer::HasRelaxedMarkerCheck(table);
    } catch (const tag_writer::TagWriterError&) {
        // A signature that cannot be walked: unknown.
    }
    layout.pkcs7_end = tag_writer::SignatureEnd(table);
    if (layout.pkcs7_end) {
        layout.bytes_outside_pkcs7 = table.size() - *layout.pkcs7_end;
        layout.nonzero_outside_pkcs7 = static_cast<std::uint64_t>(
            std::count_if(table.begin() + static_cast<std::ptrdiff_t>(*layout.pkcs7_end),
                          table.end(), [](std::uint8_t b) { return b != 0; }));
    }
}

// The layout as the stub's reader found it, and the certificate table's
// contents; the checksum comes from the pass over the file.
InspectReport::Layout ReadLayout(const PeReader& reader, const Bytes& table) {
    InspectReport::Layout layout;
    layout.installer_offset = reader.installer_offset();
    layout.installer_length = reader.installer_length();
    layout.certificate_table_offset = reader.certificate_table_offset();
    layout.certificate_table_size = reader.certificate_table_size();
    if (table.size() >= 4) {
        layout.signature_length = ReadU32(table.data(), 0);
        AddSignatureExtent(layout, table);
    }
    return layout;
}

void AddLayoutNotes(InspectReport& report, const InputFile& file, bool checksum_computed) {
    const InspectReport::Layout& layout = *report.layout;
    const auto installer = static_cast<std::uint64_t>(layout.installer_offset);
    if (installer + 2 > file.size() || file.ReadBytes(installer, 2) != Bytes{'M', 'Z'}) {
        report.notes.push_back(
            "the installer image does not start with 'MZ': Windows cannot start it");
    }
    if (layout.signature_length > static_cast<std::uint32_t>(layout.certificate_table_size)) {
        report.notes.push_back("the signature record is longer than the certificate table");
    }
    if (checksum_computed && layout.checksum_stored != 0 &&
        layout.checksum_stored != layout.checksum_computed) {
        report.notes.push_back("the PE checksum is stale");
    }
}

// Where the trailer puts the blocks, as the stub computes it.
std::vector<BlockPlacement> BlocksOf(const PackageTrailer& trailer,
                                     const InspectReport::Layout& layout) {
    const std::int32_t extra = Add32(layout.certificate_table_offset, trailer.extra_data_offset);
    if (trailer.version != kPackageVersion2) {
        return {{"parameters", extra, trailer.params_size}};
    }
    return {{"icon", extra, trailer.icon_size},
            {"picture", Add32(extra, trailer.icon_size), trailer.picture_size},
            {"parameters", Add32(Add32(extra, trailer.icon_size), trailer.picture_size),
             trailer.params_size}};
}

void AddBlockStartNote(InspectReport& report) {
    const PackageTrailer& trailer = *report.trailer;
    // tvkpack puts the blocks right behind the signature record and its
    // alignment padding, or at the start of the tag attribute's value.
    const auto extra_offset = static_cast<std::uint32_t>(trailer.extra_data_offset);
    const bool inside = report.layout->tag_placement == "inside the signature";
    if (!inside && (extra_offset < report.layout->signature_length ||
                    extra_offset > RoundUpToCertificateRecord(report.layout->signature_length))) {
        report.notes.push_back(
            "the blocks do not start directly behind the signature record (extra data offset " +
            std::to_string(trailer.extra_data_offset) + ", dwLength " +
            std::to_string(report.layout->signature_length) + ")");
    }
}

// The archive markers in the tag's bytes, found from the first block to the
// end of the file (which lies inside the certificate table in either
// placement), by file offset.
void AddArchiveMarkers(InspectReport& report, std::uint64_t start,
                       const std::vector<package_writer::MarkerMatch>& matches) {
    for (const package_writer::MarkerMatch& match : matches) {
        InspectReport::MarkerFinding finding;
        finding.marker = match.marker;
        finding.position = static_cast<std::int64_t>(start + match.offset);
        for (const BlockPlacement& block : report.blocks) {
            if (finding.position >= block.position &&
                finding.position - block.position < block.size) {
                finding.block = block.name;
                finding.offset_in_block = finding.position - block.position;
            }
        }
        report.archive_markers.push_back(finding);
    }
}

// What one pass over the package gathers, each part only when asked for: the
// stub's identity, the sum behind the PE checksum (of every byte, its own
// field included), and the archive markers from marker_start on. The pass
// reads the part of the file they need once, through a buffer of bounded
// size.
struct PackageScan {
    StubIdentityDigest* identity = nullptr;
    PeChecksumSum* checksum = nullptr;
    package_writer::ArchiveMarkerScan* markers = nullptr;
    std::uint64_t marker_start = 0;

    void Run(const InputFile& file) const {
        const std::uint64_t start = identity || checksum ? 0 : marker_start;
        const std::uint64_t end = checksum || markers ? file.size()
                                  : identity          ? identity->end()
                                                      : 0;
        Bytes buffer(static_cast<std::size_t>(
            std::min<std::uint64_t>(end - std::min(start, end), kScanBufferSize)));
        for (std::uint64_t position = start; position < end;) {
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(end - position, buffer.size()));
            const std::span<std::uint8_t> piece(buffer.data(), count);
            file.Read(position, piece);
            if (identity) {
                identity->Add(piece, position);
            }
            if (checksum) {
                checksum->Add(piece.data(), piece.size(), position);
            }
            if (markers && position + count > marker_start) {
                markers->Add(piece.subspan(static_cast<std::size_t>(
                    marker_start > position ? marker_start - position : 0)));
            }
            position += count;
        }
    }
};

// Where a finding lies, for the messages: holder and position.
std::string FindingHolder(const InspectReport::MarkerFinding& finding) {
    return finding.block.empty() ? "the tag" : "the " + finding.block + " block";
}
std::string FindingPosition(const InspectReport::MarkerFinding& finding) {
    std::string position = "file offset " + std::to_string(finding.position);
    if (!finding.block.empty()) {
        position += " (offset " + std::to_string(finding.offset_in_block) + " in the block)";
    }
    return position;
}

// The size of a block the stub wrote into the scratch folder. The stub
// writes a block whole (bytes it cannot read as zeros) and reports no failed
// write, so a file of another size means that tvkpack's own temporary space
// failed, not the package.
std::uint64_t ScratchFileSize(const fs::path& path, const char* block, std::int32_t block_size) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size != static_cast<std::uintmax_t>(block_size)) {
        throw CommandError(std::string("cannot check the package's ") + block +
                           " block: tvkpack's scratch file '" + PathToUtf8(path) + "' took " +
                           (error ? std::string("none") : std::to_string(size)) + " of its " +
                           std::to_string(block_size) +
                           " bytes (tvkpack's own temporary space failed, not the package)");
    }
    return size;
}

}  // namespace

std::vector<std::string> StrictVerifierObjections(const InspectReport::Layout& layout) {
    std::vector<std::string> objections;
    if (!layout.pkcs7_end) {
        objections.push_back("its signature cannot be read as PKCS#7 SignedData");
        return objections;
    }
    if (layout.nonzero_outside_pkcs7 != 0) {
        objections.push_back(std::to_string(layout.nonzero_outside_pkcs7) +
                             " non-zero bytes lie outside the PKCS#7 structure: with "
                             "EnableCertPaddingCheck, Windows treats the file as unsigned");
    }
    if (!layout.records_fill_table) {
        objections.push_back(
            "the record's 8-byte-rounded length does not add up to the certificate table's "
            "size: strict tools (osslsigncode verify) call the table corrupted");
    }
    return objections;
}

std::vector<std::string> MarkerWarnings(const InspectReport& report) {
    std::vector<std::string> warnings;
    if (report.layout && report.layout->relaxed_marker_check == true) {
        return warnings;
    }
    const std::vector<InspectReport::MarkerFinding>& findings = report.archive_markers;
    for (std::size_t i = 0; i < findings.size() && i < package_writer::kMarkersNamed; ++i) {
        warnings.push_back(package_writer::MarkerWarning(
            FindingHolder(findings[i]), *findings[i].marker, FindingPosition(findings[i])));
    }
    if (findings.size() > package_writer::kMarkersNamed) {
        warnings.push_back(package_writer::MoreMarkersWarning(
            "the tag", findings.size() - package_writer::kMarkersNamed));
    }
    return warnings;
}

namespace {

// The tag's signature, from the parameters and the files the stub wrote.
InspectReport::TagSignature CheckTagSignature(const Bytes& parameters,
                                              const std::optional<Sha256Digest>& icon,
                                              const std::optional<Sha256Digest>& picture,
                                              const std::optional<Bytes>& public_key) {
    using State = TagSignatureState;
    const std::string_view text(reinterpret_cast<const char*>(parameters.data()),
                                parameters.size());
    if (text.find("\"" + std::string(kTagSignatureMember) + "\"") == std::string_view::npos) {
        return {State::kUnsigned, ""};
    }
    const std::optional<SplitParams> split = SplitSignedParams(text);
    if (!split) {
        return {State::kInvalid,
                "the parameters' \"tvk_sig\" is not the last member as a "
                "signer writes it"};
    }
    if (!public_key) {
        return {State::kSigned, ""};
    }
    if (!VerifyTagSignature(*public_key, TagSignatureMessage(split->unsigned_params, icon, picture),
                            split->signature_text)) {
        return {State::kInvalid,
                "the signature is not the given key's for these parameters, icon and picture"};
    }
    return {State::kValid, ""};
}

std::optional<Sha256Digest> DigestOf(const fs::path& file, bool written) {
    if (!written) {
        return std::nullopt;
    }
    return Sha256(ReadWholeFile(file, "scratch file", kLargestPackage));
}

}  // namespace

InspectReport Inspect(const fs::path& package, const std::optional<Bytes>& tag_public_key,
                      InspectDepth depth) {
    InspectReport report;
    report.package = PathToUtf8(package);
    report.file_size = SizeOfFile(package, "package");
    const std::wstring path = ReaderPath(package);
    const InputFile file(package, "package");
    const bool whole_file = depth == InspectDepth::kWholeFile;

    // The stub's identity is shown for packages the stub rejects, too.
    std::optional<package_writer::ImageHeaders> headers;
    std::optional<StubIdentityDigest> identity;
    if (report.file_size <= kLargestPackage) {
        try {
            headers = package_writer::ReadHeaders(file);
            if (whole_file) {
                identity.emplace(*headers, file.size());
            }
        } catch (const package_writer::PackageWriterError&) {
            // No PE image: the validation below says what is wrong.
        } catch (const CommandError&) {
            // No PE32 image that carries a stub: no identity.
        }
    }
    std::optional<PeReader> reader;
    if (!RunStep(report, "validation", [&] { reader.emplace(path); })) {
        if (identity) {
            PackageScan{.identity = &*identity}.Run(file);
            report.stub_identity = identity->Finish();
        }
        return report;
    }
    // The validation passed: the file is below 2 GiB, its headers were read
    // above and its certificate table ends at its end.
    const auto table_offset = static_cast<std::uint64_t>(reader->certificate_table_offset());
    const Bytes table =
        file.ReadBytes(table_offset, static_cast<std::size_t>(file.size() - table_offset));
    report.layout = ReadLayout(*reader, table);
    if (file.size() >= kTrailerSize) {
        report.trailer =
            ParseTrailer(file.ReadBytes(file.size() - kTrailerSize, kTrailerSize).data());
    }
    // The installer is not copied out: the reader has checked that its image
    // lies inside the file, and the stub's copy only moves those bytes, so a
    // copy would try the disk, not the package.
    const bool tagged = report.trailer && report.trailer->magic == kPackageMagic &&
                        (report.trailer->version == kPackageVersion1 ||
                         report.trailer->version == kPackageVersion2);
    std::vector<BlockPlacement> blocks;
    if (tagged) {
        blocks = BlocksOf(*report.trailer, *report.layout);
    }

    // One pass over the file for the identity, the checksum and the markers.
    PeChecksumSum checksum;
    package_writer::ArchiveMarkerScan markers;
    PackageScan scan;
    if (identity) {
        scan.identity = &*identity;
    }
    const bool checksum_wanted = whole_file && headers;
    if (checksum_wanted) {
        scan.checksum = &checksum;
    }
    if (!blocks.empty()) {
        scan.markers = &markers;
        scan.marker_start = static_cast<std::uint64_t>(std::clamp<std::int64_t>(
            blocks.front().position, 0, static_cast<std::int64_t>(file.size())));
    }
    scan.Run(file);
    if (identity) {
        report.stub_identity = identity->Finish();
    }
    if (checksum_wanted) {
        // The sum of every byte, less the CheckSum field's own.
        const std::uint64_t field =
            static_cast<std::uint64_t>(headers->nt_offset) + tag_writer::kChecksumOffset;
        report.layout->checksum_stored = headers->checksum;
        PeChecksumSum stored;
        stored.Add(file.ReadBytes(field, tag_writer::kChecksumSize).data(),
                   tag_writer::kChecksumSize, field);
        checksum.Subtract(stored);
        report.layout->checksum_computed = checksum.Checksum(file.size());
    }
    AddLayoutNotes(report, file, checksum_wanted);
    if (tagged) {
        report.blocks = std::move(blocks);
        AddBlockStartNote(report);
        AddArchiveMarkers(report, scan.marker_start, markers.Finish());
    }
    std::int32_t version = 0;
    Bytes parameters;
    if (!RunStep(report, "parameters", [&] { parameters = reader->ReadData(version); })) {
        return report;
    }
    report.parameters = parameters;
    AddBlockNotes(report);
    AddParameterNotes(report, file);
    if (version != kPackageVersion2) {
        report.tag_signature =
            CheckTagSignature(parameters, std::nullopt, std::nullopt, tag_public_key);
        return report;
    }
    // The stub checks the picture and the icon blocks as it writes them out,
    // so its own extraction writes them into tvkpack's scratch folder.
    ScratchFolder scratch;
    const fs::path picture = scratch.File("picture.bmp");
    bool written = false;
    if (!RunStep(report, "picture",
                 [&] { written = reader->ExtractPicture(ReaderPath(picture)); })) {
        return report;
    }
    report.picture_size =
        written ? ScratchFileSize(picture, "picture", report.trailer->picture_size) : 0;
    const std::optional<Sha256Digest> picture_digest = DigestOf(picture, written);
    const fs::path icon = scratch.File("ico.ico");
    if (!RunStep(report, "icon", [&] { written = reader->ExtractIco(ReaderPath(icon)); })) {
        return report;
    }
    report.icon_size = written ? ScratchFileSize(icon, "icon", report.trailer->icon_size) : 0;
    report.tag_signature =
        CheckTagSignature(parameters, DigestOf(icon, written), picture_digest, tag_public_key);
    return report;
}

namespace {

std::string MagicText(std::uint32_t magic) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(magic >> (8 * i));
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::string Line(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(std::max<std::size_t>(line.size() + 1, 26), ' ');
    return line + value + "\n";
}

std::string RelaxedMarkerCheckText(const std::optional<bool>& relaxed) {
    if (!relaxed) {
        return "unknown (the signature cannot be walked)";
    }
    const std::string attribute =
        "signed attribute " + std::string(package_writer::kRelaxedMarkerCheckOidText);
    return *relaxed ? "yes (" + attribute + ": Windows skips its archive marker check)"
                    : "no (no " + attribute + ": Windows checks the tag for archive markers)";
}

// The bytes of a marker as lower-case hexadecimal digits.
std::string HexBytes(std::string_view value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : value) {
        const auto byte = static_cast<std::uint8_t>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

std::string TagSignatureWord(TagSignatureState state) {
    switch (state) {
        case TagSignatureState::kUnsigned:
            return "unsigned";
        case TagSignatureState::kSigned:
            return "signed";
        case TagSignatureState::kValid:
            return "valid";
        case TagSignatureState::kInvalid:
            break;
    }
    return "invalid";
}

std::string TagSignatureText(const InspectReport::TagSignature& signature) {
    switch (signature.state) {
        case TagSignatureState::kUnsigned:
            return "none (the tag is not signed)";
        case TagSignatureState::kSigned:
            return "signed (give --tag-public-key to check it)";
        case TagSignatureState::kValid:
            return "valid (signed by the given key)";
        case TagSignatureState::kInvalid:
            break;
    }
    return "INVALID: " + signature.detail;
}

std::string Number(std::int64_t value) {
    return std::to_string(value) + " (" + Hex(static_cast<std::uint64_t>(value) & 0xFFFFFFFF) + ")";
}

}  // namespace

std::string FormatReport(const InspectReport& report) {
    std::string text = "Package '" + report.package + "': ";
    if (report.problem) {
        text += "the stub would fail (" + report.problem->step +
                "): " + ProblemText(*report.problem) + "\n";
    } else {
        text += "the stub would run it\n";
    }
    text += Line("file size", std::to_string(report.file_size) + " bytes");
    if (report.stub_identity) {
        text += Line("stub identity", *report.stub_identity);
    }
    if (report.layout) {
        const InspectReport::Layout& layout = *report.layout;
        text += Line("end of sections", Number(layout.installer_offset));
        text += Line("installer image", "offset " + Number(layout.installer_offset) + ", " +
                                            std::to_string(layout.installer_length) + " bytes");
        text += Line("certificate table", "offset " + Number(layout.certificate_table_offset) +
                                              ", size " +
                                              std::to_string(layout.certificate_table_size));
        text += Line("signature (dwLength)", std::to_string(layout.signature_length) + " bytes");
        text += Line("PE checksum", "stored " + Hex(layout.checksum_stored) + ", computed " +
                                        Hex(layout.checksum_computed));
        text += Line("tag placement", layout.tag_placement);
        text +=
            Line("outside the PKCS#7",
                 layout.pkcs7_end ? std::to_string(layout.bytes_outside_pkcs7) + " bytes (" +
                                        std::to_string(layout.nonzero_outside_pkcs7) + " not zero)"
                                  : std::string("unknown (the signature cannot be walked)"));
        const std::vector<std::string> objections = StrictVerifierObjections(layout);
        text += Line("strict verifiers", objections.empty() ? std::string("accept it as it stands")
                                                            : "refuse it: " + objections.front());
        for (std::size_t i = 1; i < objections.size(); ++i) {
            text += Line("", "and: " + objections[i]);
        }
        text += Line("relaxed marker check", RelaxedMarkerCheckText(layout.relaxed_marker_check));
    }
    if (report.trailer) {
        const PackageTrailer& t = *report.trailer;
        std::string fields = "magic \"" + MagicText(t.magic) + "\", version " +
                             std::to_string(t.version) + ", parameters size " +
                             std::to_string(t.params_size) + ", extra data offset " +
                             std::to_string(t.extra_data_offset);
        if (t.version == kPackageVersion2) {
            fields += ", icon size " + std::to_string(t.icon_size) + ", picture size " +
                      std::to_string(t.picture_size);
        }
        text += Line("trailer", fields);
    }
    for (const BlockPlacement& block : report.blocks) {
        text += Line(block.name + " block", "offset " + Number(block.position) + ", " +
                                                std::to_string(block.size) + " bytes");
    }
    if (report.parameters) {
        text +=
            Line("parameters", std::string(report.parameters->begin(), report.parameters->end()));
    }
    const auto file_line = [&](const char* label, const std::optional<std::uint64_t>& size) {
        if (size) {
            text += Line(label, *size == 0 ? std::string("none (the block is empty)")
                                           : std::to_string(*size) + " bytes");
        }
    };
    file_line("picture file", report.picture_size);
    file_line("icon file", report.icon_size);
    if (report.tag_signature) {
        text += Line("tag signature", TagSignatureText(*report.tag_signature));
    }
    for (const std::string& note : report.notes) {
        text += "  note: " + note + "\n";
    }
    for (const std::string& warning : MarkerWarnings(report)) {
        text += "  warning: " + warning + "\n";
    }
    if (report.layout && report.layout->relaxed_marker_check == true) {
        // Named as the warnings would name them, and told apart from them.
        const std::vector<InspectReport::MarkerFinding>& findings = report.archive_markers;
        for (std::size_t i = 0; i < findings.size() && i < package_writer::kMarkersNamed; ++i) {
            text += "  note: " + FindingHolder(findings[i]) + " holds \"" +
                    package_writer::MarkerText(*findings[i].marker) + "\" (" +
                    std::string(findings[i].marker->name) + ") at " + FindingPosition(findings[i]) +
                    "; the signature's relaxed-marker attribute makes Windows skip that check\n";
        }
        if (findings.size() > package_writer::kMarkersNamed) {
            text += "  note: the tag holds " +
                    std::to_string(findings.size() - package_writer::kMarkersNamed) +
                    " more archive or installer markers (inspect --json lists them)\n";
        }
    }
    return text;
}

std::string FormatReportJson(const InspectReport& report) {
    // Members in the order of the text report; sizes the stub did not reach
    // are null.
    using Json = nlohmann::ordered_json;
    const auto optional_size = [](const std::optional<std::uint64_t>& size) {
        return size ? Json(*size) : Json(nullptr);
    };
    Json json;
    json["package"] = report.package;
    json["file_size"] = report.file_size;
    json["stub_identity"] = report.stub_identity ? Json(*report.stub_identity) : Json(nullptr);
    json["stub_would_run"] = !report.problem;
    json["problem"] = nullptr;
    if (report.problem) {
        json["problem"] = {{"step", report.problem->step},
                           {"message", report.problem->message},
                           {"system_error_code", report.problem->system_error_code
                                                     ? Json(*report.problem->system_error_code)
                                                     : Json(nullptr)}};
    }
    json["layout"] = nullptr;
    if (report.layout) {
        const InspectReport::Layout& l = *report.layout;
        json["layout"] = {{"end_of_sections", l.installer_offset},
                          {"installer_offset", l.installer_offset},
                          {"installer_length", l.installer_length},
                          {"certificate_table_offset", l.certificate_table_offset},
                          {"certificate_table_size", l.certificate_table_size},
                          {"signature_length", l.signature_length},
                          {"checksum_stored", l.checksum_stored},
                          {"checksum_computed", l.checksum_computed},
                          {"tag_placement", l.tag_placement},
                          {"pkcs7_end", l.pkcs7_end ? Json(*l.pkcs7_end) : Json(nullptr)},
                          {"bytes_outside_pkcs7", l.bytes_outside_pkcs7},
                          {"nonzero_outside_pkcs7", l.nonzero_outside_pkcs7},
                          {"records_fill_table", l.records_fill_table},
                          {"strict_verifier_objections", StrictVerifierObjections(l)},
                          {"relaxed_marker_check",
                           l.relaxed_marker_check ? Json(*l.relaxed_marker_check) : Json(nullptr)}};
    }
    json["trailer"] = nullptr;
    if (report.trailer) {
        const PackageTrailer& t = *report.trailer;
        json["trailer"] = {
            {"icon_size", t.icon_size},     {"picture_size", t.picture_size},
            {"params_size", t.params_size}, {"extra_data_offset", t.extra_data_offset},
            {"version", t.version},         {"magic", MagicText(t.magic)}};
    }
    json["blocks"] = Json::array();
    for (const BlockPlacement& b : report.blocks) {
        json["blocks"].push_back({{"name", b.name}, {"offset", b.position}, {"size", b.size}});
    }
    json["parameters"] = nullptr;
    if (report.parameters) {
        json["parameters"] = std::string(report.parameters->begin(), report.parameters->end());
    }
    json["picture_file_size"] = optional_size(report.picture_size);
    json["icon_file_size"] = optional_size(report.icon_size);
    json["tag_signature"] = nullptr;
    if (report.tag_signature) {
        json["tag_signature"] = {{"state", TagSignatureWord(report.tag_signature->state)},
                                 {"detail", report.tag_signature->detail}};
    }
    json["notes"] = report.notes;
    json["archive_markers"] = Json::array();
    for (const InspectReport::MarkerFinding& finding : report.archive_markers) {
        json["archive_markers"].push_back(
            {{"value", package_writer::MarkerText(*finding.marker)},
             {"hex", HexBytes(finding.marker->value)},
             {"name", finding.marker->name},
             {"offset", finding.position},
             {"block", finding.block.empty() ? Json(nullptr) : Json(finding.block)},
             {"offset_in_block",
              finding.block.empty() ? Json(nullptr) : Json(finding.offset_in_block)}});
    }
    json["warnings"] = MarkerWarnings(report);
    // Text that is not UTF-8 (parameters as decoded, file names) is shown
    // with U+FFFD in place of the bytes that do not fit.
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace tvkpack
