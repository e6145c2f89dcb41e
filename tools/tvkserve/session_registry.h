// The server's open connections, by the address they came in on, and the one
// place that knows how far the server is in finishing:
//
//   serving  -> draining (SIGTERM: no new download connection; running
//               downloads finish; the metrics address still answers)
//            -> drained  (the last download connection has ended; the
//               metrics address closes too, and the server's threads end)
//
// A connection asks it, before it reads another request, whether it is to
// finish; the server tells the connections when the stage changes, so that
// those waiting for a request close at once. Any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tvkserve {

class Session;

// Which address a connection came in on.
enum class SessionKind {
    kDownloads,   // listen
    kMonitoring,  // metrics_listen
};

class SessionRegistry {
  public:
    enum class Stage { kServing, kDraining, kDrained };

    // peer: the connection's address ("-" when unknown), counted for the
    // limit per client.
    void Add(const std::shared_ptr<Session>& session, SessionKind kind, const std::string& peer);
    // True when this was the last download connection of a drain: the
    // caller then ends the drain (EndDrain), once.
    bool Remove(const Session* session);

    std::size_t Count(SessionKind kind) const;
    // Open download connections from that address.
    std::size_t CountFrom(const std::string& peer) const;
    // The connection of that kind that has waited longest for a request
    // (waiting: whether a connection waits for one), or null.
    std::shared_ptr<Session> LongestWaiting(
        SessionKind kind, const std::function<bool(const Session&)>& waiting) const;
    Stage stage() const;
    // Whether a connection of that kind is to take no further request.
    bool Finishing(SessionKind kind) const;

    // From serving to draining: the download connections to tell. Sets
    // none_left when no download connection is open (the drain then ends
    // at once: the caller calls EndDrain).
    std::vector<std::shared_ptr<Session>> StartDrain(bool& none_left);
    // To drained: every connection still open, to tell.
    std::vector<std::shared_ptr<Session>> EndDrain();
    // The server is being destroyed: connections that end now end no drain.
    void Close();

  private:
    std::vector<std::shared_ptr<Session>> Alive(bool downloads_only) const;

    struct Entry {
        std::weak_ptr<Session> session;
        SessionKind kind = SessionKind::kDownloads;
        std::string peer;
        std::uint64_t order = 0;  // of arrival
    };

    mutable std::mutex mutex_;
    std::map<const Session*, Entry> sessions_;
    std::map<std::string, std::size_t, std::less<>> downloads_from_;
    std::uint64_t arrivals_ = 0;
    std::size_t downloads_ = 0;
    std::size_t monitoring_ = 0;
    Stage stage_ = Stage::kServing;
    bool drain_end_claimed_ = false;
    bool closed_ = false;
};

}  // namespace tvkserve
