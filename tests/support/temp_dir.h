// A real folder for a test's files, removed with everything in it when the
// test ends, and the conversion of its paths to what the code under test
// sees (Windows paths; drive Z: on the stand-in).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

class ScopedTempDir {
  public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of a file in the folder, as the host sees it.
    std::filesystem::path File(const std::string& name) const { return path_ / name; }
    // The same, as the code under test sees it.
    std::wstring WindowsFile(const std::string& name) const;
    // The folder itself as the code under test sees it, ending in a backslash.
    std::wstring WindowsFolder() const;
    // The names of the files in the folder, sorted.
    std::vector<std::string> Names() const;

  private:
    std::filesystem::path path_;
};

std::wstring ToWindowsPath(const std::filesystem::path& path);
std::filesystem::path FromWindowsPath(const std::wstring& path);

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
// Deterministic, non-repeating test content.
Bytes PatternBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace test_support
