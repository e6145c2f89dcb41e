// run_memory_probe TEMP_FOLDER WARM_UP_PACKAGE PACKAGE
//
// Runs the stub's whole sequence inside this fresh process, once on
// WARM_UP_PACKAGE (so that the code, the stand-in and the runtime are
// resident) and then on PACKAGE, with TEMP_FOLDER as the temporary
// directory, and prints how far the process's resident memory rose during
// the second run: "START_KIB PEAK_KIB WARM_UP_STATUS STATUS", where START is
// the resident size just before the run and PEAK the high-water mark after
// it. Native builds on Linux only: it reads /proc/self/status.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "launcher/run_sequence.h"
#include "standin/standin_controls.h"

namespace {

// A "Name:   1234 kB" line of /proc/self/status, in KiB; -1 if missing.
long StatusKib(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(name);
    while (std::getline(status, line)) {
        if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
            return std::stol(line.substr(length + 1));
        }
    }
    return -1;
}

// Lets the high-water mark start again from the current resident size.
void ResetPeak() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5";
}

int RunOn(const char* package) {
    const std::wstring path = standin::ToWindowsPath(package);
    return RunSequence(L"exit=0", [&] { return path; });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: run_memory_probe TEMP_FOLDER WARM_UP_PACKAGE PACKAGE\n");
        return 2;
    }
    std::wstring temp = standin::ToWindowsPath(argv[1]);
    if (temp.empty() || temp.back() != L'\\') {
        temp.push_back(L'\\');
    }
    standin::SetTempPath(temp);

    const int warm_up_status = RunOn(argv[2]);
    ResetPeak();
    const long start = StatusKib("VmRSS");
    const int status = RunOn(argv[3]);
    const long peak = StatusKib("VmHWM");
    std::printf("%ld %ld %d %d\n", start, peak, warm_up_status, status);
    return 0;
}
