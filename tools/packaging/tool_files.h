// The packaging tools' file handling: small files read whole, files read by
// position, an output that appears under its name only when it is complete,
// a scratch folder, and the paths that the stub's reader takes; and the
// error that tells a tool's user what is wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/package_writer/package_writer.h"
#include "tools/packaging/system_file.h"

namespace packaging {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

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
// The whole file, refused when it is max_size bytes or longer: for the small
// files a tool reads whole (keys, parameters, icons, pictures), never for a
// package.
Bytes ReadWholeFile(const std::filesystem::path& path, const std::string& role,
                    std::uint64_t max_size);

// A file read by position (a package, a stub, an installer): it stays on
// disk and only what is asked for is read, so a tool's memory does not grow
// with it.
class InputFile final : public package_writer::ImageSource {
  public:
    // Throws CommandError when the file does not exist, is not a regular
    // file, or cannot be opened.
    InputFile(const std::filesystem::path& path, std::string role);

    std::uint64_t size() const override { return size_; }
    // Throws CommandError when the file cannot be read or ends before (it
    // became shorter while it was read).
    void Read(std::uint64_t position, std::span<std::uint8_t> bytes) const override;
    Bytes ReadBytes(std::uint64_t position, std::size_t count) const;
    // Ends the reading early: Windows renames no file over one that is open.
    void Close();

    const std::filesystem::path& path() const { return path_; }
    // A quoted name for messages: "the package 'setup.exe'".
    std::string Named() const;

  private:
    friend class PendingOutput;

    std::filesystem::path path_;
    std::string role_;
    SystemFile file_;
    std::uint64_t size_ = 0;
};

// Sees the bytes a copy moves, with their position in the output.
using CopyObserver = std::function<void(ByteView bytes, std::uint64_t position)>;

// A file written under a temporary name in its target's folder, which gets
// the target's name only when it is complete (and checked): a failure (a
// full disk, a file size limit, a check that refuses it) or a killed
// process never leaves a half-written file under the target's name, and a
// target that is also the input stays readable until the rename.
class PendingOutput {
  public:
    // Throws CommandError for a target that names no file or a folder, and
    // when no file can be made in its folder.
    explicit PendingOutput(const std::filesystem::path& target);
    // Removes the temporary file unless it was renamed to the target.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::filesystem::path& path() const { return temporary_; }

    void Write(std::uint64_t position, ByteView bytes);
    // Copies size bytes of from, from from_position on, to position here.
    // With observe, every byte passes through a buffer of bounded size and
    // observe sees it; without, the system copies what it can itself
    // (copy_file_range) and a buffer the rest.
    void Copy(const InputFile& from, std::uint64_t from_position, std::uint64_t size,
              std::uint64_t position, const CopyObserver& observe = nullptr);
    // Closes the file, so that it can be checked by its path; a write error
    // that the system reports only now is reported here.
    void Close();
    // Renames the finished file to the target, replacing what was there.
    void Commit();

  private:
    // Removes the temporary file, if there is one.
    void Discard();
    // A failed write, naming the target.
    [[noreturn]] void WriteFailed(const FileFailure& failure) const;

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    SystemFile file_;
    bool committed_ = false;
};

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

}  // namespace packaging
