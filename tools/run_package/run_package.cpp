// run_package PACKAGE [ARGUMENT TEXT]
//
// Runs the stub's whole sequence on PACKAGE inside this program, as if
// PACKAGE were the stub's own file: for trying packages on machines that
// cannot start the 32-bit stub itself. The installer inside the package must
// be a program this machine can start. Failures that the stub would show in
// a message box are printed (natively, where no box can appear); the exit
// status is the stub's.
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>

#include "launcher/run_sequence.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

std::wstring FullPath(const char* path) {
    const std::filesystem::path full = std::filesystem::absolute(path);
#ifdef _WIN32
    return full.wstring();
#else
    return standin::ToWindowsPath(full.string());
#endif
}

std::wstring Widen(const std::string& text) {
    return std::filesystem::path(text).wstring();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: run_package PACKAGE [ARGUMENT TEXT]\n");
        return 2;
    }
    const std::wstring package = FullPath(argv[1]);
    const std::wstring argument_text = argc == 3 ? Widen(argv[2]) : std::wstring();
    const int status = RunSequence(argument_text.c_str(), [&] { return package; });
#ifndef _WIN32
    for (const auto& box : standin::MessageBoxes()) {
        std::printf("message box \"%ls\": %ls\n", box.caption.c_str(), box.text.c_str());
    }
#endif
    std::printf("exit status: %d\n", status);
    return status;
}
