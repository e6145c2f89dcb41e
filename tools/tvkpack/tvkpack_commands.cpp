#include "tools/tvkpack/tvkpack_commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <string_view>
#include <system_error>

#include "package/pe_reader.h"
#include "platform/pe_format_exception.h"
#include "tools/download/package_manifest.h"
#include "tools/package_writer/package_writer.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/stub_identity.h"
#include "tools/packaging/stub_validation.h"
#include "tools/packaging/taggable_package.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/win_certificate.h"
#include "tools/tvkpack/package_copy.h"
#include "tools/tvkpack/release_info.h"

namespace tvkpack {

namespace fs = std::filesystem;
using namespace package_layout;
using namespace packaging;

namespace {

// A block's largest size, as the stub checks it.
constexpr std::uint64_t kBlockLimit = static_cast<std::uint64_t>(kBlockSizeLimit);

std::string Quoted(const fs::path& path) {
    return "'" + PathToUtf8(path) + "'";
}

package_writer::ImageHeaders RequirePeFile(const InputFile& file, const char* role) {
    try {
        return package_writer::ReadHeaders(file);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("the ") + role + " is not a PE file: " + error.what());
    }
}

// A file that a package is made of: below 2 GiB, as every package is.
void RequireBelowPackageLimit(const InputFile& file) {
    if (file.size() >= kPackageSizeLimit) {
        throw CommandError(file.Named() + " is too large (" + std::to_string(file.size()) +
                           " bytes)");
    }
}

// The checks of the stub that a freshly tagged package must pass, with the
// tag read back through the stub's own operations (which read its headers
// and its table, not the whole file); returns the report.
InspectReport CheckWrittenPackage(const fs::path& file, const TagContent& content,
                                  const Bytes& params_json, std::int32_t version) {
    const InspectReport report = Inspect(file, std::nullopt, InspectDepth::kStubReads);
    if (report.problem) {
        throw CommandError("the stub would reject the result (" + ProblemText(*report.problem) +
                           "); nothing was written");
    }
    const bool same = report.parameters && *report.parameters == params_json && report.trailer &&
                      report.trailer->version == version &&
                      report.picture_size.value_or(0) == content.picture.size() &&
                      report.icon_size.value_or(0) == content.icon.size();
    if (!same) {
        throw CommandError(
            "the stub would read back something else than was tagged; nothing "
            "was written");
    }
    return report;
}

// Runs step, with the failures it reports named by what (the command and
// its input).
template <typename Step>
auto InContext(const std::string& what, Step&& step) {
    try {
        return step();
    } catch (const CommandError& error) {
        throw CommandError(what + ": " + error.what());
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(what + ": " + error.what());
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(what + ": " + error.what());
    }
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<std::string> EmbedPackage(const InputFile& stub, const InputFile& installer,
                                      PendingOutput& output) {
    const package_writer::ImageHeaders headers = RequirePeFile(stub, "stub");
    RequirePeFile(installer, "installer");
    const std::uint64_t package_size = stub.size() + installer.size();
    CheckPackageSize(package_size);
    try {
        package_writer::CheckEmbedding(headers, stub.size(), installer.size());
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("cannot embed: ") + error.what());
    }
    // The stub's checksum does not cover the installer; the file to sign
    // carries its own, summed as the bytes pass.
    tag_writer::PeChecksumSum sum;
    const CopyObserver add = [&](ByteView bytes, std::uint64_t position) {
        sum.Add(bytes.data(), bytes.size(), position);
    };
    output.Copy(stub, 0, stub.size(), 0, add);
    output.Copy(installer, 0, installer.size(), stub.size(), add);
    const std::uint64_t field =
        static_cast<std::uint64_t>(headers.nt_offset) + tag_writer::kChecksumOffset;
    std::array<std::uint8_t, tag_writer::kChecksumSize> checksum{};
    tag_writer::WriteU32(checksum, 0, headers.checksum);
    tag_writer::PeChecksumSum stub_field;
    stub_field.Add(checksum.data(), checksum.size(), field);
    sum.Subtract(stub_field);
    tag_writer::WriteU32(checksum, 0, sum.Checksum(package_size));
    output.Write(field, checksum);

    std::vector<std::string> warnings;
    if (auto warning = SigningPaddingWarning(installer.size(), package_size)) {
        warnings.push_back(std::move(*warning));
    }
    return warnings;
}

std::optional<std::string> SigningPaddingWarning(std::uint64_t installer_size,
                                                 std::uint64_t package_size) {
    // Signing pads the file to the certificate record alignment.
    const std::uint64_t padding =
        tag_writer::RoundUpToCertificateRecord(package_size) - package_size;
    if (padding == 0) {
        return std::nullopt;
    }
    return "the installer is " + std::to_string(installer_size) +
           " bytes: signing pads the file to a multiple of 8 bytes before the certificate "
           "table, so the installer's copy will have " +
           std::to_string(padding) +
           " zero bytes behind its image (a signed installer is a multiple of 8 bytes and "
           "unaffected)";
}

TagOutcome TagPackage(const InputFile& signed_or_tagged, const TagContent& content,
                      PendingOutput& output) {
    const PreparedTag prepared = PrepareTag(content);
    TagOutcome outcome;
    outcome.version = prepared.version;
    outcome.params_json = prepared.params_json;

    const PackageInput input = ReadPackageInput(signed_or_tagged);
    outcome.replaced_tag = FindTableTag(input.table_bytes) != TableTag::kNone;
    Bytes signed_table = SignedCertificateTable(input.table_bytes);
    // The blocks alone must leave room below 2 GiB before any is copied.
    const std::uint64_t blocks = prepared.options.params_base64.size() + content.icon.size() +
                                 content.picture.size() + kTrailerSize;
    CheckPackageSize(std::uint64_t{input.table.offset} + signed_table.size() + blocks);
    std::optional<tag_writer::TagWriter> writer;
    std::optional<tag_writer::TablePieces> table;
    try {
        writer.emplace(std::move(signed_table), prepared.options.placement);
        table.emplace(writer->Pieces(prepared.options.blocks()));
    } catch (const tag_writer::TagWriterError& error) {
        if (content.placement == tag_writer::TagPlacement::kInsideSignature) {
            throw CommandError(std::string("cannot place the tag inside its signature (") +
                               error.what() + "); --placement behind puts it behind the signature");
        }
        throw;
    }
    CheckPackageSize(std::uint64_t{input.table.offset} + table->size());

    // Only a signed file's own checksum says what untag will give back, so
    // it is checked; a tagged file's was written for the tagged file by the
    // tag writer (tvkserve checks the same way).
    const auto gathered = WriteWithTable(
        input, *table, outcome.replaced_tag ? InputChecksum::kTrusted : InputChecksum::kGathered,
        output);
    if (gathered && !outcome.replaced_tag &&
        InputChecksumFrom(input, *gathered) != input.headers.checksum) {
        outcome.warnings.push_back(
            "the signed file's PE checksum was stale; untag will give back a correct checksum, "
            "so its result differs from the signed file in that field (the signature is not "
            "affected)");
    }
    return outcome;
}

void UntagPackage(const InputFile& tagged, PendingOutput& output) {
    const PackageInput input = ReadPackageInput(tagged);
    if (FindTableTag(input.table_bytes) == TableTag::kNone) {
        throw CommandError("it carries no tag: its certificate table holds only the signature");
    }
    const Bytes signed_table = SignedCertificateTable(input.table_bytes);
    tag_writer::TablePieces table(signed_table, {}, {});
    table.AppendShared(tag_writer::PieceSource::kSignedTable, 0, signed_table.size());
    WriteWithTable(input, table, InputChecksum::kTrusted, output);
}

// ---------------------------------------------------------------------------

std::vector<std::string> EmbedCommand(const fs::path& stub, const fs::path& installer,
                                      const fs::path& output) {
    InputFile stub_file(stub, "stub");
    RequireBelowPackageLimit(stub_file);
    InputFile installer_file(installer, "installer");
    RequireBelowPackageLimit(installer_file);
    PendingOutput written(output);
    const std::vector<std::string> warnings =
        InContext("embed " + Quoted(stub) + " and " + Quoted(installer),
                  [&] { return EmbedPackage(stub_file, installer_file, written); });
    // The output may be an input, which Windows renames nothing over while
    // it is open.
    stub_file.Close();
    installer_file.Close();
    written.Commit();
    return warnings;
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
    if (request.sign_key) {
        try {
            content.sign_key = TagSigningKey::Load(*request.sign_key);
        } catch (const CommandError& error) {
            throw CommandError("the tag key " + Quoted(*request.sign_key) + ": " + error.what());
        }
    }
    InputFile input(request.input, "signed file");
    PendingOutput output(request.output);
    TagOutcome outcome = InContext(what, [&] { return TagPackage(input, content, output); });
    output.Close();
    const InspectReport report =
        CheckWrittenPackage(output.path(), content, outcome.params_json, outcome.version);
    for (std::string& warning : MarkerWarnings(report)) {
        outcome.warnings.push_back(std::move(warning));
    }
    // The output may be the input, which Windows renames nothing over while
    // it is open.
    input.Close();
    output.Commit();
    return outcome;
}

void UntagCommand(const fs::path& input, const fs::path& output) {
    InputFile tagged(input, "package");
    PendingOutput written(output);
    InContext("untag " + Quoted(input), [&] { UntagPackage(tagged, written); });
    tagged.Close();
    written.Commit();
}

std::string TagKeyCommand(const fs::path& key) {
    std::unique_ptr<const TagSigningKey> loaded;
    try {
        loaded = TagSigningKey::Load(key);
    } catch (const CommandError& error) {
        throw CommandError("tag-key " + Quoted(key) + ": " + error.what());
    }
    const Bytes der = loaded->PublicKeyDer();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text =
        "/* The tag key's public key, DER SubjectPublicKeyInfo (" + std::to_string(der.size()) +
        " bytes), for tvk_verify_command_line. */\nstatic const unsigned char kTagKey[] = {";
    for (std::size_t i = 0; i < der.size(); ++i) {
        text += i % 12 == 0 ? "\n    " : " ";
        text += {'0', 'x', kHex[der[i] >> 4], kHex[der[i] & 0xF]};
        text += i + 1 < der.size() ? "," : "";
    }
    return text + "\n};\n\n" + loaded->PublicKeyPem();
}

std::string StubIdCommand(const fs::path& file) {
    const InputFile image(file, "file");
    RequireBelowPackageLimit(image);
    return InContext("stub-id " + Quoted(file), [&] { return StubIdentity(image); });
}

namespace {

// An open package as the package reading takes it: read by position,
// never held whole.
class PackageOnDisk : public PackageBytes {
  public:
    explicit PackageOnDisk(const InputFile& file) : file_(file) {}
    std::uint64_t size() const override { return file_.size(); }
    void ReadAt(std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const override {
        file_.Read(offset, std::span<std::uint8_t>(bytes, size));
    }
    fs::path CheckPath() const override { return file_.path(); }

  private:
    const InputFile& file_;
};

}  // namespace

std::vector<std::string> ManifestCommand(const fs::path& package, const fs::path& output) {
    const InputFile file(package, "package");
    RequireBelowPackageLimit(file);
    download::PackageManifest manifest;
    TaggablePackage taggable;
    Sha256Stream content;
    InContext("manifest " + Quoted(package), [&] {
        // The content hash is gathered in the reading's one pass.
        taggable = ReadTaggablePackage(
            PackageOnDisk(file), [&](std::span<const std::uint8_t> part) { content.Add(part); });
        manifest.stub_identity = StubIdentity(file);
    });
    const download::TagSource& source = *taggable.source;
    manifest.layout = source.layout();
    manifest.signed_table = source.signed_table();
    manifest.checksum_prefix_sum = source.prefix().words();
    manifest.content_hash = content.Finish();
    const std::string text = download::WriteManifest(manifest);
    // What an edge will read is checked before it gets its name.
    download::ManifestTagSource(download::ReadManifest(text));
    PendingOutput written(output);
    written.Write(0, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    written.Close();
    written.Commit();
    return taggable.warnings;
}

// ---------------------------------------------------------------------------

namespace {

constexpr char kSynopsis[] =
    "Synopsis:\n"
    "  tvkpack embed STUB INSTALLER -o OUT\n"
    "      puts the installer behind the stub's sections: the file to sign\n"
    "  tvkpack tag SIGNED -o OUT --params FILE.json [--icon FILE.ico]\n"
    "              [--picture FILE.bmp] [--version 1|2] [--placement inside|behind]\n"
    "              [--sign-key KEY.pem]\n"
    "      writes the parameters (and icon and picture) into the certificate table,\n"
    "      inside the signature (default) or behind it; a tagged package is re-tagged;\n"
    "      with --sign-key the tag is signed for the installer to check\n"
    "  tvkpack untag TAGGED -o OUT\n"
    "      gives back the signed file, e.g. for osslsigncode verify\n"
    "  tvkpack inspect PACKAGE [--json] [--tag-public-key KEY]\n"
    "      shows the layout and what the stub would do with the package, and\n"
    "      whether its tag is signed (and, with the key, whether that verifies)\n"
    "  tvkpack tag-key --key KEY.pem\n"
    "      prints a tag key's public key as a C array and as PEM\n"
    "  tvkpack stub-id FILE\n"
    "      prints the identity of the stub that a package (or a bare stub) carries\n"
    "  tvkpack manifest PACKAGE -o MANIFEST\n"
    "      writes what an edge needs to tag the package without reading its body\n"
    "  tvkpack --version\n"
    "      shows tvkpack's version and the stub it was released with\n"
    "Exit status: 0 success, 1 failure (or a package the stub rejects), 2 wrong usage\n";

// The help's first column: the longest option with its allowed values
// ("--placement TEXT:{inside,behind}") and a space.
constexpr std::size_t kHelpColumnWidth = 36;

// A command line that parsed but asks for what cannot be.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The command line, parsed by CLI11 into the values of every command's
// arguments.
struct CommandLine {
    CLI::App app{"tvkpack: builds, tags, untags and inspects packages for the stub.", "tvkpack"};
    CLI::App* embed = nullptr;
    CLI::App* tag = nullptr;
    CLI::App* untag = nullptr;
    CLI::App* inspect = nullptr;
    CLI::App* stub_id = nullptr;
    CLI::App* tag_key = nullptr;
    CLI::App* manifest = nullptr;
    std::string input;
    std::optional<std::string> sign_key;
    std::optional<std::string> tag_public_key;
    std::string key;
    std::string installer;
    std::string output;
    std::string params;
    std::optional<std::string> icon;
    std::optional<std::string> picture;
    std::optional<std::int32_t> version;
    std::string placement = "inside";
    bool json = false;

    CommandLine() {
        app.set_version_flag("--version", VersionText());
        app.require_subcommand(1);
        // Wide enough for the longest option with its values, so that each
        // option takes one line; the commands share the formatter.
        app.get_formatter()->column_width(kHelpColumnWidth);

        embed = app.add_subcommand("embed", "puts the installer behind the stub's sections");
        embed->add_option("STUB", input, "the stub executable")->required();
        embed->add_option("INSTALLER", installer, "the installer program")->required();
        embed->add_option("-o,--output", output, "the file to sign")->required();

        tag = app.add_subcommand("tag", "writes parameters, icon and picture into the signature");
        tag->add_option("SIGNED", input, "the signed (or tagged) package")->required();
        tag->add_option("-o,--output", output, "the tagged package")->required();
        tag->add_option("--params", params, "the parameters: a JSON file")->required();
        tag->add_option("--icon", icon, "an .ico file (version 2)");
        tag->add_option("--picture", picture, "a .bmp file (version 2)");
        tag->add_option("--version", version,
                        "the package version; default 2 with an icon or picture, else 1")
            ->check(CLI::IsMember({kPackageVersion1, kPackageVersion2}));
        tag->add_option("--placement", placement,
                        "where the tag lies: inside the signature (default) or behind it")
            ->check(CLI::IsMember({"inside", "behind"}));
        tag->add_option("--sign-key", sign_key,
                        "signs the tag with this RSA private key (PEM, 2048 bits or more)");

        untag = app.add_subcommand("untag", "gives back the signed file without its tag");
        untag->add_option("TAGGED", input, "the tagged package")->required();
        untag->add_option("-o,--output", output, "the signed file")->required();

        inspect = app.add_subcommand("inspect", "shows what the stub would do with a package");
        inspect->add_option("PACKAGE", input, "the package")->required();
        inspect->add_flag("--json", json, "the report as JSON");
        inspect->add_option("--tag-public-key", tag_public_key,
                            "checks the tag's signature with this public key (PEM or DER)");

        tag_key = app.add_subcommand("tag-key", "prints a tag key's public key for installers");
        tag_key->add_option("--key", key, "the RSA private key (PEM) that signs tags")->required();

        stub_id = app.add_subcommand("stub-id", "prints the identity of the stub a file carries");
        stub_id->add_option("FILE", input, "a package or a bare stub")->required();

        manifest = app.add_subcommand(
            "manifest", "writes what an edge needs to tag a package without its body");
        manifest->add_option("PACKAGE", input, "the signed (or tagged) package")->required();
        manifest->add_option("-o,--output", output, "the manifest (JSON)")->required();
        // Set last, so that the commands' own help does not repeat it.
        app.footer(kSynopsis);
    }

    // Whether the argument names a command rather than an option.
    bool IsCommandOrOption(const std::string& argument) const {
        if (argument.starts_with("-")) {
            return true;
        }
        const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
        return std::any_of(commands.begin(), commands.end(),
                           [&](const CLI::App* command) { return command->check_name(argument); });
    }

    // Parses the arguments (program name left out); throws CLI::ParseError.
    void Parse(const std::vector<std::string>& arguments) {
        // CLI11 takes the arguments last one first.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    }
};

std::optional<fs::path> OptionalPath(const std::optional<std::string>& text) {
    return text ? std::optional<fs::path>(PathFromUtf8(*text)) : std::nullopt;
}

int Dispatch(const CommandLine& line, std::ostream& out, std::ostream& err) {
    const fs::path input = PathFromUtf8(line.input);
    const fs::path output = PathFromUtf8(line.output);
    if (line.embed->parsed()) {
        const std::vector<std::string> warnings =
            EmbedCommand(input, PathFromUtf8(line.installer), output);
        for (const std::string& warning : warnings) {
            err << "tvkpack: warning: " << warning << "\n";
        }
        out << "wrote " << line.output << ": sign it, then tag it\n";
        return kExitSuccess;
    }
    if (line.tag->parsed()) {
        TagRequest request;
        request.input = input;
        request.output = output;
        request.params = PathFromUtf8(line.params);
        request.icon = OptionalPath(line.icon);
        request.picture = OptionalPath(line.picture);
        request.version = line.version;
        if (request.version == kPackageVersion1 && (request.icon || request.picture)) {
            throw UsageError("--version 1 carries no icon or picture");
        }
        request.sign_key = OptionalPath(line.sign_key);
        request.placement = line.placement == "behind" ? tag_writer::TagPlacement::kBehindSignature
                                                       : tag_writer::TagPlacement::kInsideSignature;
        const TagOutcome outcome = TagCommand(request);
        for (const std::string& warning : outcome.warnings) {
            err << "tvkpack: warning: " << warning << "\n";
        }
        out << "wrote " << line.output << ": version " << outcome.version
            << (request.sign_key ? " package, its tag signed" : " package")
            << (outcome.replaced_tag ? " (its former tag replaced)" : "") << "\n";
        return kExitSuccess;
    }
    if (line.untag->parsed()) {
        UntagCommand(input, output);
        out << "wrote " << line.output << ": the signed file without its tag\n";
        return kExitSuccess;
    }
    if (line.stub_id->parsed()) {
        out << StubIdCommand(input) << "\n";
        return kExitSuccess;
    }
    if (line.manifest->parsed()) {
        for (const std::string& warning : ManifestCommand(input, output)) {
            err << "tvkpack: warning: " << warning << "\n";
        }
        out << "wrote " << line.output << ": the package's manifest for an edge\n";
        return kExitSuccess;
    }
    if (line.tag_key->parsed()) {
        out << TagKeyCommand(PathFromUtf8(line.key));
        return kExitSuccess;
    }
    std::optional<Bytes> public_key;
    if (line.tag_public_key) {
        try {
            public_key = ReadTagPublicKey(PathFromUtf8(*line.tag_public_key));
        } catch (const CommandError& error) {
            throw CommandError("the public key '" + *line.tag_public_key + "': " + error.what());
        }
    }
    const InspectReport report = Inspect(input, public_key);
    out << (line.json ? FormatReportJson(report) : FormatReport(report));
    // With a key, a tag that does not verify is a failure too.
    const bool unverified = public_key && (!report.tag_signature || report.tag_signature->state !=
                                                                        TagSignatureState::kValid);
    return report.problem || unverified ? kExitFailure : kExitSuccess;
}

void ReportUsageError(const std::string& message, std::ostream& err) {
    err << "tvkpack: " << message << "\nRun 'tvkpack --help' for usage.\n";
}

}  // namespace

int RunTvkpack(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    CommandLine line;
    if (arguments.empty()) {
        err << line.app.help();
        return kExitUsage;
    }
    if (!line.IsCommandOrOption(arguments[0])) {
        ReportUsageError("unknown command '" + arguments[0] + "'", err);
        return kExitUsage;
    }
    try {
        line.Parse(arguments);
    } catch (const CLI::CallForVersion&) {
        out << VersionText();
        return kExitSuccess;
    } catch (const CLI::Success& help) {
        line.app.exit(help, out, err);
        return kExitSuccess;
    } catch (const CLI::ParseError& error) {
        ReportUsageError(error.what(), err);
        return kExitUsage;
    }
    try {
        return Dispatch(line, out, err);
    } catch (const UsageError& error) {
        ReportUsageError(error.what(), err);
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        err << "tvkpack: out of memory\n";
    } catch (const std::exception& error) {
        err << "tvkpack: " << error.what() << "\n";
    }
    return kExitFailure;
}

}  // namespace tvkpack
