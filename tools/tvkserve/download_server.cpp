#include "tools/tvkserve/download_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "tools/tvkserve/file_limit.h"
#include "tools/tvkserve/server_metrics.h"
#include "tools/tvkserve/turn_away.h"

namespace tvkserve {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// How long accepting pauses after it failed (for example when the process
// ran out of file descriptors), so that it does not spin.
constexpr std::chrono::milliseconds kAcceptPause{100};

void Listen(tcp::acceptor& acceptor, const ListenAddress& address, const char* entry) {
    try {
        const tcp::endpoint endpoint(asio::ip::make_address(address.address), address.port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& error) {
        throw std::runtime_error(std::string("cannot listen on ") + entry + " " +
                                 address.ToString() + ": " + error.what());
    }
}

std::string AddressOf(const tcp::acceptor& acceptor) {
    const tcp::endpoint endpoint = acceptor.local_endpoint();
    return ListenAddress{endpoint.address().to_string(), endpoint.port()}.ToString();
}

std::string TextOf(const std::optional<ListenAddress>& address) {
    return address ? address->ToString() : std::string("none");
}

}  // namespace

DownloadServer::DownloadServer(std::filesystem::path config_file,
                               std::shared_ptr<const ServedContent> content, AccessLog& log,
                               ServerCounters& counters)
    : config_file_(std::move(config_file)),
      listen_(content->config.listen),
      metrics_listen_(content->config.metrics_listen),
      threads_(content->config.threads),
      log_(log),
      counters_(counters),
      tag_bytes_(content->config.limits.max_tag_bytes),
      content_(std::move(content)),
      workers_([threads = threads_] {
          std::vector<std::unique_ptr<Worker>> workers;
          for (unsigned i = 0; i < std::max(1u, threads); ++i) {
              workers.push_back(std::make_unique<Worker>());
          }
          return workers;
      }()),
      signals_(control().context, SIGTERM, SIGINT),
      reload_signal_(control().context, SIGHUP) {
    Listen(control().downloads.acceptor, listen_, "listen");
    // Every other thread accepts from the same socket, through a duplicate
    // descriptor in its own event loop.
    for (std::size_t i = 1; i < workers_.size(); ++i) {
        const int duplicate = ::dup(control().downloads.acceptor.native_handle());
        if (duplicate < 0) {
            throw std::runtime_error(std::string("cannot share the listening socket: ") +
                                     std::strerror(errno));
        }
        workers_[i]->downloads.acceptor.assign(
            control().downloads.acceptor.local_endpoint().protocol(), duplicate);
    }
    if (metrics_listen_) {
        monitoring_.emplace(control().context, SessionKind::kMonitoring);
        Listen(monitoring_->acceptor, *metrics_listen_, "metrics_listen");
    }
}

DownloadServer::~DownloadServer() {
    sessions_.Close();
    loader_.Cancel();
}

std::string DownloadServer::address() const {
    return AddressOf(workers_.front()->downloads.acceptor);
}

std::optional<std::string> DownloadServer::metrics_address() const {
    if (!monitoring_) {
        return std::nullopt;
    }
    return AddressOf(monitoring_->acceptor);
}

void DownloadServer::Run() {
    asio::post(control().context, [this] {
        WaitForSignal();
        WaitForReloadSignal();
        if (monitoring_) {
            Accept(*monitoring_);
        }
    });
    for (const std::unique_ptr<Worker>& worker : workers_) {
        asio::post(worker->context, [this, &worker = *worker] { Accept(worker.downloads); });
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < workers_.size(); ++i) {
        threads.emplace_back([this, &worker = *workers_[i]] { Serve(worker); });
    }
    Serve(control());
    for (std::thread& thread : threads) {
        thread.join();
    }
}

void DownloadServer::Serve(Worker& worker) {
    // A handler that throws (only running out of memory can) loses its
    // connection, not the server: accepting goes on.
    for (;;) {
        try {
            worker.context.run();
            return;
        } catch (const std::exception& error) {
            std::cerr << "tvkserve: " << error.what() << "\n";
            try {
                asio::post(worker.context, [this, &worker] {
                    KeepAccepting(worker.downloads);
                    if (&worker == &control() && monitoring_) {
                        KeepAccepting(*monitoring_);
                    }
                });
            } catch (const std::exception&) {
                // Out of memory even for that: the next handler that throws
                // tries again.
            }
        }
    }
}

std::shared_ptr<const ServedContent> DownloadServer::content() const {
    const std::lock_guard lock(content_mutex_);
    return content_;
}

std::string DownloadServer::MetricsText() const {
    ServerGauges gauges;
    gauges.open_connections = sessions_.Count(SessionKind::kDownloads);
    gauges.tag_bytes_held = tag_bytes_.held();
    gauges.access_log_lines_dropped = log_.dropped();
    return tvkserve::MetricsText(counters_, gauges);
}

void DownloadServer::SessionEnded(const Session* session) {
    if (sessions_.Remove(session)) {
        asio::post(control().context, [this] { EndDrain(); });
    }
}

void DownloadServer::Accept(Listener& listener) {
    listener.accepting = true;
    listener.acceptor.async_accept(
        [this, &listener](boost::system::error_code error, tcp::socket socket) {
            listener.accepting = false;
            if (!listener.acceptor.is_open() ||
                (listener.kind == SessionKind::kDownloads &&
                 sessions_.stage() != SessionRegistry::Stage::kServing)) {
                return;  // closed, or no longer listening: the server finishes
            }
            if (error) {
                std::cerr << "tvkserve: cannot accept a connection: " << error.message() << "\n";
                listener.accepting = true;
                listener.pause.expires_after(kAcceptPause);
                listener.pause.async_wait([this, &listener](boost::system::error_code paused) {
                    listener.accepting = false;
                    if (!paused) {
                        KeepAccepting(listener);
                    }
                });
                return;
            }
            try {
                Admit(std::move(socket), listener.kind);
            } catch (const std::exception& failure) {
                std::cerr << "tvkserve: cannot serve a connection: " << failure.what() << "\n";
            }
            Accept(listener);
        });
}

void DownloadServer::KeepAccepting(Listener& listener) {
    if (!listener.accepting && listener.acceptor.is_open()) {
        Accept(listener);
    }
}

void DownloadServer::Admit(tcp::socket socket, SessionKind kind) {
    const std::size_t open = sessions_.Count(kind);
    if (kind == SessionKind::kMonitoring && open >= kMostMonitoringConnections) {
        // Health checks must get through idle connections piling up: the
        // one that has waited longest for a request makes room.
        const std::shared_ptr<Session> idle = sessions_.LongestWaiting(kind, SessionWaits);
        if (!idle) {
            boost::system::error_code ignored;
            socket.close(ignored);
            return;
        }
        EvictSession(idle);
    }
    boost::system::error_code unknown;
    const tcp::endpoint peer_endpoint = socket.remote_endpoint(unknown);
    const std::string peer = unknown ? std::string("-") : peer_endpoint.address().to_string();
    if (kind == SessionKind::kDownloads) {
        const std::shared_ptr<const ServedContent> served = content();
        const ServeLimits& limits = served->config.limits;
        if (open >= limits.max_connections) {
            ++counters_.turned_away;
            TurnAway(std::move(socket), turning_away_);
            return;
        }
        if (limits.max_connections_per_client > 0 && !unknown &&
            !served->config.trusted_proxies.Contains(peer_endpoint.address()) &&
            sessions_.CountFrom(peer) >= limits.max_connections_per_client) {
            ++counters_.turned_away_per_client;
            TurnAway(std::move(socket), turning_away_);
            return;
        }
    }
    std::shared_ptr<Session> session =
        MakeSession(std::move(socket), *this, kind,
                    unknown ? std::nullopt : std::optional(peer_endpoint.address()));
    sessions_.Add(session, kind, peer);
    if (kind == SessionKind::kDownloads) {
        ++counters_.connections;
    }
    StartSession(std::move(session));
}

void DownloadServer::WaitForSignal() {
    signals_.async_wait([this](boost::system::error_code error, int) {
        if (error) {
            return;
        }
        if (sessions_.stage() != SessionRegistry::Stage::kServing) {
            std::cerr << "tvkserve: second signal: stopping now\n";
            for (const std::unique_ptr<Worker>& worker : workers_) {
                worker->context.stop();
            }
            return;
        }
        WaitForSignal();  // a second signal ends the server at once
        StartDrain();
    });
}

void DownloadServer::WaitForReloadSignal() {
    reload_signal_.async_wait([this](boost::system::error_code error, int) {
        if (error) {
            return;
        }
        WaitForReloadSignal();
        if (sessions_.stage() != SessionRegistry::Stage::kServing) {
            std::cerr << "tvkserve: finishing: the configuration is not read again\n";
            return;
        }
        // Signals that come while a reload waits to start are served by it.
        if (!reload_queued_.exchange(true)) {
            asio::post(reloader_, [this] { Reload(); });
        }
    });
}

void DownloadServer::StartDrain() {
    bool ended = false;
    const std::vector<std::shared_ptr<Session>> running = sessions_.StartDrain(ended);
    // The one listening socket stops taking connections at once, for every
    // thread (shutting it down ends its listening, whatever descriptors
    // remain); each thread then closes its own descriptor.
    ::shutdown(control().downloads.acceptor.native_handle(), SHUT_RDWR);
    for (const std::unique_ptr<Worker>& worker : workers_) {
        asio::post(worker->context, [&listener = worker->downloads] {
            boost::system::error_code ignored;
            listener.acceptor.close(ignored);
            listener.pause.cancel();
        });
    }
    std::cerr << "tvkserve: finishing the running downloads, then exiting\n";
    for (const auto& session : running) {
        WakeSession(session);
    }
    if (ended) {
        EndDrain();
    }
}

void DownloadServer::EndDrain() {
    const std::vector<std::shared_ptr<Session>> left = sessions_.EndDrain();
    if (monitoring_) {
        boost::system::error_code ignored;
        monitoring_->acceptor.close(ignored);
        monitoring_->pause.cancel();
    }
    signals_.cancel();
    reload_signal_.cancel();
    for (const auto& session : left) {
        WakeSession(session);
    }
}

void DownloadServer::Reload() {
    reload_queued_ = false;
    const auto started = std::chrono::steady_clock::now();
    LoadOutcome outcome = loader_.Load(config_file_, kLoadTimeout);
    std::cerr << outcome.warnings;
    std::shared_ptr<const ServedContent> loaded = std::move(outcome.content);
    if (!loaded) {
        ++counters_.reloads_refused;
        const std::string& message = outcome.failure;
        std::cerr << message
                  << "\ntvkserve: reload refused; the configuration loaded before keeps serving"
                  << std::endl;
        const std::string prefix = "tvkserve: ";
        log_.WriteNote("reload refused, the configuration loaded before keeps serving: " +
                       message.substr(message.starts_with(prefix) ? prefix.size() : 0));
        return;
    }
    RaiseFileLimit(loaded->config.limits.max_connections, std::cerr);
    NoteRestartOnlyChanges(loaded->config);
    const std::size_t packages = loaded->config.packages.size();
    const std::size_t brands = loaded->config.brands.size();
    tag_bytes_.SetCap(loaded->config.limits.max_tag_bytes);
    {
        const std::lock_guard lock(content_mutex_);
        content_.swap(loaded);
    }
    // The content before ends with the last request that holds it, which
    // may be this line.
    loaded.reset();
    ++counters_.reloads;
    char took[32];
    std::snprintf(
        took, sizeof took, "%.1fms",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
    Note("reload applied: packages: " + std::to_string(packages) +
         ", brands: " + std::to_string(brands) + ", read in " + took);
}

void DownloadServer::NoteRestartOnlyChanges(const ServeConfig& loaded) {
    if (loaded.listen != listen_) {
        Note("reload: listen stays " + listen_.ToString() +
             " until a restart (the configuration now says " + loaded.listen.ToString() + ")");
    }
    if (loaded.metrics_listen != metrics_listen_) {
        Note("reload: metrics_listen stays " + TextOf(metrics_listen_) +
             " until a restart (the configuration now says " + TextOf(loaded.metrics_listen) + ")");
    }
    if (loaded.threads != threads_) {
        Note("reload: threads stays " + std::to_string(threads_) +
             " until a restart (the configuration now says " + std::to_string(loaded.threads) +
             ")");
    }
}

void DownloadServer::Note(const std::string& text) {
    std::cerr << "tvkserve: " << text << std::endl;
    log_.WriteNote(text);
}

}  // namespace tvkserve
