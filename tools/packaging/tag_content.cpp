#include "tools/packaging/tag_content.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "package/package_layout.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/json_check.h"

namespace packaging {

namespace {

using namespace package_layout;

// A block's largest size, as the stub checks it.
constexpr std::uint64_t kBlockLimit = static_cast<std::uint64_t>(kBlockSizeLimit);
// The start of an icon file (ICONDIR: reserved 0, type 1) and of a bitmap file.
constexpr std::uint8_t kIconStart[] = {0, 0, 1, 0};
constexpr std::uint8_t kBitmapStart[] = {'B', 'M'};

template <std::size_t N>
bool StartsWith(ByteView bytes, const std::uint8_t (&start)[N]) {
    return bytes.size() >= N && std::equal(start, start + N, bytes.begin());
}

}  // namespace

void CheckPackageSize(std::uint64_t size) {
    if (size >= kPackageSizeLimit) {
        throw CommandError("the package would be " + std::to_string(size) +
                           " bytes; a package must stay below 2 GiB (2147483648 bytes)");
    }
}

bool IsIconFile(ByteView bytes) {
    return StartsWith(bytes, kIconStart);
}

bool IsBitmapFile(ByteView bytes) {
    return StartsWith(bytes, kBitmapStart);
}

std::int32_t CheckTagContent(ByteView params_json, std::size_t icon_size, std::size_t picture_size,
                             std::optional<std::int32_t> version) {
    const bool has_branding = icon_size > 0 || picture_size > 0;
    const std::int32_t chosen =
        version.value_or(has_branding ? kPackageVersion2 : kPackageVersion1);
    if (chosen != kPackageVersion1 && chosen != kPackageVersion2) {
        throw CommandError("the package version must be 1 or 2");
    }
    if (chosen == kPackageVersion1 && has_branding) {
        throw CommandError("a version-1 package carries no icon or picture; use --version 2");
    }
    if (const std::string problem = CheckJson(std::string_view(
            reinterpret_cast<const char*>(params_json.data()), params_json.size()));
        !problem.empty()) {
        throw CommandError("the parameters are not valid JSON: " + problem);
    }
    const struct {
        const char* name;
        std::uint64_t size;
    } blocks[] = {{"parameters block (base64)", Base64EncodedSize(params_json.size())},
                  {"icon", icon_size},
                  {"picture", picture_size}};
    for (const auto& block : blocks) {
        if (block.size > kBlockLimit) {
            throw CommandError(std::string("the ") + block.name + " would be " +
                               std::to_string(block.size) +
                               " bytes; a block may be at most 20971520 bytes (20 MiB)");
        }
    }
    return chosen;
}

}  // namespace packaging
