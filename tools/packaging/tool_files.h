// The packaging tools' file handling: whole files in and out, an output
// that appears under its name only when it is complete, a scratch folder,
// and the paths that the stub's reader takes; and the error that tells a
// tool's user what is wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace packaging {

using Bytes = std::vector<std::uint8_t>;

// A failure a tool reports to its user; the message says what is wrong and
// with which file.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A path named on the command line (UTF-8) and back.
std::filesystem::path PathFromUtf8(const std::string& text);
std::string PathToUtf8(const std::filesystem::path& path);
// Wide text (UTF-16 on Windows, UTF-32 elsewhere) as UTF-8.
std::string Utf8FromWide(const std::wstring& text);

// The path as the stub's reader takes it: a full Windows path (on the
// stand-in, the host's root is drive Z:).
std::wstring ReaderPath(const std::filesystem::path& path);

// The size of a regular file. role names the file in messages ("stub",
// "installer", ...).
std::uint64_t SizeOfFile(const std::filesystem::path& path, const std::string& role);
// The whole file, refused when it is max_size bytes or longer.
Bytes ReadWholeFile(const std::filesystem::path& path, const std::string& role,
                    std::uint64_t max_size);

// Writes bytes under a temporary name in target's folder, hands that file to
// check (which throws to refuse it), and only then renames it to target,
// replacing what was there. On any failure the temporary file is removed and
// target is left as it was.
template <typename Check>
void WriteOutput(const std::filesystem::path& target, const Bytes& bytes, Check&& check);
void WriteOutput(const std::filesystem::path& target, const Bytes& bytes);

// A fresh folder of tvkpack's own in the system's temporary directory,
// removed with its contents when this goes.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::filesystem::path File(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// The temporary file WriteOutput writes; removed by its destructor unless
// it was renamed to the target.
class PendingOutput {
  public:
    PendingOutput(const std::filesystem::path& target, const Bytes& bytes);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::filesystem::path& path() const { return temporary_; }
    void Commit();

  private:
    // Removes the temporary file, if there is one.
    void Discard();

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool committed_ = false;
};

template <typename Check>
void WriteOutput(const std::filesystem::path& target, const Bytes& bytes, Check&& check) {
    PendingOutput output(target, bytes);
    check(output.path());
    output.Commit();
}

}  // namespace packaging
