// SHA-256 with Windows' BCrypt (the Windows builds): bcrypt.dll is a system
// DLL, so tvkpack.exe still imports nothing else.
#include "platform/windows_api.h"
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

namespace {

// The largest piece handed to BCryptHashData at once (its length is a ULONG).
constexpr std::size_t kLargestPiece = 0x40000000;

void Check(NTSTATUS status, const char* operation) {
    if (status < 0) {
        std::ostringstream message;
        message << "SHA-256 could not be computed (" << operation << ": status 0x" << std::hex
                << static_cast<unsigned long>(status) << ")";
        throw CommandError(message.str());
    }
}

class AlgorithmProvider {
  public:
    AlgorithmProvider() {
        Check(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
              "BCryptOpenAlgorithmProvider");
    }
    ~AlgorithmProvider() { BCryptCloseAlgorithmProvider(handle_, 0); }
    AlgorithmProvider(const AlgorithmProvider&) = delete;
    AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

  private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// A hash object whose memory BCrypt manages (Windows 7 and later).
class HashObject {
  public:
    explicit HashObject(const AlgorithmProvider& algorithm) {
        Check(BCryptCreateHash(algorithm.get(), &handle_, nullptr, 0, nullptr, 0, 0),
              "BCryptCreateHash");
    }
    ~HashObject() { BCryptDestroyHash(handle_); }
    HashObject(const HashObject&) = delete;
    HashObject& operator=(const HashObject&) = delete;
    BCRYPT_HASH_HANDLE get() const { return handle_; }

  private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

struct Sha256Stream::State {
    AlgorithmProvider algorithm;
    HashObject hash{algorithm};
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Add(std::span<const std::uint8_t> bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t piece = std::min(kLargestPiece, bytes.size() - done);
        // BCryptHashData takes a non-const pointer but only reads the data.
        Check(BCryptHashData(state_->hash.get(), const_cast<PUCHAR>(bytes.data() + done),
                             static_cast<ULONG>(piece), 0),
              "BCryptHashData");
        done += piece;
    }
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest{};
    Check(BCryptFinishHash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
          "BCryptFinishHash");
    return digest;
}

}  // namespace packaging
