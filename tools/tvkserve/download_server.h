// The server: listens on the download address (and on the metrics address
// when the configuration names one), hands each connection to a session
// (or, beyond max_connections, turns it away with 503), and runs the
// sessions on a few threads. Each thread has an event loop of its own and
// accepts from the listening socket itself; a connection is served from
// start to end on the thread that accepted it, so no request waits for a
// hand-over between threads.
//
// On SIGHUP it reads the configuration and every file it names again, on a
// thread of its own so that no download waits: a valid configuration serves
// the requests that come after it, while running downloads finish from what
// they began with; an invalid one is refused with the message it would get
// at start, and the one before keeps serving. listen, metrics_listen and
// threads change only at a restart.
//
// On SIGTERM (or SIGINT) it stops taking download connections, lets the
// running downloads finish (the metrics address answers meanwhile), and
// returns. A second signal ends it at once.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "tools/tvkserve/bounded_load.h"
#include "tools/tvkserve/download_session.h"

namespace tvkserve {

// The most connections the metrics address keeps open at once; beyond them
// a connection is closed unanswered (a scraper or two use it).
inline constexpr std::size_t kMostMonitoringConnections = 16;
// How long reading a configuration and its files may take, at start and on
// a reload, before it is refused.
inline constexpr std::chrono::seconds kLoadTimeout{120};

class DownloadServer : public SessionHost {
  public:
    // Binds the configured addresses; throws std::runtime_error naming the
    // address when it cannot. config_file is read again on SIGHUP.
    DownloadServer(std::filesystem::path config_file, std::shared_ptr<const ServedContent> content,
                   AccessLog& log, ServerCounters& counters);
    ~DownloadServer() override;

    // The addresses it listens on, with the ports it got ("127.0.0.1:8080").
    std::string address() const;
    std::optional<std::string> metrics_address() const;

    // Serves on the configured number of threads until the drain after a
    // signal has ended.
    void Run();

    std::shared_ptr<const ServedContent> content() const override;
    AccessLog& log() override { return log_; }
    ServerCounters& counters() override { return counters_; }
    TagBytesBudget& tag_bytes() override { return tag_bytes_; }
    const SessionRegistry& sessions() const override { return sessions_; }
    std::string MetricsText() const override;
    void SessionEnded(const Session* session) override;

  private:
    // An address and what comes in on it, in one thread's event loop.
    struct Listener {
        Listener(boost::asio::io_context& context, SessionKind kind)
            : acceptor(context), pause(context), kind(kind) {}
        boost::asio::ip::tcp::acceptor acceptor;
        boost::asio::steady_timer pause;  // after accepting failed
        SessionKind kind;
        bool accepting = false;  // an accept is pending or paused
    };
    // A thread's event loop and its own acceptor on the download address (a
    // duplicate of the one listening socket). The first also runs the
    // server's own handlers: signals, the drain, the metrics address.
    struct Worker {
        Worker() : downloads(context, SessionKind::kDownloads) {}
        boost::asio::io_context context{1};
        Listener downloads;
    };

    // In the listener's own loop: keeps one accept pending (or paused)
    // while the acceptor is open, whatever a handler threw.
    void Accept(Listener& listener);
    void KeepAccepting(Listener& listener);
    void Admit(boost::asio::ip::tcp::socket socket, SessionKind kind);
    void Serve(Worker& worker);
    Worker& control() { return *workers_.front(); }
    void WaitForSignal();
    void WaitForReloadSignal();
    void StartDrain();
    // When the last download has ended: the metrics address and the signal
    // waits end too, and with them the threads.
    void EndDrain();

    // On the reload thread.
    void Reload();
    void NoteRestartOnlyChanges(const ServeConfig& loaded);
    // On standard error and in the access log.
    void Note(const std::string& text);

    const std::filesystem::path config_file_;
    // What only a restart changes, as the server started.
    const ListenAddress listen_;
    const std::optional<ListenAddress> metrics_listen_;
    const unsigned threads_;
    AccessLog& log_;
    ServerCounters& counters_;
    TagBytesBudget tag_bytes_;

    mutable std::mutex content_mutex_;
    std::shared_ptr<const ServedContent> content_;

    // Declared before the context: sessions and refusals that a stopped
    // context still holds end while it is destroyed.
    SessionRegistry sessions_;
    std::atomic<std::size_t> turning_away_{0};

    std::vector<std::unique_ptr<Worker>> workers_;
    std::optional<Listener> monitoring_;  // in the first worker's loop
    boost::asio::signal_set signals_;
    boost::asio::signal_set reload_signal_;
    std::atomic<bool> reload_queued_{false};
    BoundedLoader loader_;
    // Last, so that it ends first: its thread may be reading a
    // configuration, and it uses the members above.
    boost::asio::thread_pool reloader_{1};
};

}  // namespace tvkserve
