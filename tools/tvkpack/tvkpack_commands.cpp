#include "tools/tvkpack/tvkpack_commands.h"

#include <algorithm>
#include <exception>
#include <map>
#include <string_view>
#include <system_error>

#include "package/pe_reader.h"
#include "platform/pe_format_exception.h"
#include "tools/package_writer/package_writer.h"
#include "tools/package_writer/signature_tag.h"
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

// The table holds the signature record and at most the zero padding that
// aligns it, and nothing else.
bool HoldsOneRecord(const Bytes& table) {
    if (table.size() < kCertificateHeaderSize) {
        throw CommandError("its certificate table is too short for a signature");
    }
    const std::uint32_t record_length = ReadU32(table.data(), 0);
    if (record_length < kCertificateHeaderSize || record_length > table.size()) {
        throw CommandError("its signature record does not lie inside its certificate table");
    }
    if (table.size() > RoundUpToAlignment(record_length)) {
        return false;
    }
    return std::all_of(table.begin() + record_length, table.end(),
                       [](std::uint8_t b) { return b == 0; });
}

bool EndsWithMagic(const Bytes& table) {
    return table.size() >= kTrailerSize &&
           ParseTrailer(table.data() + table.size() - kTrailerSize).magic == kPackageMagic;
}

Bytes TableOf(const Bytes& image, const CertificateTable& table) {
    return Bytes(image.begin() + table.offset, image.end());
}

// The image with its certificate table replaced and the security
// directory's Size set to the new table's.
Bytes WithTable(const Bytes& image, const CertificateTable& table, const Bytes& new_table) {
    Bytes result(image.begin(), image.begin() + table.offset);
    result.insert(result.end(), new_table.begin(), new_table.end());
    package_writer::SetSecurityDirectory(result, table.offset,
                                         static_cast<std::uint32_t>(new_table.size()));
    return result;
}

// The extra data offset of a tag behind the signature: where the signed
// table ended, i.e. the signature record and its alignment padding.
std::uint32_t BehindTagStart(const Bytes& table) {
    const std::uint32_t record_length = ReadU32(table.data(), 0);
    if (!EndsWithMagic(table) || table.size() < kVersion1TrailerSize) {
        throw CommandError(
            "its certificate table holds more than the signature but no TVK trailer; tvkpack "
            "does not remove data it did not write");
    }
    const auto extra = ReadU32(table.data(), table.size() - kTrailerSize + kExtraDataOffsetOffset);
    if (extra < record_length || extra > RoundUpToAlignment(record_length) ||
        extra > table.size() - kVersion1TrailerSize) {
        throw CommandError(
            "its tag does not begin right behind the signature record (extra data offset " +
            std::to_string(extra) + ", dwLength " + std::to_string(record_length) +
            "); tvkpack does not cut such a file");
    }
    return extra;
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

// The checks of the stub that a freshly tagged package must pass, with the
// tag read back through the stub's own operations.
void CheckWrittenPackage(const fs::path& file, const TagContent& content, std::int32_t version) {
    const InspectReport report = Inspect(file);
    if (report.problem) {
        throw CommandError("the stub would reject the result (" + ProblemText(*report.problem) +
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

TableTag FindTableTag(const Bytes& table) {
    if (!HoldsOneRecord(table)) {
        BehindTagStart(table);  // throws unless a tag of ours lies behind the record
        return TableTag::kBehind;
    }
    if (package_writer::FindTagAttribute(table) &&
        package_writer::SignatureEnd(table) == table.size()) {
        return TableTag::kInside;
    }
    return TableTag::kNone;
}

Bytes SignedCertificateTable(const Bytes& table) {
    // A tag behind the signature may have been written over one inside it
    // (by a tool that did not know the newer placement); remove both.
    Bytes current = table;
    for (;;) {
        switch (FindTableTag(current)) {
            case TableTag::kNone:
                return current;
            case TableTag::kBehind:
                current.resize(BehindTagStart(current));
                break;
            case TableTag::kInside:
                try {
                    current = package_writer::RemoveTagAttribute(current);
                } catch (const package_writer::PackageWriterError& error) {
                    throw CommandError(std::string("cannot remove its tag: ") + error.what());
                }
                break;
        }
    }
}

bool IsTagged(const Bytes& image) {
    const CertificateTable table = FindCertificateTable(image);
    return FindTableTag(TableOf(image, table)) != TableTag::kNone;
}

Bytes UntagImage(const Bytes& tagged) {
    const CertificateTable table = FindCertificateTable(tagged);
    const Bytes tagged_table = TableOf(tagged, table);
    if (FindTableTag(tagged_table) == TableTag::kNone) {
        throw CommandError("it carries no tag: its certificate table holds only the signature");
    }
    const bool checksum_set = StoredPeChecksum(tagged, table.nt_offset) != 0;
    Bytes image = WithTable(tagged, table, SignedCertificateTable(tagged_table));
    RefreshChecksum(image, table.nt_offset, checksum_set);
    return image;
}

bool IsIconFile(const Bytes& bytes) {
    return StartsWith(bytes, kIconStart);
}

bool IsBitmapFile(const Bytes& bytes) {
    return StartsWith(bytes, kBitmapStart);
}

PreparedTag PrepareTag(const TagContent& content) {
    PreparedTag prepared;
    const bool has_branding = !content.icon.empty() || !content.picture.empty();
    prepared.version = content.version.value_or(has_branding ? kPackageVersion2 : kPackageVersion1);
    if (prepared.version != kPackageVersion1 && prepared.version != kPackageVersion2) {
        throw CommandError("the package version must be 1 or 2");
    }
    if (prepared.version == kPackageVersion1 && has_branding) {
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
    prepared.options.version = prepared.version;
    prepared.options.params_base64 = Base64Encode(content.params_json);
    prepared.options.icon = content.icon;
    prepared.options.picture = content.picture;
    prepared.options.placement = content.placement;
    return prepared;
}

TagOutcome TagImage(const Bytes& signed_or_tagged, const TagContent& content) {
    const PreparedTag prepared = PrepareTag(content);
    TagOutcome outcome;
    outcome.version = prepared.version;

    const CertificateTable table = FindCertificateTable(signed_or_tagged);
    const Bytes current_table = TableOf(signed_or_tagged, table);
    outcome.replaced_tag = FindTableTag(current_table) != TableTag::kNone;
    const Bytes signed_table = SignedCertificateTable(current_table);
    const Bytes signed_image = WithTable(signed_or_tagged, table, signed_table);
    const std::uint32_t stored = StoredPeChecksum(signed_image, table.nt_offset);
    if (stored != 0 &&
        stored != ComputePeChecksum(signed_image, table.nt_offset + kChecksumOffset)) {
        outcome.warnings.push_back(
            "the signed file's PE checksum was stale; untag will give back a correct checksum, "
            "so its result differs from the signed file in that field (the signature is not "
            "affected)");
    }

    // The blocks alone must leave room below 2 GiB before any is copied.
    const std::uint64_t blocks = prepared.options.params_base64.size() + content.icon.size() +
                                 content.picture.size() + kTrailerSize;
    CheckPackageSize(std::uint64_t{table.offset} + signed_table.size() + blocks);
    Bytes tagged_table;
    try {
        tagged_table = package_writer::TagCertificateTable(signed_table, prepared.options);
    } catch (const package_writer::PackageWriterError& error) {
        if (content.placement == package_writer::TagPlacement::kInsideSignature) {
            throw CommandError(std::string("cannot place the tag inside its signature (") +
                               error.what() + "); --placement behind puts it behind the signature");
        }
        throw;
    }
    CheckPackageSize(std::uint64_t{table.offset} + tagged_table.size());
    outcome.package = WithTable(signed_image, table, tagged_table);
    RefreshChecksum(outcome.package, table.nt_offset, stored != 0);
    return outcome;
}

// ---------------------------------------------------------------------------

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
    // The input must already be a package the stub accepts; tagging changes
    // nothing that the stub's validation looks at but the table's size.
    SizeOfFile(request.input, "signed file");
    if (const auto problem = ValidateAsTheStub(request.input)) {
        throw CommandError(what + ": the stub would reject it: " + ProblemText(*problem));
    }
    TagContent content;
    // The largest JSON file whose base64 text fits in a block.
    content.params_json =
        ReadBlockFile(request.params, "parameters file", kBlockLimit / 4 * 3,
                      "its base64 text would exceed the block limit: a block may be at most "
                      "20971520 bytes (20 MiB)");
    if (request.icon) {
        content.icon = ReadBlockFile(*request.icon, "icon", kBlockLimit);
        if (!IsIconFile(content.icon)) {
            throw CommandError("the icon " + Quoted(*request.icon) + " is not an .ico file");
        }
    }
    if (request.picture) {
        content.picture = ReadBlockFile(*request.picture, "picture", kBlockLimit);
        if (!IsBitmapFile(content.picture)) {
            throw CommandError("the picture " + Quoted(*request.picture) +
                               " is not a .bmp file (it does not start with 'BM')");
        }
    }
    content.version = request.version;
    content.placement = request.placement;
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
    "              [--picture FILE.bmp] [--version 1|2] [--placement inside|behind]\n"
    "      writes the parameters (and icon and picture) into the certificate table,\n"
    "      inside the signature (default) or behind it; a tagged package is re-tagged\n"
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
            Parse(arguments, {"-o", "--params", "--icon", "--picture", "--version", "--placement"},
                  false);
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
        if (const auto placement = parsed.options.find("--placement");
            placement != parsed.options.end()) {
            if (placement->second != "inside" && placement->second != "behind") {
                throw UsageError("--placement must be inside or behind");
            }
            request.placement = placement->second == "inside"
                                    ? package_writer::TagPlacement::kInsideSignature
                                    : package_writer::TagPlacement::kBehindSignature;
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
