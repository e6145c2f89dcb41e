// A private folder for one fuzzing process, and package files in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// The process's own folder under the temporary directory, made on first use
// and emptied of everything but what the caller writes next.
class Workspace {
  public:
    Workspace();
    // Writes the bytes as the package file and returns its Windows path.
    std::wstring WritePackage(const std::uint8_t* data, std::size_t size);
    // A Windows path for an output file inside the folder.
    std::wstring OutputPath(const char* name) const;
    // The Windows path of the folder, ending in a backslash.
    std::wstring Folder() const;
    // Removes every file in the folder.
    void Clear();

  private:
    std::string folder_;
};

}  // namespace fuzz_support
