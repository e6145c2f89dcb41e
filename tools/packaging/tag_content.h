// What a tag carries, checked as both packaging tools check it before the
// tag writer sees it: the version, the parameters (JSON, stored as base64),
// the icon and the picture, each block within the stub's limit, and the
// package below 2 GiB.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "tools/package_writer/package_writer.h"
#include "tools/packaging/tag_signature.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

// A package's size limit: every position in it is a signed 32-bit number.
constexpr std::uint64_t kPackageSizeLimit = 0x80000000;  // exclusive: 2 GiB

// Throws CommandError unless a package of size bytes is possible.
void CheckPackageSize(std::uint64_t size);

struct TagContent {
    Bytes params_json;  // stored as base64 text
    Bytes icon;         // version 2 only
    Bytes picture;      // version 2 only
    // 1 or 2; empty: 2 when there is an icon or a picture, else 1.
    std::optional<std::int32_t> version;
    // Inside the signature by default: strict signature checks accept the
    // tagged file as it stands.
    tag_writer::TagPlacement placement = tag_writer::TagPlacement::kInsideSignature;
    // The key that signs the tag (tag_signature.h), or none.
    std::shared_ptr<const TagSigningKey> sign_key{};
};

// Whether bytes start as an icon file (.ico) or a bitmap file (.bmp) does.
bool IsIconFile(ByteView bytes);
bool IsBitmapFile(ByteView bytes);

// The checks of a tag's content, on content held elsewhere: the version it
// makes (a version given, else 2 with an icon or a picture, else 1). Throws
// CommandError for a version other than 1 or 2, an icon or picture in
// version 1, parameters that are not JSON, or a block beyond the limit.
std::int32_t CheckTagContent(ByteView params_json, std::size_t icon_size, std::size_t picture_size,
                             std::optional<std::int32_t> version);

// A tag's content checked and turned into the tag writer's options.
struct PreparedTag {
    package_writer::TagOptions options;
    std::int32_t version = 0;
    Bytes params_json;  // as the tag carries them: signed, when a key signs it
};
PreparedTag PrepareTag(const TagContent& content);

}  // namespace packaging
