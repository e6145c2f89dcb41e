#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "standin/standin_controls.h"

namespace fuzz_support {

Workspace::Workspace() {
    folder_ = (std::filesystem::temp_directory_path() / ("tvk-fuzz-" + std::to_string(getpid())))
                  .string();
    std::filesystem::create_directories(folder_);
}

std::wstring Workspace::WritePackage(const std::uint8_t* data, std::size_t size) {
    const std::string path = folder_ + "/package.exe";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return standin::ToWindowsPath(path);
}

std::wstring Workspace::OutputPath(const char* name) const {
    return standin::ToWindowsPath(folder_ + "/" + name);
}

std::wstring Workspace::Folder() const {
    return standin::ToWindowsPath(folder_ + "/");
}

void Workspace::Clear() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ignored)) {
        std::filesystem::remove(entry.path(), ignored);
    }
}

}  // namespace fuzz_support
