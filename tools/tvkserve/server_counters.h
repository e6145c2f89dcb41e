// What a server counts while it runs: any of its threads adds to the counts;
// /metrics shows them (see server_metrics.h) and the server sums them up
// when it ends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvkserve {

// Responses by HTTP status code.
class StatusCounts {
  public:
    static constexpr unsigned kFirst = 100;
    static constexpr unsigned kLast = 599;

    void Add(unsigned status);
    // The codes counted at least once, in order, with their counts.
    std::vector<std::pair<unsigned, std::uint64_t>> Counted() const;

  private:
    std::array<std::atomic<std::uint64_t>, kLast - kFirst + 1> counts_{};
};

// Downloads by package and brand id. The ids come from the configuration,
// so their pairs are bounded; a pair stays counted after a reload drops it,
// so that its count never goes back.
class DownloadCounts {
  public:
    void Add(std::string_view package, std::string_view brand);
    std::map<std::pair<std::string, std::string>, std::uint64_t> Counted() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::uint64_t> counts_;
};

// Durations in buckets whose upper bounds suit the building of a tag: from
// microseconds (a few hundred bytes of parameters) to tens of milliseconds
// (parameters of megabytes, or a machine that is short of time).
class DurationHistogram {
  public:
    static constexpr std::array<double, 12> kBounds = {0.000005, 0.00001, 0.000025, 0.00005, 0.0001,
                                                       0.00025,  0.0005,  0.001,    0.0025,  0.005,
                                                       0.01,     0.05};  // seconds

    void Observe(std::chrono::steady_clock::duration duration);

    struct Snapshot {
        std::array<std::uint64_t, kBounds.size()> cumulative{};  // at most each bound
        std::uint64_t count = 0;                                 // all, the last bucket
        double sum = 0;                                          // seconds
    };
    Snapshot Take() const;

  private:
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets_{};  // the last: beyond
    std::atomic<std::uint64_t> sum_nanoseconds_{0};
};

struct ServerCounters {
    std::atomic<std::uint64_t> connections{0};  // accepted and served
    std::atomic<std::uint64_t> requests{0};     // answered, whatever the status
    std::atomic<std::uint64_t> tags_built{0};   // downloads whose table was built
    std::atomic<std::uint64_t> turned_away{0};  // 503: connections beyond max_connections
    std::atomic<std::uint64_t> turned_away_per_client{0};  // and beyond the limit per client
    std::atomic<std::uint64_t> refused_tag_bytes{0};       // 503: downloads beyond max_tag_bytes
    std::atomic<std::uint64_t> failed{0};                  // 503: answering failed (out of memory)
    std::atomic<std::uint64_t> body_bytes{0};     // of responses on the download address, taken
    std::atomic<std::uint64_t> responses_cut{0};  // that did not reach their client whole
    std::atomic<std::int64_t> downloads_in_flight{0};
    std::atomic<std::uint64_t> reloads{0};          // configurations reloaded
    std::atomic<std::uint64_t> reloads_refused{0};  // and refused
    // Signed links not taken, by the reason's number (signed_link.h's
    // LinkFailure): refused with 403, or served the fallback brand.
    static constexpr std::size_t kLinkFailureKinds = 5;
    std::array<std::atomic<std::uint64_t>, kLinkFailureKinds> links_refused{};
    std::array<std::atomic<std::uint64_t>, kLinkFailureKinds> links_fallback{};
    StatusCounts responses;
    DownloadCounts downloads;
    DurationHistogram tag_build_time;

    // "connections: N, requests: N, ..." on one line.
    std::string Summary() const;
};

// The bytes the running downloads hold of their own, under a cap: a download
// takes its share before it is sent and gives it back when it ends. A reload
// sets a new cap for the downloads that begin after it.
class TagBytesBudget {
  public:
    explicit TagBytesBudget(std::uint64_t cap) : cap_(cap) {}

    // Takes bytes; false, and nothing taken, when that would pass the cap.
    bool Take(std::uint64_t bytes);
    void Give(std::uint64_t bytes) { held_ -= bytes; }
    std::uint64_t held() const { return held_; }
    void SetCap(std::uint64_t cap) { cap_ = cap; }

  private:
    std::atomic<std::uint64_t> cap_;
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

// A download among those in flight (ServerCounters::downloads_in_flight)
// for as long as this lives.
class DownloadInFlight {
  public:
    DownloadInFlight() = default;
    explicit DownloadInFlight(std::atomic<std::int64_t>& gauge) : gauge_(&gauge) { ++gauge; }
    ~DownloadInFlight() { Release(); }
    DownloadInFlight(DownloadInFlight&& other) noexcept : gauge_(other.gauge_) {
        other.gauge_ = nullptr;
    }
    DownloadInFlight& operator=(DownloadInFlight&& other) noexcept {
        if (this != &other) {
            Release();
            gauge_ = other.gauge_;
            other.gauge_ = nullptr;
        }
        return *this;
    }

  private:
    void Release() {
        if (gauge_) {
            --*gauge_;
            gauge_ = nullptr;
        }
    }

    std::atomic<std::int64_t>* gauge_ = nullptr;
};

}  // namespace tvkserve
