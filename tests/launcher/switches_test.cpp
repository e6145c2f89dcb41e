#include "launcher/switches.h"

#include <gtest/gtest.h>

namespace {

TEST(ScanSwitches, FindsTheSwitchesExactlyAsWritten) {
    struct Case {
        const char* what_it_proves;
        std::vector<std::wstring> arguments;
        bool silent, params_named, picture_named, icon_named;
    };
    const Case kCases[] = {
        {"no arguments", {}, false, false, false, false},
        {"/S anywhere silences", {L"a", L"/S", L"b"}, true, false, false, false},
        {"/S in lower case is no switch", {L"/s"}, false, false, false, false},
        {"/S behind a dash is no switch", {L"-S", L"-/S"}, false, false, false, false},
        {"/S must be the whole argument", {L"/S1", L"/SILENT"}, false, false, false, false},
        {"/pi= with anything after it", {L"/pi=C:\\my.json"}, false, true, false, false},
        {"/pi= with nothing after it", {L"/pi="}, false, true, false, false},
        {"/PI= in upper case is no switch", {L"/PI=x"}, false, false, false, false},
        {"/pi without its equals sign is no switch", {L"/pi"}, false, false, false, false},
        {"/pic= names the picture, not the parameters", {L"/pic=a.bmp"}, false, false, true, false},
        {"/ico= names the icon", {L"/ico=a.ico"}, false, false, false, true},
        {"all at once", {L"/ico=", L"/S", L"/pic=", L"/pi="}, true, true, true, true},
        {"a quoted switch is still a switch once split",
         {L"/pi=\"a b\""},
         false,
         true,
         false,
         false},
    };
    for (const Case& test : kCases) {
        const Switches switches = ScanSwitches(test.arguments);
        EXPECT_EQ(switches.silent, test.silent) << test.what_it_proves;
        EXPECT_EQ(switches.hand_over.params_named, test.params_named) << test.what_it_proves;
        EXPECT_EQ(switches.hand_over.picture_named, test.picture_named) << test.what_it_proves;
        EXPECT_EQ(switches.hand_over.icon_named, test.icon_named) << test.what_it_proves;
    }
}

}  // namespace
