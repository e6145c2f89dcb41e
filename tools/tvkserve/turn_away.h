// A connection beyond the server's limit on connections: answered 503 with
// Retry-After at once (its request is not read), then closed once the
// client has read the answer and closed its side, or after a short wait.
// Closing a socket that still holds unread request bytes would reset the
// connection and could lose the answer, so its reads are drained first.
#pragma once

#include <atomic>
#include <cstddef>

#include <boost/asio/ip/tcp.hpp>

namespace tvkserve {

// turning_away counts the connections being turned away; beyond
// kMostTurningAway more are closed at once, so that a flood of connections
// costs no more than that.
inline constexpr std::size_t kMostTurningAway = 256;
void TurnAway(boost::asio::ip::tcp::socket socket, std::atomic<std::size_t>& turning_away);

}  // namespace tvkserve
