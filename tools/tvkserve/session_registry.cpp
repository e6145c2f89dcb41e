#include "tools/tvkserve/session_registry.h"

namespace tvkserve {

void SessionRegistry::Add(const std::shared_ptr<Session>& session, SessionKind kind) {
    const std::lock_guard lock(mutex_);
    sessions_.emplace(session.get(), std::pair(session, kind));
    ++(kind == SessionKind::kDownloads ? downloads_ : monitoring_);
}

bool SessionRegistry::Remove(const Session* session) {
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(session);
    if (found == sessions_.end()) {
        return false;
    }
    --(found->second.second == SessionKind::kDownloads ? downloads_ : monitoring_);
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
        if (downloads_only && entry.second != SessionKind::kDownloads) {
            continue;
        }
        if (auto session = entry.first.lock()) {
            alive.push_back(std::move(session));
        }
    }
    return alive;
}

}  // namespace tvkserve
