#include "tools/tvkserve/server_counters.h"

#include <algorithm>

namespace tvkserve {

void StatusCounts::Add(unsigned status) {
    if (status >= kFirst && status <= kLast) {
        counts_[status - kFirst].fetch_add(1, std::memory_order_relaxed);
    }
}

std::vector<std::pair<unsigned, std::uint64_t>> StatusCounts::Counted() const {
    std::vector<std::pair<unsigned, std::uint64_t>> counted;
    for (unsigned status = kFirst; status <= kLast; ++status) {
        if (const std::uint64_t count = counts_[status - kFirst]; count > 0) {
            counted.emplace_back(status, count);
        }
    }
    return counted;
}

void DownloadCounts::Add(std::string_view package, std::string_view brand) {
    std::pair<std::string, std::string> ids(package, brand);
    const std::lock_guard lock(mutex_);
    ++counts_[ids];
}

std::map<std::pair<std::string, std::string>, std::uint64_t> DownloadCounts::Counted() const {
    const std::lock_guard lock(mutex_);
    return counts_;
}

void DurationHistogram::Observe(std::chrono::steady_clock::duration duration) {
    const double seconds = std::chrono::duration<double>(duration).count();
    const auto bucket = static_cast<std::size_t>(
        std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin());
    buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
    sum_nanoseconds_.fetch_add(
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count()),
        std::memory_order_relaxed);
}

DurationHistogram::Snapshot DurationHistogram::Take() const {
    Snapshot snapshot;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        snapshot.count += buckets_[i];
        if (i < kBounds.size()) {
            snapshot.cumulative[i] = snapshot.count;
        }
    }
    snapshot.sum = static_cast<double>(sum_nanoseconds_.load()) / 1e9;
    return snapshot;
}

std::string ServerCounters::Summary() const {
    return "connections: " + std::to_string(connections.load()) +
           ", requests: " + std::to_string(requests.load()) +
           ", tags built: " + std::to_string(tags_built.load()) +
           ", turned away (max_connections): " + std::to_string(turned_away.load()) +
           ", turned away (max_connections_per_client): " +
           std::to_string(turned_away_per_client.load()) +
           ", refused (max_tag_bytes): " + std::to_string(refused_tag_bytes.load()) +
           ", reloads: " + std::to_string(reloads.load()) +
           ", refused reloads: " + std::to_string(reloads_refused.load());
}

bool TagBytesBudget::Take(std::uint64_t bytes) {
    const std::uint64_t cap = cap_;
    std::uint64_t held = held_.load();
    do {
        if (bytes > cap || held > cap - bytes) {
            return false;
        }
    } while (!held_.compare_exchange_weak(held, held + bytes));
    return true;
}

}  // namespace tvkserve
