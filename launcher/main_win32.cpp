// The stub's Windows entry point: it makes DLL loading safe, then runs.
#include "launcher/run_sequence.h"
#include "platform/windows_api.h"

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32: load DLLs from the system folder only.
constexpr DWORD kSearchSystem32 = 0x00000800;

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// A stub started from a Downloads folder must not load a DLL planted beside
// it. SetDefaultDllDirectories is looked up at run time, since Vista and 7
// without updates lack it; there the stub runs on without it.
void RestrictDllSearchToSystemFolder() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return;
    }
    FARPROC found = GetProcAddress(kernel32, "SetDefaultDllDirectories");
    if (found == nullptr) {
        return;
    }
    // Through a generic function pointer type, as GetProcAddress's result
    // has a type of its own.
    auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(found));
    set_default_dll_directories(kSearchSystem32);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/, PWSTR argument_text,
                    int /*show_command*/) {
    RestrictDllSearchToSystemFolder();
    return RunSequence(argument_text);
}
