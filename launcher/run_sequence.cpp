#include "launcher/run_sequence.h"

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "launcher/hand_over.h"
#include "launcher/split_command_line.h"
#include "launcher/switches.h"
#include "package/pe_reader.h"
#include "platform/process.h"
#include "platform/temp_paths.h"
#include "platform/windows_api.h"
#include "platform/windows_error_text.h"

namespace {

constexpr wchar_t kCaptionWide[] = L"Error while running installer";
constexpr char kCaption[] = "Error while running installer";
// MB_ICONERROR with the single OK button.
constexpr UINT kBoxStyle = MB_OK | MB_ICONERROR;

// A system error shows only the system's text for its code, never its
// fixed message.
void ShowSystemError(const std::system_error& error) {
    const std::wstring text = GetWindowsErrorText(static_cast<std::uint32_t>(error.code().value()));
    MessageBoxW(nullptr, text.c_str(), kCaptionWide, kBoxStyle);
}

void ShowFailure(const std::exception& error) {
    MessageBoxA(nullptr, error.what(), kCaption, kBoxStyle);
}

int RunInstaller(const wchar_t* argument_text, const OwnPathSource& own_path_source, bool& silent) {
    const std::wstring text = argument_text != nullptr ? argument_text : L"";
    const std::vector<std::wstring> arguments = SplitCommandLine(argument_text);
    const Switches switches = ScanSwitches(arguments);
    silent = switches.silent;

    // The installer copy bears the stub's own file name, made unique.
    const std::wstring own_path = own_path_source();
    const std::wstring installer_copy = MakeTempFilePath(GetFileNameFromPath(own_path));

    const PeReader reader(own_path);
    reader.ExtractInstaller(installer_copy);
    // A failure from here until the CProcess exists leaves the installer
    // copy behind, with whatever hand-over files were written before it.
    const std::wstring prefix = PrepareInstallerArguments(reader, switches.hand_over);

    // The CProcess deletes the installer copy when it goes, also when Run
    // fails.
    CProcess installer(installer_copy);
    const std::uint32_t exit_code = installer.Run(prefix + text);
    return exit_code == 0 ? 0 : 1;
}

}  // namespace

int RunSequence(const wchar_t* argument_text) {
    return RunSequence(argument_text, GetCurrentExecutablePath);
}

int RunSequence(const wchar_t* argument_text, const OwnPathSource& own_path_source) {
    // Read only after the split: a failure to split is always shown.
    bool silent = false;
    try {
        return RunInstaller(argument_text, own_path_source, silent);
    } catch (const std::system_error& error) {
        if (!silent) {
            try {
                ShowSystemError(error);
            } catch (...) {
                // Out of memory for the text: the run has failed all the same.
            }
        }
    } catch (const std::exception& error) {
        if (!silent) {
            ShowFailure(error);
        }
    }
    return 1;
}
