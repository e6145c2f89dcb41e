// The stub's own switches, found in one scan of the argument list.
#pragma once

#include <string>
#include <vector>

// Which hand-over files the user named on the command line; for each named
// kind the stub names none of its own to the installer.
struct HandOverFlags {
    bool params_named = false;   // an argument began with "/pi="
    bool picture_named = false;  // an argument began with "/pic="
    bool icon_named = false;     // an argument began with "/ico="
};

struct Switches {
    bool silent = false;  // "/S" as a whole argument: failures are not shown
    HandOverFlags hand_over;
};

// Compares code unit by code unit, case-sensitively. Every argument is still
// passed on to the installer unchanged; the scan only reads.
Switches ScanSwitches(const std::vector<std::wstring>& arguments);
