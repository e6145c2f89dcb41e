#include "launcher/switches.h"

namespace {

constexpr std::wstring_view kSilentSwitch = L"/S";
constexpr std::wstring_view kParamsSwitch = L"/pi=";
constexpr std::wstring_view kIconSwitch = L"/ico=";
constexpr std::wstring_view kPictureSwitch = L"/pic=";

}  // namespace

Switches ScanSwitches(const std::vector<std::wstring>& arguments) {
    Switches switches;
    for (const std::wstring& argument : arguments) {
        if (argument == kSilentSwitch) {
            switches.silent = true;
        } else if (argument.starts_with(kParamsSwitch)) {
            switches.hand_over.params_named = true;
        } else if (argument.starts_with(kIconSwitch)) {
            switches.hand_over.icon_named = true;
        } else if (argument.starts_with(kPictureSwitch)) {
            switches.hand_over.picture_named = true;
        }
    }
    return switches;
}
