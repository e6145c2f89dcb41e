#include "tools/tvkserve/session_registry.h"

namespace tvkserve {

void SessionRegistry::Add(const std::shared_ptr<Session>& session, SessionKind kind,
                          const std::string& peer) {
    const std::lock_guard lock(mutex_);
    sessions_.emplace(session.get(), Entry{session, kind, peer, ++arrivals_});
    if (kind == SessionKind::kDownloads) {
        ++downloads_;
        ++downloads_from_[peer];
    } else {
        ++monitoring_;
    }
}

bool SessionRegistry::Remove(const Session* session) {
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(session);
    if (found == sessions_.end()) {
        return false;
    }
    if (found->second.kind == SessionKind::kDownloads) {
        --downloads_;
        const auto from = downloads_from_.find(found->second.peer);
        if (from != downloads_from_.end() && --from->second == 0) {
            downloads_from_.erase(from);
        }
    } else {
        --monitoring_;
    }
    sessions_.erase(found);
    if (stage_ == Stage::kDraining && downloads_ == 0 && !drain_end_claimed_ && !closed_) {
        drain_end_claimed_ = true;
        return true;
    }
    return false;
}

std::size_t SessionRegistry::Count(SessionKind kind) const {
    const std::lock_guard lock(mutex_);
    return kind == SessionKind::kDownloads ? downloads_ : monitoring_;
}

std::size_t SessionRegistry::CountFrom(const std::string& peer) const {
    const std::lock_guard lock(mutex_);
    const auto found = downloads_from_.find(peer);
    return found == downloads_from_.end() ? 0 : found->second;
}

std::shared_ptr<Session> SessionRegistry::LongestWaiting(
    SessionKind kind, const std::function<bool(const Session&)>& waiting) const {
    // Looked at outside the lock: a session whose last owner is let go here
    // ends, and its end takes the lock.
    std::map<std::uint64_t, std::weak_ptr<Session>> by_arrival;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [key, entry] : sessions_) {
            if (entry.kind == kind) {
                by_arrival.emplace(entry.order, entry.session);
            }
        }
    }
    for (const auto& [order, candidate] : by_arrival) {
        if (std::shared_ptr<Session> session = candidate.lock(); session && waiting(*session)) {
            return session;
        }
    }
    return nullptr;
}

SessionRegistry::Stage SessionRegistry::stage() const {
    const std::lock_guard lock(mutex_);
    return stage_;
}

bool SessionRegistry::Finishing(SessionKind kind) const {
    const std::lock_guard lock(mutex_);
    return kind == SessionKind::kDownloads ? stage_ != Stage::kServing : stage_ == Stage::kDrained;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::StartDrain(bool& none_left) {
    const std::lock_guard lock(mutex_);
    stage_ = Stage::kDraining;
    none_left = downloads_ == 0 && !drain_end_claimed_;
    if (none_left) {
        drain_end_claimed_ = true;
    }
    return Alive(true);
}

std::vector<std::shared_ptr<Session>> SessionRegistry::EndDrain() {
    const std::lock_guard lock(mutex_);
    stage_ = Stage::kDrained;
    return Alive(false);
}

void SessionRegistry::Close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::Alive(bool downloads_only) const {
    std::vector<std::shared_ptr<Session>> alive;
    for (const auto& [key, entry] : sessions_) {
        if (downloads_only && entry.kind != SessionKind::kDownloads) {
            continue;
        }
        if (auto session = entry.session.lock()) {
            alive.push_back(std::move(session));
        }
    }
    return alive;
}

}  // namespace tvkserve
