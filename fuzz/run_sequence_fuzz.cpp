// The whole run on any package: it ends with exit status 0 or 1, shows at
// most one failure, and leaves no handle open. Starting the installer is
// faked (made to fail as for a file that is no program): fuzzed bytes are
// never executed.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "launcher/run_sequence.h"
#include "standin/standin_controls.h"

namespace {

// ERROR_BAD_EXE_FORMAT, what Windows says for a file that is no program.
constexpr DWORD kNotAProgram = 193;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::Workspace workspace;
    workspace.Clear();
    const std::wstring package = workspace.WritePackage(data, size);
    standin::ScopedControls controls;
    standin::SetTempPath(workspace.Folder());
    standin::FailNthCall(standin::Operation::CreateProcessW, 1, kNotAProgram);
    const std::size_t handles = standin::OpenHandleCount();
    const std::size_t blocks = standin::OpenLocalAllocationCount();

    // The first byte decides whether the run is silent; it is part of the
    // package all the same.
    const bool silent = size > 0 && (data[0] & 1) != 0;
    const int status =
        RunSequence(silent ? L"/pi=x \"a b\" /S" : L"/ico=y \"a b\"", [&] { return package; });

    // The installer never starts, so every run fails: shown once, or not at
    // all with "/S".
    if (status != 1 || standin::MessageBoxes().size() != (silent ? 0u : 1u)) {
        std::abort();
    }
    if (standin::OpenHandleCount() != handles || standin::OpenLocalAllocationCount() != blocks) {
        std::abort();
    }
    return 0;
}
