#include "tools/download/package_manifest.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "package/base64.h"
#include "package/package_layout.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/tag_content.h"

namespace download {

namespace {

using packaging::CommandError;
using Json = nlohmann::ordered_json;

constexpr char kVersionMember[] = "tvk_package_manifest";
// How far the security directory's Size lies behind the CheckSum: both are
// fields of the one optional header.
constexpr std::size_t kFieldDistance =
    package_layout::kSecurityDirectorySizeOffset - tag_writer::kChecksumOffset;
constexpr std::size_t kHexDigestSize = 64;

std::string Hex(const Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

bool IsHexDigest(const std::string& text) {
    return text.size() == kHexDigestSize &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

Digest DigestOf(const std::string& hex) {
    Digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return digest;
}

[[noreturn]] void Wrong(const std::string& member, const std::string& problem) {
    throw CommandError("its manifest's " + member + " " + problem);
}

const Json& Required(const Json& manifest, const char* member) {
    const auto found = manifest.find(member);
    if (found == manifest.end()) {
        Wrong(member, "is missing");
    }
    return *found;
}

std::uint64_t Number(const Json& manifest, const char* member) {
    const Json& value = Required(manifest, member);
    if (!value.is_number_unsigned()) {
        Wrong(member, "is not a whole number");
    }
    return value.get<std::uint64_t>();
}

std::string Text(const Json& manifest, const char* member) {
    const Json& value = Required(manifest, member);
    if (!value.is_string()) {
        Wrong(member, "is not a string");
    }
    return value.get<std::string>();
}

}  // namespace

std::string WriteManifest(const PackageManifest& manifest) {
    Json json;
    json[kVersionMember] = kManifestVersion;
    json["file_size"] = manifest.layout.file_size;
    json["table_offset"] = manifest.layout.table_offset;
    json["checksum_offset"] = manifest.layout.checksum_offset;
    json["size_offset"] = manifest.layout.size_offset;
    json["checksum_set"] = manifest.layout.checksum_set;
    json["checksum_prefix_sum"] = manifest.checksum_prefix_sum;
    json["content_sha256"] = Hex(manifest.content_hash);
    json["stub_identity"] = manifest.stub_identity;
    json["signed_table"] = packaging::Base64Encode(manifest.signed_table);
    return json.dump() + "\n";
}

PackageManifest ReadManifest(std::string_view text) {
    Json json;
    try {
        json = Json::parse(text.begin(), text.end());
    } catch (const Json::exception& error) {
        throw CommandError(std::string("its manifest is not JSON: ") + error.what());
    }
    if (!json.is_object() || !json.contains(kVersionMember)) {
        throw CommandError("it is not a package manifest (no member \"" +
                           std::string(kVersionMember) + "\")");
    }
    if (json[kVersionMember] != kManifestVersion) {
        throw CommandError("its manifest is of version " + json[kVersionMember].dump() +
                           "; this reader takes version " + std::to_string(kManifestVersion));
    }
    static constexpr const char* kMembers[] = {
        kVersionMember,        "file_size",      "table_offset",  "checksum_offset",
        "size_offset",         "checksum_set",   "checksum_prefix_sum",
        "content_sha256",      "stub_identity",  "signed_table"};
    for (const auto& [name, value] : json.items()) {
        if (std::find(std::begin(kMembers), std::end(kMembers), name) == std::end(kMembers)) {
            throw CommandError("its manifest has an unknown member \"" + name + "\"");
        }
    }

    PackageManifest manifest;
    TagLayout& layout = manifest.layout;
    layout.file_size = Number(json, "file_size");
    packaging::CheckPackageSize(layout.file_size);
    layout.table_offset = Number(json, "table_offset");
    const std::uint64_t checksum_offset = Number(json, "checksum_offset");
    const std::uint64_t size_offset = Number(json, "size_offset");
    if (checksum_offset < package_layout::kDosHeaderSize ||
        size_offset != checksum_offset + kFieldDistance ||
        size_offset + kTagFieldSize > layout.table_offset) {
        throw CommandError(
            "its manifest's checksum_offset and size_offset are not the fields of one header "
            "in front of the table");
    }
    layout.checksum_offset = static_cast<std::size_t>(checksum_offset);
    layout.size_offset = static_cast<std::size_t>(size_offset);
    const Json& checksum_set = Required(json, "checksum_set");
    if (!checksum_set.is_boolean()) {
        Wrong("checksum_set", "is not true or false");
    }
    layout.checksum_set = checksum_set.get<bool>();

    // Every word before the table is at most 0xFFFF.
    manifest.checksum_prefix_sum = Number(json, "checksum_prefix_sum");
    if (manifest.checksum_prefix_sum > 0xFFFF * ((layout.table_offset + 1) / 2)) {
        Wrong("checksum_prefix_sum", "is larger than the bytes before the table can sum to");
    }
    const std::string content = Text(json, "content_sha256");
    if (!IsHexDigest(content)) {
        Wrong("content_sha256", "is not a SHA-256 in lower-case hexadecimal");
    }
    manifest.content_hash = DigestOf(content);
    manifest.stub_identity = Text(json, "stub_identity");
    if (!IsHexDigest(manifest.stub_identity)) {
        Wrong("stub_identity", "is not a stub identity (64 hexadecimal digits)");
    }

    const std::string table_text = Text(json, "signed_table");
    manifest.signed_table = Base64Decode(table_text);
    if (manifest.signed_table.empty() ||
        packaging::Base64Encode(manifest.signed_table) != table_text) {
        Wrong("signed_table", "is not base64");
    }
    if (manifest.signed_table.size() > layout.file_size - layout.table_offset ||
        layout.table_offset >= layout.file_size) {
        throw CommandError("its manifest's signed table does not fit behind table_offset in "
                           "file_size bytes");
    }
    return manifest;
}

std::unique_ptr<const TagSource> ManifestTagSource(const PackageManifest& manifest) {
    return std::make_unique<const TagSource>(
        manifest.layout, manifest.signed_table,
        tag_writer::PeChecksumSum::FromWords(manifest.checksum_prefix_sum));
}

}  // namespace download
