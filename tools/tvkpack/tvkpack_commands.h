// tvkpack: builds, tags, untags and inspects packages for the stub.
//
//   tvkpack embed STUB INSTALLER -o OUT
//   tvkpack tag SIGNED -o OUT --params FILE.json [--icon FILE.ico]
//               [--picture FILE.bmp] [--version 1|2]
//               [--sign-key KEY.pem]
//   tvkpack untag TAGGED -o OUT
//   tvkpack inspect PACKAGE [--json] [--tag-public-key KEY]
//   tvkpack tag-key --key KEY.pem
//   tvkpack stub-id FILE
//   tvkpack manifest PACKAGE -o MANIFEST
//   tvkpack --version
//
// Signing is left to the vendor's own tool between embed and tag: tvkpack
// never sees a private key. Tagging writes only into the certificate table
// behind the signature, which Authenticode leaves out of the signed hash, so
// one signed build can be tagged (re-branded) any number of times. Packages
// are validated and read with the stub's own PeReader, never a second parser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tools/packaging/tag_content.h"
#include "tools/packaging/tool_files.h"
#include "tools/tvkpack/package_report.h"

namespace tvkpack {

// What the commands take and throw, shared with the download server.
using packaging::Bytes;
using packaging::CommandError;
using packaging::TagContent;

// Exit statuses of the command.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // bad input, a failed step, or a package the stub rejects
constexpr int kExitUsage = 2;    // the command line itself is wrong

// ---------------------------------------------------------------------------
// The steps, streamed from file to file: each reads its inputs by position
// and writes output from position 0, so that memory depends on the headers,
// the certificate table and the tag, never on the package. The output is
// neither closed nor renamed here.

// Writes the unsigned package: the installer behind the stub's last section,
// copied through a bounded buffer, with its PE checksum computed on the way.
// Refuses a stub or installer that is not a PE file, a stub with data behind
// its sections, with a section whose data lies beyond its end or with a
// certificate table, and a result of 2 GiB or more. Returns the warnings for
// the user (nothing was refused).
std::vector<std::string> EmbedPackage(const packaging::InputFile& stub,
                                      const packaging::InputFile& installer,
                                      packaging::PendingOutput& output);

// Signing pads the file to 8 bytes before the certificate table, and the
// stub copies those zero bytes out as the end of the installer: the warning
// for a package of package_size bytes, or nothing when no padding is needed.
std::optional<std::string> SigningPaddingWarning(std::uint64_t installer_size,
                                                 std::uint64_t package_size);

struct TagOutcome {
    Bytes params_json;  // as the tag carries them (signed, with a key)
    std::int32_t version = 0;
    bool replaced_tag = false;          // the input was tagged already
    std::vector<std::string> warnings;  // for the user; nothing refused
};

// Tags a signed package (or re-tags a tagged one: its tag, of either
// placement, is removed first). Everything before the certificate table is
// copied unchanged but for the security directory's Size, which becomes the
// new table's, and the PE checksum (a checksum of 0, "not set", stays 0).
// A signed file's checksum is checked on the way (the bytes pass through a
// buffer then), since untag must give it back: a stale one gets a warning.
// A tagged file's is the tag writer's own, so the new one is composed from
// it without reading the bytes (which the system then copies itself).
TagOutcome TagPackage(const packaging::InputFile& signed_or_tagged, const TagContent& content,
                      packaging::PendingOutput& output);

// Writes the signed package again: the certificate table as signed and the
// checksum composed from the tagged file's (0 stays 0). For a package
// tagged from a signed file whose checksum was correct or 0, the result is
// that file byte for byte.
void UntagPackage(const packaging::InputFile& tagged, packaging::PendingOutput& output);

// ---------------------------------------------------------------------------
// The commands on files

// Returns the warnings for the user (nothing was refused).
std::vector<std::string> EmbedCommand(const std::filesystem::path& stub,
                                      const std::filesystem::path& installer,
                                      const std::filesystem::path& output);

struct TagRequest {
    std::filesystem::path input;
    std::filesystem::path output;
    std::filesystem::path params;
    std::optional<std::filesystem::path> icon;
    std::optional<std::filesystem::path> picture;
    std::optional<std::int32_t> version;
    tag_writer::TagPlacement placement = tag_writer::TagPlacement::kInsideSignature;
    std::optional<std::filesystem::path> sign_key;  // PEM RSA private key
};
// The output is checked with the stub's own reader before it gets its name.
TagOutcome TagCommand(const TagRequest& request);

// The commands' outputs are written beside them under a temporary name and
// renamed when complete; the output may be the input.

void UntagCommand(const std::filesystem::path& input, const std::filesystem::path& output);

// The public key of a tag-signing key, in the forms an installer needs: a C
// array of its DER SubjectPublicKeyInfo (for the verifier), and PEM.
std::string TagKeyCommand(const std::filesystem::path& key);

// The identity of the stub in a package or a bare stub (see stub_identity.h).
std::string StubIdCommand(const std::filesystem::path& file);

// What an edge needs to tag the package without reading its body, as
// tools/download/package_manifest.h describes it: the package is read and
// checked as the download server reads it, so the same package gives the
// same downloads and entity tags from either. Returns the warnings for the
// user (nothing was refused).
std::vector<std::string> ManifestCommand(const std::filesystem::path& package,
                                         const std::filesystem::path& output);

// The whole command line less the program name, as UTF-8 (parsed with
// CLI11). Writes results to out and errors to err; returns the exit status.
int RunTvkpack(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tvkpack
