#include "tools/tvkserve/download_server.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "tools/tvkserve/turn_away.h"

namespace tvkserve {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// How long accepting pauses after it failed (for example when the process
// ran out of file descriptors), so that it does not spin.
constexpr std::chrono::milliseconds kAcceptPause{100};

}  // namespace

DownloadServer::DownloadServer(const ServeConfig& config, const Catalog& catalog, AccessLog& log,
                               ServerCounters& counters)
    : config_(config),
      catalog_(catalog),
      log_(log),
      counters_(counters),
      tag_bytes_(config.limits.max_tag_bytes),
      strand_(asio::make_strand(context_)),
      acceptor_(strand_),
      signals_(strand_, SIGTERM, SIGINT),
      accept_pause_(strand_) {
    const tcp::endpoint endpoint(asio::ip::make_address(config.listen.address), config.listen.port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
}

DownloadServer::~DownloadServer() {
    const std::lock_guard lock(sessions_mutex_);
    destroying_ = true;
}

std::string DownloadServer::address() const {
    const tcp::endpoint endpoint = acceptor_.local_endpoint();
    const std::string host = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" +
           std::to_string(endpoint.port());
}

void DownloadServer::Run() {
    asio::post(strand_, [this] {
        WaitForSignal();
        Accept();
    });
    const auto serve = [this] {
        // A handler that throws (only running out of memory can) loses its
        // connection, not the server: accepting goes on.
        for (;;) {
            try {
                context_.run();
                return;
            } catch (const std::exception& error) {
                std::cerr << "tvkserve: " << error.what() << "\n";
                try {
                    asio::post(strand_, [this] { KeepAccepting(); });
                } catch (const std::exception&) {
                    // Out of memory even for that: the next handler that
                    // throws tries again.
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < config_.threads; ++i) {
        threads.emplace_back(serve);
    }
    serve();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

bool DownloadServer::draining() const {
    const std::lock_guard lock(sessions_mutex_);
    return draining_;
}

void DownloadServer::Register(const std::shared_ptr<Session>& session) {
    const std::lock_guard lock(sessions_mutex_);
    sessions_.emplace(session.get(), session);
}

void DownloadServer::Unregister(const Session* session) {
    const std::lock_guard lock(sessions_mutex_);
    sessions_.erase(session);
    if (draining_ && sessions_.empty() && !destroying_) {
        // The last download has ended: nothing but the signal wait is left.
        asio::post(strand_, [this] { signals_.cancel(); });
    }
}

void DownloadServer::Accept() {
    accepting_ = true;
    acceptor_.async_accept(
        asio::make_strand(context_), [this](boost::system::error_code error, tcp::socket socket) {
            accepting_ = false;
            if (!acceptor_.is_open()) {
                return;
            }
            if (error) {
                std::cerr << "tvkserve: cannot accept a connection: " << error.message() << "\n";
                accepting_ = true;
                accept_pause_.expires_after(kAcceptPause);
                accept_pause_.async_wait([this](boost::system::error_code paused) {
                    accepting_ = false;
                    if (!paused) {
                        KeepAccepting();
                    }
                });
                return;
            }
            try {
                Admit(std::move(socket));
            } catch (const std::exception& failure) {
                std::cerr << "tvkserve: cannot serve a connection: " << failure.what() << "\n";
            }
            Accept();
        });
}

void DownloadServer::KeepAccepting() {
    if (!accepting_ && acceptor_.is_open()) {
        Accept();
    }
}

void DownloadServer::Admit(tcp::socket socket) {
    std::size_t open = 0;
    {
        const std::lock_guard lock(sessions_mutex_);
        open = sessions_.size();
    }
    if (open >= config_.limits.max_connections) {
        ++counters_.turned_away;
        TurnAway(std::move(socket), turning_away_);
        return;
    }
    StartSession(std::move(socket), *this);
}

void DownloadServer::WaitForSignal() {
    signals_.async_wait([this](boost::system::error_code error, int) {
        if (error) {
            return;
        }
        if (draining()) {
            std::cerr << "tvkserve: second signal: stopping now\n";
            context_.stop();
            return;
        }
        WaitForSignal();  // a second signal ends the server at once
        StartDrain();
    });
}

void DownloadServer::StartDrain() {
    std::vector<std::shared_ptr<Session>> running;
    {
        const std::lock_guard lock(sessions_mutex_);
        draining_ = true;
        for (const auto& [key, session] : sessions_) {
            if (auto alive = session.lock()) {
                running.push_back(std::move(alive));
            }
        }
        if (sessions_.empty()) {
            signals_.cancel();
        }
    }
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_pause_.cancel();
    std::cerr << "tvkserve: finishing the running downloads, then exiting\n";
    for (const auto& session : running) {
        DrainSession(session);
    }
}

}  // namespace tvkserve
