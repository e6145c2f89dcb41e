// The tvkpack command: the command line to RunTvkpack, as UTF-8.
#include <iostream>
#include <string>
#include <vector>

#include "tools/packaging/tool_files.h"
#include "tools/tvkpack/tvkpack_commands.h"

#ifdef _WIN32
#include "platform/windows_api.h"

// Wide arguments, so that any file name reaches the command intact.
int wmain(int argc, wchar_t** argv) {
    // Parameters and file names are UTF-8 in the output.
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(packaging::Utf8FromWide(argv[i]));
    }
    return tvkpack::RunTvkpack(arguments, std::cout, std::cerr);
}
#else
#include <csignal>

int main(int argc, char** argv) {
    // A file size limit (ulimit -f) fails the write that reaches it rather
    // than ending the process, so that the unfinished output is removed.
    std::signal(SIGXFSZ, SIG_IGN);
    return tvkpack::RunTvkpack(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                               std::cerr);
}
#endif
