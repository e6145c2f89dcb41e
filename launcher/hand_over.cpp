#include "launcher/hand_over.h"

#include <cstdint>

#include "package/package_layout.h"
#include "platform/temp_paths.h"

namespace {

constexpr wchar_t kParamsFileName[] = L"InstallerParams.json";
constexpr wchar_t kPictureFileName[] = L"picture.bmp";
constexpr wchar_t kIconFileName[] = L"ico.ico";

// One piece of the prefix: the switch, the path in double quotes exactly as
// it is (no escaping), and the space that closes the piece.
std::wstring Piece(const wchar_t* name_switch, const std::wstring& path) {
    return name_switch + (L'"' + path + L"\" ");
}

}  // namespace

std::wstring PrepareInstallerArguments(const PeReader& reader, const HandOverFlags& flags) {
    // The parameters file is written in every run, also when the user named
    // one: a package without a valid trailer ends the run here.
    std::int32_t version = 0;
    const std::wstring params_path = MakeTempFilePath(kParamsFileName);
    reader.ExtractParams(version, params_path);

    std::wstring prefix;
    if (!flags.params_named) {
        prefix += Piece(L"/pi=", params_path);
    }
    if (!flags.picture_named && version == package_layout::kPackageVersion2) {
        const std::wstring picture_path = MakeTempFilePath(kPictureFileName);
        if (reader.ExtractPicture(picture_path)) {
            prefix += Piece(L"/pic=", picture_path);
        }
    }
    if (!flags.icon_named && version == package_layout::kPackageVersion2) {
        const std::wstring icon_path = MakeTempFilePath(kIconFileName);
        if (reader.ExtractIco(icon_path)) {
            prefix += Piece(L"/ico=", icon_path);
        }
    }
    return prefix;
}
