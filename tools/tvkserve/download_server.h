// The server: listens, hands each connection to a session (or, beyond
// max_connections, turns it away with 503), runs the sessions on a few
// threads, and on SIGTERM (or SIGINT) stops taking connections, lets the
// running downloads finish, and returns. A second signal ends it at once.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "tools/tvkserve/download_session.h"

namespace tvkserve {

class DownloadServer : public SessionHost {
  public:
    // Binds the configured address; throws boost::system::system_error when
    // it cannot.
    DownloadServer(const ServeConfig& config, const Catalog& catalog, AccessLog& log,
                   ServerCounters& counters);
    ~DownloadServer() override;

    // The address it listens on, with the port it got ("127.0.0.1:8080").
    std::string address() const;

    // Serves on the configured number of threads until the drain after a
    // signal has ended.
    void Run();

    const ServeConfig& config() const override { return config_; }
    const Catalog& catalog() const override { return catalog_; }
    AccessLog& log() override { return log_; }
    ServerCounters& counters() override { return counters_; }
    TagBytesBudget& tag_bytes() override { return tag_bytes_; }
    bool draining() const override;
    void Register(const std::shared_ptr<Session>& session) override;
    void Unregister(const Session* session) override;

  private:
    // On the strand: keeps one accept pending (or paused) while the
    // acceptor is open, whatever a handler threw.
    void Accept();
    void KeepAccepting();
    void Admit(boost::asio::ip::tcp::socket socket);
    void WaitForSignal();
    void StartDrain();

    const ServeConfig& config_;
    const Catalog& catalog_;
    AccessLog& log_;
    ServerCounters& counters_;
    TagBytesBudget tag_bytes_;

    // Declared before the context: sessions and refusals that a stopped
    // context still holds unregister while it is destroyed.
    mutable std::mutex sessions_mutex_;
    std::map<const Session*, std::weak_ptr<Session>> sessions_;
    bool draining_ = false;
    bool destroying_ = false;
    std::atomic<std::size_t> turning_away_{0};

    boost::asio::io_context context_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::signal_set signals_;
    boost::asio::steady_timer accept_pause_;
    bool accepting_ = false;  // an accept is pending or paused; on the strand
};

}  // namespace tvkserve
