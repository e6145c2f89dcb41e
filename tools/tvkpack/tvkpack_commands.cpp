#include "tools/tvkpack/tvkpack_commands.h"

#include <algorithm>
#include <exception>
#include <map>
#include <sstream>
#include <string_view>
#include <system_error>

#include "package/base64.h"
#include "package/pe_reader.h"
#include "platform/pe_format_exception.h"
#include "platform/windows_error_text.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tvkpack/base64_encode.h"
#include "tools/tvkpack/json_text.h"
#include "tools/tvkpack/pe_checksum.h"

namespace tvkpack {

namespace fs = std::filesystem;
using namespace package_layout;

namespace {

// WIN_CERTIFICATE records are 8-byte aligned; dwLength may leave out the
// padding behind the record.
constexpr std::uint32_t kCertificateAlignment = 8;
constexpr std::size_t kCertificateHeaderSize = 8;
// A block's largest size, as the stub checks it.
constexpr std::uint64_t kBlockLimit = static_cast<std::uint64_t>(kBlockSizeLimit);
// The start of an icon file (ICONDIR: reserved 0, type 1) and of a bitmap file.
constexpr std::uint8_t kIconStart[] = {0, 0, 1, 0};
constexpr std::uint8_t kBitmapStart[] = {'B', 'M'};

std::string Quoted(const fs::path& path) {
    return "'" + PathToUtf8(path) + "'";
}

std::uint32_t RoundUpToAlignment(std::uint32_t length) {
    return static_cast<std::uint32_t>((std::uint64_t{length} + kCertificateAlignment - 1) /
                                      kCertificateAlignment * kCertificateAlignment);
}

// Where the certificate table of an image lies, and its signature record.
struct CertificateTable {
    std::size_t nt_offset = 0;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t record_length = 0;  // dwLength
};

CertificateTable FindCertificateTable(const Bytes& image) {
    const package_writer::ImageHeaders headers = package_writer::ReadHeaders(image);
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
    if (table.size < kCertificateHeaderSize) {
        throw CommandError("its certificate table is too short for a signature");
    }
    table.record_length = ReadU32(image.data(), table.offset);
    if (table.record_length < kCertificateHeaderSize || table.record_length > table.size) {
        throw CommandError("its signature record does not lie inside its certificate table");
    }
    return table;
}

// The certificate table holds the signature record and at most the zero
// padding that aligns it, and nothing else.
bool HoldsOnlyTheSignature(const Bytes& image, const CertificateTable& table) {
    if (table.size > RoundUpToAlignment(table.record_length)) {
        return false;
    }
    const auto padding = image.begin() + table.offset + table.record_length;
    return std::all_of(padding, image.end(), [](std::uint8_t b) { return b == 0; });
}

bool EndsWithMagic(const Bytes& image) {
    return image.size() >= kTrailerSize &&
           ParseTrailer(image.data() + image.size() - kTrailerSize).magic == kPackageMagic;
}

// The checksum as a signing tool leaves it: recomputed, unless it was never
// set.
void RefreshChecksum(Bytes& image, std::size_t nt_offset, bool was_set) {
    if (was_set) {
        UpdatePeChecksum(image, nt_offset);
    }
}

void RequirePeFile(const Bytes& image, const char* role) {
    try {
        package_writer::ReadHeaders(image);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("the ") + role + " is not a PE file: " + error.what());
    }
}

template <std::size_t N>
bool StartsWith(const Bytes& bytes, const std::uint8_t (&start)[N]) {
    return bytes.size() >= N && std::equal(start, start + N, bytes.begin());
}

std::string Hex(std::uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << value;
    return text.str();
}

// The Windows text of a system error, as the stub shows it.
StubProblem SystemProblem(const char* step, const std::system_error& error) {
    const auto code = static_cast<std::uint32_t>(error.code().value());
    return {step, Utf8FromWide(GetWindowsErrorText(code)), code};
}

// Runs one of the stub's steps; a failure becomes the report's problem, with
// the text the stub's message box would show. Returns whether it passed.
template <typename Step>
bool RunStep(InspectReport& report, const char* step_name, Step&& step) {
    try {
        step();
        return true;
    } catch (const std::system_error& error) {
        report.problem = SystemProblem(step_name, error);
    } catch (const std::exception& error) {
        report.problem = StubProblem{step_name, error.what(), std::nullopt};
    }
    return false;
}

void AddBlockNotes(InspectReport& report) {
    const InspectReport::Layout& layout = *report.layout;
    const std::int64_t area_start = std::int64_t{layout.certificate_table_offset} +
                                    static_cast<std::int64_t>(layout.signature_length);
    for (const BlockPlacement& block : report.blocks) {
        if (block.size <= 0) {
            continue;
        }
        if (block.position < area_start) {
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
void AddParameterNotes(InspectReport& report, const Bytes& image) {
    const auto found = std::find_if(report.blocks.begin(), report.blocks.end(),
                                    [](const BlockPlacement& b) { return b.name == "parameters"; });
    if (found != report.blocks.end() && found->position >= 0 &&
        static_cast<std::uint64_t>(found->position) < image.size()) {
        const auto begin = image.begin() + found->position;
        const auto end = begin + std::min<std::int64_t>(found->size, image.end() - begin);
        const std::string text(begin, std::find(begin, end, std::uint8_t{0}));
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

void AddLayout(InspectReport& report, const PeReader& reader, const Bytes& image) {
    InspectReport::Layout layout;
    layout.installer_offset = reader.installer_offset();
    layout.installer_length = reader.installer_length();
    layout.certificate_table_offset = reader.certificate_table_offset();
    layout.certificate_table_size = reader.certificate_table_size();
    const auto table = static_cast<std::uint32_t>(layout.certificate_table_offset);
    if (image.size() >= std::size_t{table} + 4) {
        layout.signature_length = ReadU32(image.data(), table);
    }
    try {
        const auto nt = static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset);
        layout.checksum_stored = StoredPeChecksum(image, nt);
        layout.checksum_computed = ComputePeChecksum(image, nt + kChecksumOffset);
    } catch (const std::exception&) {
        // Headers the writer cannot walk: the checksum is not shown.
    }
    report.layout = layout;
    if (image.size() >= kTrailerSize) {
        report.trailer = ParseTrailer(image.data() + image.size() - kTrailerSize);
    }

    const auto installer = static_cast<std::size_t>(layout.installer_offset);
    if (installer + 2 > image.size() || image[installer] != 'M' || image[installer + 1] != 'Z') {
        report.notes.push_back(
            "the installer image does not start with 'MZ': Windows cannot start it");
    }
    if (layout.signature_length > static_cast<std::uint32_t>(layout.certificate_table_size)) {
        report.notes.push_back("the signature record is longer than the certificate table");
    }
    if (layout.checksum_stored != 0 && layout.checksum_stored != layout.checksum_computed) {
        report.notes.push_back("the PE checksum is stale");
    }
}

void AddBlocks(InspectReport& report) {
    const PackageTrailer& trailer = *report.trailer;
    const std::int32_t extra =
        Add32(report.layout->certificate_table_offset, trailer.extra_data_offset);
    if (trailer.version == kPackageVersion2) {
        report.blocks.push_back({"icon", extra, trailer.icon_size});
        report.blocks.push_back({"picture", Add32(extra, trailer.icon_size), trailer.picture_size});
        report.blocks.push_back({"parameters",
                                 Add32(Add32(extra, trailer.icon_size), trailer.picture_size),
                                 trailer.params_size});
    } else {
        report.blocks.push_back({"parameters", extra, trailer.params_size});
    }
    // tvkpack puts the blocks right behind the signature record and its
    // alignment padding.
    const auto extra_offset = static_cast<std::uint32_t>(trailer.extra_data_offset);
    if (extra_offset < report.layout->signature_length ||
        extra_offset > RoundUpToAlignment(report.layout->signature_length)) {
        report.notes.push_back(
            "the blocks do not start directly behind the signature record (extra data offset " +
            std::to_string(trailer.extra_data_offset) + ", dwLength " +
            std::to_string(report.layout->signature_length) + ")");
    }
}

std::uint64_t SizeOrZero(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

// The checks of the stub that a freshly tagged package must pass, with the
// tag read back through the stub's own operations.
void CheckWrittenPackage(const fs::path& file, const TagContent& content, std::int32_t version) {
    const InspectReport report = Inspect(file);
    if (report.problem) {
        throw CommandError("the stub would reject the result (" + report.problem->message +
                           "); nothing was written");
    }
    const bool same = report.parameters && *report.parameters == content.params_json &&
                      report.trailer && report.trailer->version == version &&
                      report.picture_size.value_or(0) == content.picture.size() &&
                      report.icon_size.value_or(0) == content.icon.size();
    if (!same) {
        throw CommandError(
            "the stub would read back something else than was tagged; nothing "
            "was written");
    }
}

}  // namespace

// ---------------------------------------------------------------------------

void CheckPackageSize(std::uint64_t size) {
    if (size >= kPackageSizeLimit) {
        throw CommandError("the package would be " + std::to_string(size) +
                           " bytes; a package must stay below 2 GiB (2147483648 bytes)");
    }
}

Bytes EmbedImage(const Bytes& stub, const Bytes& installer) {
    RequirePeFile(stub, "stub");
    RequirePeFile(installer, "installer");
    CheckPackageSize(std::uint64_t{stub.size()} + installer.size());
    try {
        return package_writer::Embed(stub, installer);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("cannot embed: ") + error.what());
    }
}

bool IsTagged(const Bytes& image) {
    const CertificateTable table = FindCertificateTable(image);
    return !HoldsOnlyTheSignature(image, table) && EndsWithMagic(image);
}

Bytes UntagImage(const Bytes& tagged) {
    const CertificateTable table = FindCertificateTable(tagged);
    if (HoldsOnlyTheSignature(tagged, table)) {
        throw CommandError("it carries no tag: its certificate table holds only the signature");
    }
    if (!EndsWithMagic(tagged) || table.size < kVersion1TrailerSize) {
        throw CommandError(
            "its certificate table holds more than the signature but no TVK trailer; tvkpack "
            "does not remove data it did not write");
    }
    // The tag began at the extra data offset: the certificate table's size
    // before tagging, the signature record and its alignment padding.
    const auto extra =
        ReadU32(tagged.data(), tagged.size() - kTrailerSize + kExtraDataOffsetOffset);
    if (extra < table.record_length || extra > RoundUpToAlignment(table.record_length) ||
        extra > table.size - kVersion1TrailerSize) {
        throw CommandError(
            "its tag does not begin right behind the signature record (extra data offset " +
            std::to_string(extra) + ", dwLength " + std::to_string(table.record_length) +
            "); tvkpack does not cut such a file");
    }
    const bool checksum_set = StoredPeChecksum(tagged, table.nt_offset) != 0;
    Bytes image(tagged.begin(), tagged.begin() + table.offset + extra);
    package_writer::SetSecurityDirectory(image, table.offset, extra);
    RefreshChecksum(image, table.nt_offset, checksum_set);
    return image;
}

TagOutcome TagImage(const Bytes& signed_or_tagged, const TagContent& content) {
    TagOutcome outcome;
    const bool has_branding = !content.icon.empty() || !content.picture.empty();
    outcome.version = content.version.value_or(has_branding ? kPackageVersion2 : kPackageVersion1);
    if (outcome.version != kPackageVersion1 && outcome.version != kPackageVersion2) {
        throw CommandError("the package version must be 1 or 2");
    }
    if (outcome.version == kPackageVersion1 && has_branding) {
        throw CommandError("a version-1 package carries no icon or picture; use --version 2");
    }
    if (const std::string problem = CheckJson(std::string_view(
            reinterpret_cast<const char*>(content.params_json.data()), content.params_json.size()));
        !problem.empty()) {
        throw CommandError("the parameters are not valid JSON: " + problem);
    }
    const std::uint64_t params_size = Base64EncodedSize(content.params_json.size());
    const struct {
        const char* name;
        std::uint64_t size;
    } blocks[] = {{"parameters block (base64)", params_size},
                  {"icon", content.icon.size()},
                  {"picture", content.picture.size()}};
    for (const auto& block : blocks) {
        if (block.size > kBlockLimit) {
            throw CommandError(std::string("the ") + block.name + " would be " +
                               std::to_string(block.size) +
                               " bytes; a block may be at most 20971520 bytes (20 MiB)");
        }
    }

    Bytes signed_image;
    const CertificateTable table = FindCertificateTable(signed_or_tagged);
    if (!HoldsOnlyTheSignature(signed_or_tagged, table)) {
        signed_image = UntagImage(signed_or_tagged);
        outcome.replaced_tag = true;
    } else {
        signed_image = signed_or_tagged;
    }
    const std::uint32_t stored = StoredPeChecksum(signed_image, table.nt_offset);
    if (stored != 0 &&
        stored != ComputePeChecksum(signed_image, table.nt_offset + kChecksumOffset)) {
        outcome.warnings.push_back(
            "the signed file's PE checksum was stale; untag will give back a correct checksum, "
            "so its result differs from the signed file in that field (the signature is not "
            "affected)");
    }

    package_writer::TagOptions options;
    options.version = outcome.version;
    options.params_base64 = Base64Encode(content.params_json);
    options.icon = content.icon;
    options.picture = content.picture;
    const std::uint64_t area =
        params_size + content.icon.size() + content.picture.size() +
        (outcome.version == kPackageVersion2 ? kTrailerSize : kVersion1TrailerSize);
    CheckPackageSize(signed_image.size() + area);
    outcome.package = package_writer::Tag(signed_image, options);
    RefreshChecksum(outcome.package, table.nt_offset, stored != 0);
    return outcome;
}

// ---------------------------------------------------------------------------

InspectReport Inspect(const fs::path& package) {
    InspectReport report;
    report.package = PathToUtf8(package);
    report.file_size = SizeOfFile(package, "package");
    const std::wstring path = ReaderPath(package);

    std::optional<PeReader> reader;
    if (!RunStep(report, "validation", [&] { reader.emplace(path); })) {
        return report;
    }
    // The validation passed, so the file is below 2 GiB.
    const Bytes image = ReadWholeFile(package, "package", kPackageSizeLimit);
    AddLayout(report, *reader, image);

    ScratchFolder scratch;
    if (!RunStep(report, "installer",
                 [&] { reader->ExtractInstaller(ReaderPath(scratch.File("installer.exe"))); })) {
        return report;
    }
    if (report.trailer && report.trailer->magic == kPackageMagic &&
        (report.trailer->version == kPackageVersion1 ||
         report.trailer->version == kPackageVersion2)) {
        AddBlocks(report);
    }
    std::int32_t version = 0;
    Bytes parameters;
    if (!RunStep(report, "parameters", [&] { parameters = reader->ReadData(version); })) {
        return report;
    }
    report.parameters = parameters;
    AddBlockNotes(report);
    AddParameterNotes(report, image);
    if (version != kPackageVersion2) {
        return report;
    }
    const fs::path picture = scratch.File("picture.bmp");
    bool written = false;
    if (!RunStep(report, "picture",
                 [&] { written = reader->ExtractPicture(ReaderPath(picture)); })) {
        return report;
    }
    report.picture_size = written ? SizeOrZero(picture) : 0;
    const fs::path icon = scratch.File("ico.ico");
    if (!RunStep(report, "icon", [&] { written = reader->ExtractIco(ReaderPath(icon)); })) {
        return report;
    }
    report.icon_size = written ? SizeOrZero(icon) : 0;
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

std::string TrimmedEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string Line(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(std::max<std::size_t>(line.size() + 1, 26), ' ');
    return line + value + "\n";
}

std::string Number(std::int64_t value) {
    return std::to_string(value) + " (" + Hex(static_cast<std::uint64_t>(value) & 0xFFFFFFFF) + ")";
}

}  // namespace

std::string FormatReport(const InspectReport& report) {
    std::string text = "Package '" + report.package + "': ";
    if (report.problem) {
        text += "the stub would fail (" + report.problem->step +
                "): " + TrimmedEnd(report.problem->message) + "\n";
    } else {
        text += "the stub would run it\n";
    }
    text += Line("file size", std::to_string(report.file_size) + " bytes");
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
    for (const std::string& note : report.notes) {
        text += "  note: " + note + "\n";
    }
    return text;
}

std::string FormatReportJson(const InspectReport& report) {
    std::ostringstream json;
    json << "{\n  \"package\": " << JsonString(report.package)
         << ",\n  \"file_size\": " << report.file_size
         << ",\n  \"stub_would_run\": " << (report.problem ? "false" : "true")
         << ",\n  \"problem\": ";
    if (report.problem) {
        json << "{\"step\": " << JsonString(report.problem->step)
             << ", \"message\": " << JsonString(report.problem->message)
             << ", \"system_error_code\": ";
        if (report.problem->system_error_code) {
            json << *report.problem->system_error_code;
        } else {
            json << "null";
        }
        json << "}";
    } else {
        json << "null";
    }
    json << ",\n  \"layout\": ";
    if (report.layout) {
        const InspectReport::Layout& l = *report.layout;
        json << "{\"end_of_sections\": " << l.installer_offset
             << ", \"installer_offset\": " << l.installer_offset
             << ", \"installer_length\": " << l.installer_length
             << ", \"certificate_table_offset\": " << l.certificate_table_offset
             << ", \"certificate_table_size\": " << l.certificate_table_size
             << ", \"signature_length\": " << l.signature_length
             << ", \"checksum_stored\": " << l.checksum_stored
             << ", \"checksum_computed\": " << l.checksum_computed << "}";
    } else {
        json << "null";
    }
    json << ",\n  \"trailer\": ";
    if (report.trailer) {
        const PackageTrailer& t = *report.trailer;
        json << "{\"icon_size\": " << t.icon_size << ", \"picture_size\": " << t.picture_size
             << ", \"params_size\": " << t.params_size
             << ", \"extra_data_offset\": " << t.extra_data_offset << ", \"version\": " << t.version
             << ", \"magic\": " << JsonString(MagicText(t.magic)) << "}";
    } else {
        json << "null";
    }
    json << ",\n  \"blocks\": [";
    for (std::size_t i = 0; i < report.blocks.size(); ++i) {
        const BlockPlacement& b = report.blocks[i];
        json << (i == 0 ? "" : ", ") << "{\"name\": " << JsonString(b.name)
             << ", \"offset\": " << b.position << ", \"size\": " << b.size << "}";
    }
    json << "],\n  \"parameters\": ";
    if (report.parameters) {
        json << JsonString(std::string(report.parameters->begin(), report.parameters->end()));
    } else {
        json << "null";
    }
    const auto optional_size = [&](const std::optional<std::uint64_t>& size) {
        if (size) {
            json << *size;
        } else {
            json << "null";
        }
    };
    json << ",\n  \"picture_file_size\": ";
    optional_size(report.picture_size);
    json << ",\n  \"icon_file_size\": ";
    optional_size(report.icon_size);
    json << ",\n  \"notes\": [";
    for (std::size_t i = 0; i < report.notes.size(); ++i) {
        json << (i == 0 ? "" : ", ") << JsonString(report.notes[i]);
    }
    json << "]\n}\n";
    return json.str();
}

// ---------------------------------------------------------------------------

void EmbedCommand(const fs::path& stub, const fs::path& installer, const fs::path& output) {
    const Bytes stub_image = ReadWholeFile(stub, "stub", kPackageSizeLimit);
    const Bytes installer_image = ReadWholeFile(installer, "installer", kPackageSizeLimit);
    Bytes package;
    try {
        package = EmbedImage(stub_image, installer_image);
    } catch (const CommandError& error) {
        throw CommandError("embed " + Quoted(stub) + " and " + Quoted(installer) + ": " +
                           error.what());
    }
    WriteOutput(output, package);
}

namespace {

Bytes ReadBlockFile(const fs::path& path, const char* role, std::uint64_t limit,
                    const char* limit_text = "a block may be at most 20971520 bytes (20 MiB)") {
    const std::uint64_t size = SizeOfFile(path, role);
    if (size > limit) {
        throw CommandError(std::string("the ") + role + " " + Quoted(path) + " is " +
                           std::to_string(size) + " bytes; " + limit_text);
    }
    return ReadWholeFile(path, role, limit + 1);
}

}  // namespace

TagOutcome TagCommand(const TagRequest& request) {
    const std::string what = "tag " + Quoted(request.input);
    // The input must already be a package the stub accepts; tagging touches
    // nothing the stub's validation looks at but the table's size.
    InspectReport validation;
    validation.file_size = SizeOfFile(request.input, "signed file");
    if (!RunStep(validation, "validation", [&] { PeReader reader(ReaderPath(request.input)); })) {
        throw CommandError(
            what + ": the stub would reject it: " + TrimmedEnd(validation.problem->message));
    }
    TagContent content;
    // The largest JSON file whose base64 text fits in a block.
    content.params_json =
        ReadBlockFile(request.params, "parameters file", kBlockLimit / 4 * 3,
                      "its base64 text would exceed the block limit: a block may be at most "
                      "20971520 bytes (20 MiB)");
    if (request.icon) {
        content.icon = ReadBlockFile(*request.icon, "icon", kBlockLimit);
        if (!StartsWith(content.icon, kIconStart)) {
            throw CommandError("the icon " + Quoted(*request.icon) + " is not an .ico file");
        }
    }
    if (request.picture) {
        content.picture = ReadBlockFile(*request.picture, "picture", kBlockLimit);
        if (!StartsWith(content.picture, kBitmapStart)) {
            throw CommandError("the picture " + Quoted(*request.picture) +
                               " is not a .bmp file (it does not start with 'BM')");
        }
    }
    content.version = request.version;
    const Bytes input = ReadWholeFile(request.input, "signed file", kPackageSizeLimit);
    TagOutcome outcome;
    try {
        outcome = TagImage(input, content);
    } catch (const CommandError& error) {
        throw CommandError(what + ": " + error.what());
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(what + ": " + error.what());
    }
    WriteOutput(request.output, outcome.package, [&](const fs::path& written) {
        CheckWrittenPackage(written, content, outcome.version);
    });
    return outcome;
}

void UntagCommand(const fs::path& input, const fs::path& output) {
    const Bytes tagged = ReadWholeFile(input, "package", kPackageSizeLimit);
    Bytes image;
    try {
        image = UntagImage(tagged);
    } catch (const CommandError& error) {
        throw CommandError("untag " + Quoted(input) + ": " + error.what());
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError("untag " + Quoted(input) + ": " + error.what());
    }
    WriteOutput(output, image);
}

// ---------------------------------------------------------------------------

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  tvkpack embed STUB INSTALLER -o OUT\n"
    "      puts the installer behind the stub's sections: the file to sign\n"
    "  tvkpack tag SIGNED -o OUT --params FILE.json [--icon FILE.ico]\n"
    "              [--picture FILE.bmp] [--version 1|2]\n"
    "      writes the parameters (and icon and picture) behind the signature;\n"
    "      a tagged package is re-tagged\n"
    "  tvkpack untag TAGGED -o OUT\n"
    "      gives back the signed file, e.g. for osslsigncode verify\n"
    "  tvkpack inspect PACKAGE [--json]\n"
    "      shows the layout and what the stub would do with the package\n"
    "exit status: 0 success, 1 failure (or a package the stub rejects), 2 wrong usage\n";

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A command's arguments: the positional ones and the options with values.
struct ParsedArguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool json = false;
};

ParsedArguments Parse(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& value_options, bool allow_json) {
    ParsedArguments parsed;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        if (argument == "--output") {
            argument = "-o";
        }
        if (allow_json && argument == "--json") {
            parsed.json = true;
            continue;
        }
        if (std::find(value_options.begin(), value_options.end(), argument) !=
            value_options.end()) {
            if (i + 1 >= arguments.size()) {
                throw UsageError(argument + " needs a value");
            }
            if (!parsed.options.emplace(argument, arguments[++i]).second) {
                throw UsageError(argument + " is given twice");
            }
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') {
            throw UsageError("unknown option " + argument + " for " + arguments[0]);
        }
        parsed.positional.push_back(argument);
    }
    return parsed;
}

void ExpectPositional(const ParsedArguments& parsed, std::size_t count, const char* names) {
    if (parsed.positional.size() != count) {
        throw UsageError(std::string("expected ") + names + ", got " +
                         std::to_string(parsed.positional.size()) + " file name(s)");
    }
}

fs::path Required(const ParsedArguments& parsed, const std::string& option) {
    const auto found = parsed.options.find(option);
    if (found == parsed.options.end()) {
        throw UsageError("missing " + option);
    }
    return PathFromUtf8(found->second);
}

std::optional<fs::path> Optional(const ParsedArguments& parsed, const std::string& option) {
    const auto found = parsed.options.find(option);
    return found == parsed.options.end() ? std::nullopt
                                         : std::optional<fs::path>(PathFromUtf8(found->second));
}

int Dispatch(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const std::string& command = arguments[0];
    if (command == "embed") {
        const ParsedArguments parsed = Parse(arguments, {"-o"}, false);
        ExpectPositional(parsed, 2, "STUB and INSTALLER");
        const fs::path output = Required(parsed, "-o");
        EmbedCommand(PathFromUtf8(parsed.positional[0]), PathFromUtf8(parsed.positional[1]),
                     output);
        out << "wrote " << PathToUtf8(output) << ": sign it, then tag it\n";
        return kExitSuccess;
    }
    if (command == "tag") {
        const ParsedArguments parsed =
            Parse(arguments, {"-o", "--params", "--icon", "--picture", "--version"}, false);
        ExpectPositional(parsed, 1, "SIGNED");
        TagRequest request;
        request.input = PathFromUtf8(parsed.positional[0]);
        request.output = Required(parsed, "-o");
        request.params = Required(parsed, "--params");
        request.icon = Optional(parsed, "--icon");
        request.picture = Optional(parsed, "--picture");
        if (const auto version = parsed.options.find("--version");
            version != parsed.options.end()) {
            if (version->second != "1" && version->second != "2") {
                throw UsageError("--version must be 1 or 2");
            }
            request.version = version->second == "1" ? kPackageVersion1 : kPackageVersion2;
            if (*request.version == kPackageVersion1 && (request.icon || request.picture)) {
                throw UsageError("--version 1 carries no icon or picture");
            }
        }
        const TagOutcome outcome = TagCommand(request);
        for (const std::string& warning : outcome.warnings) {
            err << "tvkpack: warning: " << warning << "\n";
        }
        out << "wrote " << PathToUtf8(request.output) << ": version " << outcome.version
            << " package" << (outcome.replaced_tag ? " (its former tag replaced)" : "") << "\n";
        return kExitSuccess;
    }
    if (command == "untag") {
        const ParsedArguments parsed = Parse(arguments, {"-o"}, false);
        ExpectPositional(parsed, 1, "TAGGED");
        const fs::path output = Required(parsed, "-o");
        UntagCommand(PathFromUtf8(parsed.positional[0]), output);
        out << "wrote " << PathToUtf8(output) << ": the signed file without its tag\n";
        return kExitSuccess;
    }
    if (command == "inspect") {
        const ParsedArguments parsed = Parse(arguments, {}, true);
        ExpectPositional(parsed, 1, "PACKAGE");
        const InspectReport report = Inspect(PathFromUtf8(parsed.positional[0]));
        out << (parsed.json ? FormatReportJson(report) : FormatReport(report));
        return report.problem ? kExitFailure : kExitSuccess;
    }
    throw UsageError("unknown command '" + command + "'");
}

}  // namespace

int RunTvkpack(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    if (arguments.empty()) {
        err << kUsage;
        return kExitUsage;
    }
    if (arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
        out << kUsage;
        return kExitSuccess;
    }
    try {
        return Dispatch(arguments, out, err);
    } catch (const UsageError& error) {
        err << "tvkpack: " << error.what() << "\nRun 'tvkpack --help' for usage.\n";
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        err << "tvkpack: out of memory\n";
    } catch (const std::exception& error) {
        err << "tvkpack: " << error.what() << "\n";
    }
    return kExitFailure;
}

}  // namespace tvkpack
