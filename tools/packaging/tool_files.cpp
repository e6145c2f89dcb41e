#include "tools/packaging/tool_files.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace packaging {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) {
    return "'" + PathToUtf8(path) + "'";
}

std::string ReasonOf(const std::error_code& error) {
    return error ? error.message() : std::string("unknown error");
}

// The buffer through which a copy passes when the system cannot copy by
// itself or the bytes are to be seen (a checksum taken on the way).
constexpr std::size_t kCopyBufferSize = 1 << 20;

bool AllZero(std::span<const std::uint8_t> bytes) {
    // Every byte equals the one before it, and the first is zero.
    return !bytes.empty() && bytes[0] == 0 &&
           std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0;
}

std::string RandomSuffix() {
    std::random_device random;
    return std::to_string(random()) + std::to_string(random());
}

}  // namespace

fs::path PathFromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto code = static_cast<std::uint32_t>(text[i]);
        // UTF-16 surrogate pairs (Windows); a lone surrogate becomes U+FFFD.
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() &&
            static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<std::uint32_t>(text[i + 1]) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) +
                   (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::wstring ReaderPath(const fs::path& path) {
    const fs::path full = fs::absolute(path);
#ifdef _WIN32
    return full.wstring();
#else
    return standin::ToWindowsPath(full.string());
#endif
}

std::uint64_t SizeOfFile(const fs::path& path, const std::string& role) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        throw CommandError("the " + role + " " + Quoted(path) + " does not exist");
    }
    if (!fs::is_regular_file(status)) {
        throw CommandError("the " + role + " " + Quoted(path) + " is not a file");
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) {
        throw CommandError("cannot read the " + role + " " + Quoted(path) + ": " + ReasonOf(error));
    }
    return size;
}

Bytes ReadWholeFile(const fs::path& path, const std::string& role, std::uint64_t max_size) {
    const std::uint64_t size = SizeOfFile(path, role);
    if (size >= max_size) {
        throw CommandError("the " + role + " " + Quoted(path) + " is too large (" +
                           std::to_string(size) + " bytes)");
    }
    std::ifstream in(path, std::ios::binary);
    Bytes bytes(static_cast<std::size_t>(size));
    if (!in || !in.read(reinterpret_cast<char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()))) {
        throw CommandError("cannot read the " + role + " " + Quoted(path));
    }
    return bytes;
}

InputFile::InputFile(const fs::path& path, std::string role) : path_(path), role_(std::move(role)) {
    SizeOfFile(path_, role_);  // a missing file, a folder
    try {
        file_ = SystemFile::OpenToRead(path_);
        size_ = file_.Size();
    } catch (const FileFailure& failure) {
        throw CommandError("cannot open the " + role_ + " " + Quoted(path_) + ": " +
                           failure.what());
    }
}

std::string InputFile::Named() const {
    return "the " + role_ + " " + Quoted(path_);
}

void InputFile::Read(std::uint64_t position, std::span<std::uint8_t> bytes) const {
    std::size_t got = 0;
    try {
        got = file_.ReadAt(position, bytes);
    } catch (const FileFailure& failure) {
        throw CommandError("cannot read " + Named() + ": " + failure.what());
    }
    if (got != bytes.size()) {
        throw CommandError(Named() + " became shorter while it was read");
    }
}

Bytes InputFile::ReadBytes(std::uint64_t position, std::size_t count) const {
    Bytes bytes(count);
    Read(position, bytes);
    return bytes;
}

void InputFile::Close() {
    if (file_.is_open()) {
        try {
            file_.Close();
        } catch (const FileFailure&) {
            // Nothing was written through it.
        }
    }
}

PendingOutput::PendingOutput(const fs::path& target) : target_(target) {
    if (target.filename().empty()) {
        throw CommandError("the output " + Quoted(target) + " names no file");
    }
    std::error_code error;
    if (fs::is_directory(target, error)) {
        throw CommandError("the output " + Quoted(target) + " is a folder");
    }
    // Next to the target, so that the rename stays on one file system.
    fs::path candidate = target;
    candidate += ".tvkpack-" + RandomSuffix() + ".tmp";
    try {
        file_ = SystemFile::CreateNew(candidate);
    } catch (const FileFailure& failure) {
        throw CommandError(
            "cannot create a file in the output's folder " +
            Quoted(target.parent_path().empty() ? fs::path(".") : target.parent_path()) + ": " +
            failure.what());
    }
    temporary_ = candidate;
}

PendingOutput::~PendingOutput() {
    if (!committed_) {
        Discard();
    }
}

void PendingOutput::Discard() {
    if (file_.is_open()) {
        try {
            file_.Close();
        } catch (const FileFailure&) {
            // The file goes anyway.
        }
    }
    if (!temporary_.empty()) {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
        temporary_.clear();
    }
}

void PendingOutput::WriteFailed(const FileFailure& failure) const {
    throw CommandError("cannot write the output next to " + Quoted(target_) + ": " +
                       failure.what());
}

void PendingOutput::Write(std::uint64_t position, ByteView bytes) {
    try {
        file_.WriteAt(position, bytes);
    } catch (const FileFailure& failure) {
        WriteFailed(failure);
    }
}

void PendingOutput::Copy(const InputFile& from, std::uint64_t from_position, std::uint64_t size,
                         std::uint64_t position, const CopyObserver& observe) {
    std::uint64_t done = 0;
    if (!observe) {
        try {
            done = from.file_.CopyTo(from_position, size, file_, position);
        } catch (const FileFailure& failure) {
            throw CommandError("cannot copy " + from.Named() + " to the output next to " +
                               Quoted(target_) + ": " + failure.what());
        }
    }
    Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kCopyBufferSize)));
    bool last_skipped = false;
    while (done < size) {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
        const std::span<std::uint8_t> piece(buffer.data(), count);
        from.Read(from_position + done, piece);
        if (observe) {
            observe(piece, position + done);
        }
        // A new file reads as zeros where nothing was written: zeros are
        // left out, so that a hole stays a hole (as cp leaves it).
        last_skipped = AllZero(piece);
        if (!last_skipped) {
            Write(position + done, piece);
        }
        done += count;
    }
    if (last_skipped) {
        // The copy must reach its end all the same.
        const std::uint8_t zero = 0;
        Write(position + size - 1, ByteView(&zero, 1));
    }
}

void PendingOutput::Close() {
    if (file_.is_open()) {
        try {
            file_.Close();
        } catch (const FileFailure& failure) {
            WriteFailed(failure);
        }
    }
}

void PendingOutput::Commit() {
    Close();
    std::error_code error;
    fs::rename(temporary_, target_, error);
    if (error) {
        throw CommandError("cannot rename the finished output to " + Quoted(target_) + ": " +
                           ReasonOf(error));
    }
    committed_ = true;
}

ScratchFolder::ScratchFolder() {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (!error) {
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const fs::path candidate = base / ("tvkpack-" + RandomSuffix());
            if (fs::create_directory(candidate, error)) {
                path_ = candidate;
            }
        }
    }
    if (path_.empty()) {
        throw CommandError("cannot create tvkpack's scratch folder in the temporary directory" +
                           (base.empty() ? std::string() : " " + Quoted(base)) + ": " +
                           ReasonOf(error));
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

}  // namespace packaging
