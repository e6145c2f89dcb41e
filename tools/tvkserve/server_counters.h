// What a server counts while it runs: any of its threads adds to the counts,
// and the server reports them when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tvkserve {

struct ServerCounters {
    std::atomic<std::uint64_t> connections{0};        // accepted and served
    std::atomic<std::uint64_t> requests{0};           // answered, whatever the status
    std::atomic<std::uint64_t> tags_built{0};         // downloads whose table was built
    std::atomic<std::uint64_t> turned_away{0};        // connections beyond max_connections
    std::atomic<std::uint64_t> refused_tag_bytes{0};  // downloads beyond max_tag_bytes

    // "connections: N, requests: N, ..." on one line.
    std::string Summary() const;
};

// The bytes the running downloads hold of their own, under a cap: a download
// takes its share before it is sent and gives it back when it ends.
class TagBytesBudget {
  public:
    explicit TagBytesBudget(std::uint64_t cap) : cap_(cap) {}

    // Takes bytes; false, and nothing taken, when that would pass the cap.
    bool Take(std::uint64_t bytes);
    void Give(std::uint64_t bytes) { held_ -= bytes; }
    std::uint64_t held() const { return held_; }

  private:
    const std::uint64_t cap_;
    std::atomic<std::uint64_t> held_{0};
};

// A share of a TagBytesBudget, given back when this goes.
class TagBytesShare {
  public:
    TagBytesShare() = default;
    TagBytesShare(TagBytesBudget& budget, std::uint64_t bytes) : budget_(&budget), bytes_(bytes) {}
    ~TagBytesShare() { Release(); }
    TagBytesShare(TagBytesShare&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) {
        other.budget_ = nullptr;
    }
    TagBytesShare& operator=(TagBytesShare&& other) noexcept {
        if (this != &other) {
            Release();
            budget_ = other.budget_;
            bytes_ = other.bytes_;
            other.budget_ = nullptr;
        }
        return *this;
    }

    void Release() {
        if (budget_) {
            budget_->Give(bytes_);
            budget_ = nullptr;
        }
    }

  private:
    TagBytesBudget* budget_ = nullptr;
    std::uint64_t bytes_ = 0;
};

}  // namespace tvkserve
