// The proxies in front of the server (nginx, a CDN's edge) whose word on the
// client's address it takes. Each proxy appends the address it got the
// request from to X-Forwarded-For, so for a connection from a trusted proxy
// the client is the right-most address in the field that is not itself a
// trusted proxy; the addresses left of it are whatever the client wrote.
// A field that cannot be read that far leaves the connection's own address.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v6.hpp>

namespace tvkserve {

class TrustedProxies {
  public:
    // Adds an address ("10.0.0.7", "::1") or a prefix ("10.0.0.0/8",
    // "fd00::/8"); throws std::invalid_argument saying what is wrong with it.
    void Add(std::string_view entry);

    bool empty() const { return networks_.empty(); }
    bool Contains(const boost::asio::ip::address& address) const;

    // The client of a request that came from peer carrying X-Forwarded-For
    // forwarded_for (the field's values joined by commas; empty when it has
    // none).
    boost::asio::ip::address ClientOf(const boost::asio::ip::address& peer,
                                      std::string_view forwarded_for) const;

  private:
    // IPv4 entries as IPv4-mapped IPv6 prefixes, so that one comparison
    // serves both families (and a dual-stack socket's mapped peers).
    std::vector<boost::asio::ip::network_v6> networks_;
};

}  // namespace tvkserve
