#include "tools/tvkserve/download_session.h"

#include <chrono>
#include <iostream>
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

// What one read of a request takes at most.
constexpr std::size_t kReadSize = 4096;

// The answer when the server has no room for a download's own bytes, or
// answering failed; the connection ends with it.
ResponsePlan Unavailable(const char* message) {
    return TextAnswer(503, message, {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
  public:
    // A connection takes the limits in force when it is accepted.
    Session(tcp::socket socket, SessionHost& host, SessionKind kind)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          writer_(socket_),
          host_(host),
          kind_(kind),
          limits_(host.content()->config.limits) {
        beast::error_code unknown;
        const tcp::endpoint peer = socket_.remote_endpoint(unknown);
        if (!unknown) {
            peer_ = peer.address();
        }
        client_ = peer_ ? peer_->to_string() : std::string("-");
        // Small writes (a header, an error text) go out at once.
        beast::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        socket_.native_non_blocking(true, ignored);
    }
    ~Session() { host_.SessionEnded(this); }

    SessionKind kind() const { return kind_; }

    void Start() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->ReadRequest();
            self->Watch();
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
        kClosed,
    };

    // --- reading requests ----------------------------------------------------

    bool Finishing() const { return host_.sessions().Finishing(kind_); }

    void ReadRequest() {
        if (phase_ == Phase::kClosed || Finishing()) {
            Close();
            return;
        }
        phase_ = Phase::kWaiting;
        SetDeadline(limits_.request_header_timeout);
        Receive(false);
    }

    // Hands what has arrived to the reader, and reads more while it asks.
    void Receive(bool at_end) {
        switch (reader_.Read(buffer_, at_end)) {
            case RequestReader::Outcome::kNeedMore:
                socket_.async_read_some(
                    buffer_.prepare(kReadSize),
                    [self = shared_from_this()](beast::error_code error, std::size_t received) {
                        self->buffer_.commit(received);
                        if (error == asio::error::eof) {
                            self->Receive(true);
                        } else if (error) {
                            self->Close();  // the client left, or took too long to ask
                        } else {
                            self->Receive(false);
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
        phase_ = Phase::kWaiting;
        SetDeadline(limits_.keep_alive_timeout);
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
        phase_ = Phase::kResponding;
        SetDeadline(limits_.stall_timeout);
        writer_.Send(
            ResponseHeader(plan, std::chrono::system_clock::now()), std::move(body),
            held_ ? held_->description.package->file() : -1,
            [self = shared_from_this()](std::uint64_t written, std::uint64_t body_bytes) {
                self->Took(written, body_bytes);
            },
            [self = shared_from_this()](bool complete) {
                self->EndResponse();
                self->AfterResponse(complete);
            });
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

    // The client took bytes: the stall time starts again.
    void Took(std::uint64_t written, std::uint64_t body_bytes) {
        record_.bytes += body_bytes;
        if (kind_ == SessionKind::kDownloads) {
            host_.counters().body_bytes.fetch_add(body_bytes, std::memory_order_relaxed);
        }
        if (written > 0) {
            SetDeadline(limits_.stall_timeout);
        }
    }

    // --- ending ----------------------------------------------------------------

    // The one end of every response, complete or cut off: its access log
    // line and counts, and what it held is let go.
    void EndResponse() {
        record_.duration = Clock::now() - started_;
        if (kind_ == SessionKind::kDownloads) {
            host_.log().Write(record_);
            ++host_.counters().requests;
            host_.counters().responses.Add(record_.status);
        }
        held_.reset();
        text_.clear();
        text_.shrink_to_fit();
    }

    // What follows a response: the next request on a kept-alive connection
    // whose response went out whole, else the close.
    void AfterResponse(bool complete) {
        if (complete && keep_alive_ && phase_ != Phase::kClosed) {
            AwaitNextRequest();
            return;
        }
        Close();
    }

    void Close() {
        if (phase_ == Phase::kClosed) {
            return;
        }
        phase_ = Phase::kClosed;
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
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
                if (self->phase_ != Phase::kResponding || !self->writer_.ClientTookBytes()) {
                    self->Close();
                    return;
                }
                self->deadline_ = Clock::now() + self->limits_.stall_timeout;
            }
            self->Watch();
        });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    SpanWriter writer_;
    SessionHost& host_;
    const SessionKind kind_;
    const ServeLimits limits_;
    std::optional<asio::ip::address> peer_;
    std::string client_;  // the peer's address, "-" when unknown
    Phase phase_ = Phase::kWaiting;
    Clock::time_point deadline_;

    beast::flat_buffer buffer_;
    RequestReader reader_;

    // The response in progress.
    bool keep_alive_ = false;
    std::string text_;
    std::optional<HeldDownload> held_;
    AccessRecord record_;
    Clock::time_point started_;
};

std::shared_ptr<Session> MakeSession(tcp::socket socket, SessionHost& host, SessionKind kind) {
    return std::make_shared<Session>(std::move(socket), host, kind);
}

void StartSession(std::shared_ptr<Session> session) {
    session->Start();
}

void WakeSession(const std::shared_ptr<Session>& session) {
    session->Wake();
}

}  // namespace tvkserve
