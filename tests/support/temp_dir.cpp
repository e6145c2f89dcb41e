#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace test_support {

ScopedTempDir::ScopedTempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("tvk-test-" + std::to_string(random()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary test folder");
}

ScopedTempDir::~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring ScopedTempDir::WindowsFile(const std::string& name) const {
    return ToWindowsPath(File(name));
}

std::wstring ScopedTempDir::WindowsFolder() const {
    std::wstring folder = ToWindowsPath(path_);
    if (folder.empty() || folder.back() != L'\\') {
        folder.push_back(L'\\');
    }
    return folder;
}

std::vector<std::string> ScopedTempDir::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring ToWindowsPath(const std::filesystem::path& path) {
#ifdef _WIN32
    return std::filesystem::absolute(path).make_preferred().wstring();
#else
    return standin::ToWindowsPath(std::filesystem::absolute(path).string());
#endif
}

std::filesystem::path FromWindowsPath(const std::wstring& path) {
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    auto posix = standin::ToPosixPath(path);
    if (!posix) {
        throw std::runtime_error("not a path on this machine");
    }
    return *posix;
#endif
}

Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

Bytes PatternBytes(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::minstd_rand generator(seed);
    std::generate(bytes.begin(), bytes.end(),
                  [&] { return static_cast<std::uint8_t>(generator() >> 7); });
    return bytes;
}

}  // namespace test_support
