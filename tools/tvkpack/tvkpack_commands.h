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
// The steps on whole images in memory

// The unsigned package image: the installer behind the stub's last section,
// with its PE checksum computed. Refuses a stub or installer that is not a PE
// file, a stub with data behind its sections, with a section whose data lies
// beyond its end or with a certificate table, and a result of 2 GiB or more.
Bytes EmbedImage(const Bytes& stub, const Bytes& installer);

// Signing pads the file to 8 bytes before the certificate table, and the
// stub copies those zero bytes out as the end of the installer: the warning
// for a package of package_size bytes, or nothing when no padding is needed.
std::optional<std::string> SigningPaddingWarning(std::uint64_t installer_size,
                                                 std::uint64_t package_size);

struct TagOutcome {
    Bytes package;
    Bytes params_json;  // as the tag carries them (signed, with a key)
    std::int32_t version = 0;
    bool replaced_tag = false;          // the input was tagged already
    std::vector<std::string> warnings;  // for the user; nothing refused
};

// Tags a signed image (or re-tags a tagged one: its tag, of either
// placement, is removed first). The security directory's Size becomes the
// new table's and the PE checksum is computed afresh (a checksum of 0, "not
// set", stays 0).
TagOutcome TagImage(const Bytes& signed_or_tagged, const TagContent& content);

// Whether the image carries a tag of either placement.
bool IsTagged(const Bytes& image);

// The signed image again: the certificate table as signed and the checksum
// computed afresh (0 stays 0). For a package tagged by TagImage from a
// signed file whose checksum was correct or 0, the result is that file byte
// for byte.
Bytes UntagImage(const Bytes& tagged);

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
