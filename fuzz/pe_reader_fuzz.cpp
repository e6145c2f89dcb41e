// Any file: construction either yields a reader whose numbers describe a
// range inside the file, or fails with one of its exceptions; every block
// operation then either writes its file or fails cleanly. No handle stays
// open either way.
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "fuzz/fuzz_support.h"
#include "package/pe_reader.h"
#include "platform/pe_format_exception.h"
#include "standin/standin_controls.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <typename Operation>
void Attempt(Operation operation) {
    try {
        operation();
    } catch (const PeFormatException&) {
    } catch (const std::system_error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::Workspace workspace;
    workspace.Clear();
    const std::wstring path = workspace.WritePackage(data, size);
    const std::size_t handles = standin::OpenHandleCount();
    try {
        const PeReader reader(path);
        Check(reader.installer_length() > 0);
        Check(reader.installer_offset() >= 0);
        Check(static_cast<std::int64_t>(reader.installer_offset()) + reader.installer_length() ==
              reader.certificate_table_offset());
        Check(static_cast<std::size_t>(reader.certificate_table_offset()) +
                  static_cast<std::uint32_t>(reader.certificate_table_size()) ==
              size);
        Attempt([&] { reader.ExtractInstaller(workspace.OutputPath("installer.exe")); });
        Attempt([&] {
            std::int32_t version = 0;
            reader.ExtractParams(version, workspace.OutputPath("params.json"));
            Check(version == 1 || version == 2);
        });
        Attempt([&] { reader.ExtractPicture(workspace.OutputPath("picture.bmp")); });
        Attempt([&] { reader.ExtractIco(workspace.OutputPath("ico.ico")); });
    } catch (const PeFormatException&) {
    } catch (const std::system_error&) {
    }
    Check(standin::OpenHandleCount() == handles);
    return 0;
}
