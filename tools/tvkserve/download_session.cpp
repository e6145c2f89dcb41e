#include "tools/tvkserve/download_session.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/request_head.h"
#include "tools/tvkserve/request_reader.h"
#include "tools/tvkserve/response_body.h"
#include "tools/tvkserve/response_plan.h"
#include "tools/tvkserve/signed_link.h"
#include "tools/tvkserve/span_writer.h"

namespace tvkserve {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// How long a connection to the metrics address may wait for a request: a
// health check asks at once, and idle connections must not hold its few
// places.
constexpr std::chrono::seconds kMonitoringTimeout{5};
// How many body bytes may go out before what the client took is counted.
constexpr std::uint64_t kCountTakenEvery = 1 << 20;
// What one read of a request takes at most.
constexpr std::size_t kReadSize = 4096;
// The most a closing connection reads and drops of what the client still
// sends, and how often it looks whether the client has taken the last bytes.
constexpr std::size_t kMostLingeringBytes = 1 << 20;
constexpr std::chrono::milliseconds kFirstSettleInterval{10};
constexpr std::chrono::milliseconds kLastSettleInterval{1000};
// How long a closing connection waits for the client's end after the client
// has taken every byte, for as long as nothing more arrives.
constexpr std::chrono::seconds kLingerWindow{2};

// The answer when the server has no room for a download's own bytes, or
// answering failed; the connection ends with it.
ResponsePlan Unavailable(const char* message) {
    return TextAnswer(503, message, {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
  public:
    // A connection takes the limits in force when it is accepted.
    Session(tcp::socket socket, SessionHost& host, SessionKind kind,
            std::optional<asio::ip::address> peer)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          settle_(socket_.get_executor()),
          writer_(socket_),
          host_(host),
          kind_(kind),
          limits_(host.content()->config.limits),
          peer_(peer) {
        client_ = peer_ ? peer_->to_string() : std::string("-");
        // Small writes (a header, an error text) go out at once.
        beast::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        socket_.native_non_blocking(true, ignored);
        socket_.non_blocking(true, ignored);  // a read finds what is there and returns
    }
    ~Session() { host_.SessionEnded(this); }

    SessionKind kind() const { return kind_; }

    // Called once, before any handler of the session exists: its first
    // operations start on the accepting thread, without a hop to another.
    void Start() {
        ReadRequest();
        Watch();
    }

    bool waiting() const { return waiting_.load(std::memory_order_relaxed); }

    void Evict() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (self->phase_ == Phase::kWaiting) {
                self->Close();
            }
        });
    }

    void Wake() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (self->phase_ == Phase::kWaiting && self->Finishing()) {
                self->Close();
            }
        });
    }

  private:
    enum class Phase {
        kWaiting,     // for a request: idle on a kept-alive connection, or its header
        kResponding,  // sending a response
        kLingering,   // its last bytes sent; waiting for the client to take them and close
        kClosed,
    };

    // --- reading requests ----------------------------------------------------

    bool Finishing() const { return host_.sessions().Finishing(kind_); }

    void SetPhase(Phase phase) {
        phase_ = phase;
        waiting_.store(phase == Phase::kWaiting, std::memory_order_relaxed);
    }

    void ReadRequest() {
        if (phase_ == Phase::kClosed || Finishing()) {
            Close();
            return;
        }
        SetPhase(Phase::kWaiting);
        SetDeadline(
            kind_ == SessionKind::kMonitoring
                ? std::min<Clock::duration>(limits_.request_header_timeout, kMonitoringTimeout)
                : Clock::duration(limits_.request_header_timeout));
        Receive(false);
    }

    // Hands what has arrived to the reader, and reads more while it asks.
    void Receive(bool at_end) {
        switch (reader_.Read(buffer_, at_end)) {
            case RequestReader::Outcome::kNeedMore:
                // The input buffer is taken only when input has arrived, and
                // given back once a request is read: thousands of
                // connections that have sent nothing yet hold none.
                if (buffer_.size() == 0) {
                    buffer_.shrink_to_fit();
                }
                socket_.async_wait(tcp::socket::wait_read,
                                   [self = shared_from_this()](beast::error_code error) {
                                       if (error) {
                                           self->Close();  // the client took too long to ask
                                       } else {
                                           self->ReadArrived();
                                       }
                                   });
                return;
            case RequestReader::Outcome::kHead:
                BeginRequest();
                Answer(reader_.head());
                break;
            case RequestReader::Outcome::kRefusal:
                BeginRequest();
                Send(reader_.refusal());
                break;
            case RequestReader::Outcome::kGone:
                Close();
                return;
        }
        // A download that runs for hours keeps no more input buffer than it
        // must. (The response's header always goes out asynchronously, so
        // no next request is read yet.)
        if (buffer_.size() == 0) {
            buffer_.shrink_to_fit();
        }
    }

    void ReadArrived() {
        beast::error_code error;
        buffer_.commit(socket_.read_some(buffer_.prepare(kReadSize), error));
        if (error == asio::error::eof) {
            Receive(true);
        } else if (error == asio::error::would_block || error == asio::error::try_again) {
            Receive(false);  // woken with nothing to read after all
        } else if (error) {
            Close();  // the client left
        } else {
            Receive(false);
        }
    }

    void BeginRequest() {
        started_ = Clock::now();
        record_ = AccessRecord{client_, "-", "-", 0, 0, {}};
    }

    // A kept-alive connection waits for the first byte of its next request
    // for the keep-alive time, then its header has the header's time.
    void AwaitNextRequest() {
        if (Finishing() || buffer_.size() > 0) {
            ReadRequest();  // pipelined (it is here already), or closing
            return;
        }
        SetPhase(Phase::kWaiting);
        SetDeadline(kind_ == SessionKind::kMonitoring
                        ? std::min<Clock::duration>(limits_.keep_alive_timeout, kMonitoringTimeout)
                        : Clock::duration(limits_.keep_alive_timeout));
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](beast::error_code error) {
                               if (error) {
                                   self->Close();
                               } else {
                                   self->ReadRequest();
                               }
                           });
    }

    // --- answering -----------------------------------------------------------

    void Answer(const RequestHead& head) {
        record_.method = head.method_text;
        record_.target = RedactedTarget(head.target);
        try {
            // The content this request is planned from; a reload after this
            // point changes nothing here.
            const std::shared_ptr<const ServedContent> content = host_.content();
            if (peer_ && !content->config.trusted_proxies.empty()) {
                record_.client =
                    content->config.trusted_proxies.ClientOf(*peer_, head.forwarded_for)
                        .to_string();
            }
            const bool finishing = host_.sessions().stage() != SessionRegistry::Stage::kServing;
            if (kind_ == SessionKind::kMonitoring) {
                Send(PlanMonitoringResponse(head, finishing,
                                            [this] { return host_.MetricsText(); }));
                return;
            }
            const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            ResponsePlan plan = PlanDownloadResponse(head, *content, finishing, now);
            if (plan.link_failure) {
                const auto reason = static_cast<std::size_t>(*plan.link_failure);
                ++(plan.status == 403 ? host_.counters().links_refused
                                      : host_.counters().links_fallback)[reason];
            }
            Send(std::move(plan));
        } catch (const std::exception& failure) {
            std::cerr << "tvkserve: cannot answer " << record_.target << ": " << failure.what()
                      << "\n";
            if (kind_ == SessionKind::kDownloads) {
                ++host_.counters().failed;
            }
            held_.reset();
            Send(Unavailable("the server cannot make this download now"));
        }
    }

    // Sends what the plan says: for a download's body, what the download
    // holds is taken first (and the tag built when the range needs it).
    void Send(ResponsePlan plan) {
        std::vector<Span> body;
        if (plan.download && plan.send_body) {
            if (!HoldDownload(plan)) {
                ++host_.counters().refused_tag_bytes;
                plan = Unavailable("the server is busy; try again later");
            } else {
                body = DownloadSpans(*held_, plan.first, plan.last);
            }
        }
        text_ = std::move(plan.text);
        if (plan.send_body && !text_.empty()) {
            body = {Span{reinterpret_cast<const std::uint8_t*>(text_.data()), 0, text_.size()}};
        }
        keep_alive_ = plan.keep_alive;
        record_.status = plan.status;
        SetPhase(Phase::kResponding);
        SetDeadline(limits_.stall_timeout);
        std::string header = ResponseHeader(plan, std::chrono::system_clock::now());
        body_start_ = writer_.written() + header.size();
        body_taken_ = 0;
        writer_.Send(
            std::move(header), std::move(body), held_ ? held_->description.package->file() : -1,
            [self = shared_from_this()](std::uint64_t written, std::uint64_t body_bytes) {
                self->Took(written, body_bytes);
            },
            [self = shared_from_this()](bool complete) { self->AfterResponse(complete); });
    }

    // Takes what a download's body needs; false (and nothing held) when its
    // own bytes would pass the server's budget.
    bool HoldDownload(ResponsePlan& plan) {
        HeldDownload held{std::move(*plan.download), nullptr, {}, DownloadInFlight()};
        if (plan.needs_tag) {
            const Clock::time_point building = Clock::now();
            std::shared_ptr<const TaggedDownload> tag = Catalog::Tag(held.description);
            host_.counters().tag_build_time.Observe(Clock::now() - building);
            ++host_.counters().tags_built;
            if (!host_.tag_bytes().Take(tag->made_size())) {
                return false;
            }
            held.share = TagBytesShare(host_.tag_bytes(), tag->made_size());
            held.tag = std::move(tag);
        }
        host_.counters().downloads.Add(held.description.package_id, held.description.brand_id);
        held.in_flight = DownloadInFlight(host_.counters().downloads_in_flight);
        held_.emplace(std::move(held));
        return true;
    }

    // A write took bytes: the stall time starts again, and what the client
    // has acknowledged of the body is counted.
    void Took(std::uint64_t written, std::uint64_t body_bytes) {
        record_.bytes += body_bytes;
        // Asking the socket costs a system call: once in a while will do.
        if (record_.bytes - body_taken_ >= kCountTakenEvery) {
            CountTaken(writer_.Acknowledged());
        }
        if (written > 0) {
            SetDeadline(limits_.stall_timeout);
        }
    }

    // Counts the body bytes up to acknowledged (of the connection's bytes)
    // as taken by the client.
    void CountTaken(std::uint64_t acknowledged) {
        const std::uint64_t taken =
            std::min(record_.bytes, acknowledged > body_start_ ? acknowledged - body_start_ : 0);
        if (taken > body_taken_ && kind_ == SessionKind::kDownloads) {
            host_.counters().body_bytes.fetch_add(taken - body_taken_, std::memory_order_relaxed);
        }
        body_taken_ = std::max(body_taken_, taken);
    }

    // --- ending ----------------------------------------------------------------

    // The one end of every response: its access log line and counts, with
    // the body bytes the client took (complete: all it was sent), and what
    // it held is let go.
    void EndResponse(bool complete) {
        record_.duration = Clock::now() - started_;
        if (complete) {
            CountTaken(std::numeric_limits<std::uint64_t>::max());
        }
        record_.bytes = body_taken_;
        record_.cut = !complete;
        if (kind_ == SessionKind::kDownloads) {
            host_.log().Write(record_);
            ++host_.counters().requests;
            host_.counters().responses.Add(record_.status);
            if (!complete) {
                ++host_.counters().responses_cut;
            }
        }
        held_.reset();
        text_.clear();
        text_.shrink_to_fit();
    }

    // What follows a response once its last byte is written: the next
    // request on a kept-alive connection, else a lingering close, so that
    // the client gets every byte; a write that failed (the client left, or
    // took nothing for the stall time) ends the connection at once.
    void AfterResponse(bool written) {
        if (!written) {
            CountTaken(writer_.Acknowledged());
            EndResponse(false);
            Close();
            return;
        }
        if (keep_alive_ && phase_ == Phase::kResponding && !Finishing()) {
            EndResponse(true);
            AwaitNextRequest();
            return;
        }
        LingeringClose();
    }

    // Closing a socket that holds unread input makes the kernel reset the
    // connection, which throws away what the server still had to send and
    // what the client had not read yet. So the server ends its sending side
    // (the client sees the end after the last byte), reads and drops what
    // the client still sends, and closes when the client has closed, or a
    // short while after it has taken every byte with nothing more arriving,
    // or when it has taken nothing for the stall time. The response's log
    // line says how far it got.
    void LingeringClose() {
        SetPhase(Phase::kLingering);
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        SetDeadline(limits_.stall_timeout);
        settle_interval_ = kFirstSettleInterval;
        Discard();
        AwaitTaken();
    }

    void Discard() {
        // Into the input buffer, never committed: only a lingering
        // connection holds room for what it drops.
        socket_.async_read_some(
            buffer_.prepare(kReadSize),
            [self = shared_from_this()](beast::error_code error, std::size_t received) {
                if (self->phase_ != Phase::kLingering) {
                    return;
                }
                self->lingered_bytes_ += received;
                if (error == asio::error::eof) {
                    self->client_closed_ = true;
                    self->AwaitTaken();
                } else if (error || self->lingered_bytes_ > kMostLingeringBytes) {
                    self->EndLinger();
                } else {
                    if (self->all_taken_) {
                        self->SetDeadline(kLingerWindow);
                    }
                    self->Discard();
                }
            });
    }

    // Looks, less often as time goes by, whether the client has acknowledged
    // every byte: then the close waits a short window for its end.
    void AwaitTaken() {
        if (phase_ != Phase::kLingering || all_taken_) {
            return;
        }
        if (writer_.Acknowledged() >= writer_.written()) {
            all_taken_ = true;
            if (client_closed_) {
                EndLinger();
            } else {
                SetDeadline(kLingerWindow);
            }
            return;
        }
        settle_.expires_after(settle_interval_);
        settle_interval_ = std::min(settle_interval_ * 2, kLastSettleInterval);
        settle_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (!error) {
                self->AwaitTaken();
            }
        });
    }

    void EndLinger() {
        if (phase_ != Phase::kLingering) {
            return;
        }
        const std::uint64_t acknowledged = writer_.Acknowledged();
        CountTaken(acknowledged);
        EndResponse(acknowledged >= writer_.written());
        Close();
    }

    void Close() {
        if (phase_ == Phase::kClosed) {
            return;
        }
        SetPhase(Phase::kClosed);
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
        settle_.cancel();
    }

    // --- deadlines -------------------------------------------------------------

    // A deadline that moves later leaves the timer as it is (it looks
    // again when it fires); one that moves earlier sets it anew.
    void SetDeadline(Clock::duration timeout) {
        deadline_ = Clock::now() + timeout;
        if (deadline_ < timer_.expiry()) {
            Watch();
        }
    }

    // Closes the connection when its deadline passes. A response is dropped
    // only when the client has taken nothing for the whole stall time.
    void Watch() {
        timer_.expires_at(deadline_);  // ends the wait before, if any
        timer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->phase_ == Phase::kClosed) {
                return;  // set anew, or closed
            }
            if (Clock::now() >= self->deadline_) {
                const bool sending =
                    self->phase_ == Phase::kResponding || self->phase_ == Phase::kLingering;
                if (!sending || self->all_taken_ || !self->writer_.ClientTookBytes()) {
                    if (self->phase_ == Phase::kLingering) {
                        self->EndLinger();
                    } else {
                        self->Close();
                    }
                    return;
                }
                self->deadline_ = Clock::now() + self->limits_.stall_timeout;
            }
            self->Watch();
        });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    asio::steady_timer settle_;  // while a closing client takes the last bytes
    SpanWriter writer_;
    SessionHost& host_;
    const SessionKind kind_;
    const ServeLimits limits_;
    std::optional<asio::ip::address> peer_;
    std::string client_;  // the peer's address, "-" when unknown
    Phase phase_ = Phase::kWaiting;
    std::atomic<bool> waiting_{true};  // phase_ == kWaiting, for other threads
    Clock::time_point deadline_;

    beast::flat_buffer buffer_;
    RequestReader reader_;

    // The response in progress.
    bool keep_alive_ = false;
    std::string text_;
    std::optional<HeldDownload> held_;
    std::uint64_t body_start_ = 0;  // where the body begins in the connection's bytes
    std::uint64_t body_taken_ = 0;  // of it, what the client has acknowledged
    std::size_t lingered_bytes_ = 0;
    bool client_closed_ = false;
    bool all_taken_ = false;
    std::chrono::milliseconds settle_interval_{0};
    AccessRecord record_;
    Clock::time_point started_;
};

std::shared_ptr<Session> MakeSession(tcp::socket socket, SessionHost& host, SessionKind kind,
                                     std::optional<asio::ip::address> peer) {
    return std::make_shared<Session>(std::move(socket), host, kind, peer);
}

void StartSession(std::shared_ptr<Session> session) {
    session->Start();
}

void WakeSession(const std::shared_ptr<Session>& session) {
    session->Wake();
}

bool SessionWaits(const Session& session) {
    return session.waiting();
}

void EvictSession(const std::shared_ptr<Session>& session) {
    session->Evict();
}

}  // namespace tvkserve
