// One client connection. It reads requests with Boost.Beast's parser, has
// each planned (response_plan.h), sends what the plan says through a span
// writer (span_writer.h), and keeps the connection's deadlines. A download
// holds a few hundred bytes of its own and its parameters block, never the
// package or the brand's pictures: the body before the certificate table
// goes from the package file with sendfile, the first header bytes and the
// table's pieces from memory, the shared pieces from where the server holds
// them once.
//
// A connection is in one phase at a time: waiting for a request (idle on a
// kept-alive connection, or reading a header), responding, or closed. Every
// response ends in one place (EndResponse: the access log, the counts, and
// what the response held is let go), and one place decides what follows it
// (AfterResponse: the next request, or the close).
//
// Every operation of a session runs on its own strand; the sessions of a
// server share its threads, so one stalled client never holds up another.
//
// A session on the metrics address answers GET /metrics and GET /healthz
// instead, with the same parser and time limits; it writes no access log
// line and counts in no metric.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "tools/tvkserve/access_log.h"
#include "tools/tvkserve/served_content.h"
#include "tools/tvkserve/server_counters.h"
#include "tools/tvkserve/session_registry.h"

namespace tvkserve {

// What the sessions share: the content, the log, the counts and limits, and
// the registry of connections that knows whether the server is finishing.
class SessionHost {
  public:
    virtual ~SessionHost() = default;
    // The content in force; a request holds it while it is planned.
    virtual std::shared_ptr<const ServedContent> content() const = 0;
    virtual AccessLog& log() = 0;
    virtual ServerCounters& counters() = 0;
    virtual TagBytesBudget& tag_bytes() = 0;
    virtual const SessionRegistry& sessions() const = 0;
    // The body of GET /metrics.
    virtual std::string MetricsText() const = 0;
    // A session has ended (its connection is closed and it is going).
    virtual void SessionEnded(const Session* session) = 0;
};

// Starts serving a connection that the registry has taken; the session
// keeps itself alive until the connection ends.
void StartSession(std::shared_ptr<Session> session);
// peer: the connection's address, when the socket could tell it.
std::shared_ptr<Session> MakeSession(boost::asio::ip::tcp::socket socket, SessionHost& host,
                                     SessionKind kind,
                                     std::optional<boost::asio::ip::address> peer);

// Tells a session that the server's stage changed: one waiting for a
// request closes now, one that is responding closes after its response.
void WakeSession(const std::shared_ptr<Session>& session);
// Whether a session waits for a request (idle, or reading one); any thread.
bool SessionWaits(const Session& session);
// Closes a session if it still waits for a request when it gets to it.
void EvictSession(const std::shared_ptr<Session>& session);

}  // namespace tvkserve
