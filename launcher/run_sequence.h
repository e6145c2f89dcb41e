// The stub's whole run, from its argument text to its exit status.
#pragma once

#include <functional>
#include <string>

// Splits the argument text, scans the switches, validates the stub's own
// file, extracts the installer and the files it reads into the temporary
// directory, runs the installer with the hand-over prefix followed by the
// argument text unchanged, and waits for it. Returns 0 when the installer
// ended with exit code 0 and 1 otherwise. Every failure is shown in a message
// box (none with "/S") and returns 1. argument_text may be null.
int RunSequence(const wchar_t* argument_text);

// Where the run finds its own executable file: GetCurrentExecutablePath in
// the product. Tests that run the sequence inside a test program hand in the
// path of a package instead; nothing a user controls can.
using OwnPathSource = std::function<std::wstring()>;
int RunSequence(const wchar_t* argument_text, const OwnPathSource& own_path_source);
