// One client connection: reads requests with Boost.Beast's parser, answers
// each with a tagged download (or the error that says why not), and keeps
// the connection for the next request. The body's part before the
// certificate table goes from the package file to the socket with sendfile;
// the first header bytes and the table's pieces go from memory with
// scatter-gather writes, the pieces that many downloads share straight from
// where the server holds them once. So a download holds a few hundred bytes
// of its own and its parameters block, never the package or the brand's
// pictures.
//
// Every operation of a session runs on its own strand; the sessions of a
// server share its threads, so one stalled client never holds up another.
//
// A session on the metrics address answers GET /metrics and GET /healthz
// instead, with the same parser and time limits; it writes no access log
// line and counts in no metric.
#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include <string>

#include "tools/tvkserve/access_log.h"
#include "tools/tvkserve/served_content.h"
#include "tools/tvkserve/server_counters.h"

namespace tvkserve {

// The longest request target (414 beyond it) and the longest header fields
// (431 beyond them); the parser refuses a request line beyond kHeaderLimit
// too (414).
inline constexpr std::size_t kRequestLineLimit = 8 * 1024;
inline constexpr std::size_t kHeaderLimit = 16 * 1024;
// What a 503 asks the client to wait, in seconds, before it tries again.
inline constexpr int kRetryAfterSeconds = 10;

class Session;

// Which address a connection came in on.
enum class SessionKind {
    kDownloads,   // listen
    kMonitoring,  // metrics_listen
};

// What the sessions share: the content, the log, the counts and limits, and
// the server that knows them all (to tell them to finish on SIGTERM).
class SessionHost {
  public:
    virtual ~SessionHost() = default;
    // The content in force; a request holds it while it is answered.
    virtual std::shared_ptr<const ServedContent> content() const = 0;
    virtual AccessLog& log() = 0;
    virtual ServerCounters& counters() = 0;
    virtual TagBytesBudget& tag_bytes() = 0;
    // Whether the server is finishing: no new download request is read.
    virtual bool draining() const = 0;
    // The body of GET /metrics.
    virtual std::string MetricsText() const = 0;
    virtual void Register(const std::shared_ptr<Session>& session, SessionKind kind) = 0;
    virtual void Unregister(const Session* session) = 0;
};

// Starts serving a connection; the session keeps itself alive until the
// connection ends.
void StartSession(boost::asio::ip::tcp::socket socket, SessionHost& host, SessionKind kind);

// Tells a session that the server is finishing: a session waiting for a
// request closes, one that is answering closes when its response is done.
void DrainSession(const std::shared_ptr<Session>& session);

}  // namespace tvkserve
