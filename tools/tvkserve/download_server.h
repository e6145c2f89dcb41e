// The server: listens, hands each connection to a session, runs the
// sessions on a few threads, and on SIGTERM (or SIGINT) stops taking
// connections, lets the running downloads finish, and returns. A second
// signal ends it at once.
#pragma once

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
    DownloadServer(const ServeConfig& config, Catalog& catalog, AccessLog& log);
    ~DownloadServer() override;

    // The address it listens on, with the port it got ("127.0.0.1:8080").
    std::string address() const;

    // Serves on the configured number of threads until the drain after a
    // signal has ended.
    void Run();

    const ServeConfig& config() const override { return config_; }
    Catalog& catalog() override { return catalog_; }
    AccessLog& log() override { return log_; }
    bool draining() const override;
    void Register(const std::shared_ptr<Session>& session) override;
    void Unregister(const Session* session) override;

  private:
    void Accept();
    void WaitForSignal();
    void StartDrain();

    const ServeConfig& config_;
    Catalog& catalog_;
    AccessLog& log_;

    // Declared before the context: sessions that a stopped context still
    // holds unregister while it is destroyed.
    mutable std::mutex sessions_mutex_;
    std::map<const Session*, std::weak_ptr<Session>> sessions_;
    bool draining_ = false;
    bool destroying_ = false;

    boost::asio::io_context context_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::signal_set signals_;
    boost::asio::steady_timer accept_pause_;
};

}  // namespace tvkserve
