#include "tools/tvkserve/download_session.h"

#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/request_head.h"
#include "tools/tvkserve/response_plan.h"
#include "tools/tvkserve/signed_link.h"
#include "tools/tvkserve/span_writer.h"

namespace tvkserve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The most bytes of empty lines skipped in front of a request line, and
// what one read takes while they are skipped.
constexpr std::size_t kMostEmptyLineBytes = 64;
constexpr std::size_t kEmptyLineRead = 4096;

bool IsParseError(const beast::error_code& error) {
    return error.category() == http::make_error_code(http::error::bad_method).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message;
}

// The answer when the server has no room for a download's own bytes, or
// answering failed; the connection ends with it.
ResponsePlan Unavailable(const char* message) {
    return TextAnswer(503, message, {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
}

// What a download's response holds until it ends: its package (with the
// open file) and brand, whatever reloads come; the tag built for it, with
// its share of the server's tag byte budget; and its place among the
// downloads in flight.
struct HeldDownload {
    DownloadDescription description;
    std::shared_ptr<const TaggedDownload> tag;
    TagBytesShare share;
    DownloadInFlight in_flight;
};

// The body's spans for bytes [first, last] of a download: the file's bytes
// as they are on disk, and, where a tag was built, its first header bytes
// and its table's pieces.
std::vector<Span> DownloadSpans(const HeldDownload& held, std::uint64_t first, std::uint64_t last) {
    std::vector<Span> spans;
    const auto add = [&](const std::uint8_t* memory, std::uint64_t start, std::uint64_t end) {
        const std::uint64_t begin = std::max(first, start);
        const std::uint64_t stop = std::min(last + 1, end);
        if (begin < stop) {
            spans.push_back(memory ? Span{memory, begin - start, stop - start}
                                   : Span{nullptr, begin, stop});
        }
    };
    const ServedPackage& package = *held.description.package;
    if (!held.tag) {
        add(nullptr, 0, package.table_offset());
        return spans;
    }
    const TaggedDownload& tag = *held.tag;
    add(tag.head.data(), 0, tag.head.size());
    add(nullptr, tag.head.size(), tag.body_end);
    std::uint64_t position = tag.body_end;
    for (const tag_writer::TablePiece& piece : tag.table.pieces()) {
        add(tag.table.BytesOf(piece).data(), position, position + piece.size);
        position += piece.size;
    }
    return spans;
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
        empty_line_bytes_ = 0;
        SkipEmptyLines();
    }

    // Empty lines in front of a request line are skipped, as HTTP asks (some
    // clients send one after a request); a few of them, not without end.
    void SkipEmptyLines() {
        const auto* bytes = static_cast<const char*>(buffer_.data().data());
        std::size_t empty = 0;
        while (empty < buffer_.size() && (bytes[empty] == '\r' || bytes[empty] == '\n')) {
            ++empty;
        }
        buffer_.consume(empty);
        empty_line_bytes_ += empty;
        if (empty_line_bytes_ > kMostEmptyLineBytes) {
            Close();
            return;
        }
        if (buffer_.size() == 0) {
            socket_.async_read_some(
                buffer_.prepare(kEmptyLineRead),
                [self = shared_from_this()](beast::error_code error, std::size_t received) {
                    if (error) {
                        self->Close();  // the client left, or took too long
                        return;
                    }
                    self->buffer_.commit(received);
                    self->SkipEmptyLines();
                });
            return;
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        http::async_read_header(socket_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->OnHeader(error);
                                });
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

    void OnHeader(const beast::error_code& error) {
        started_ = Clock::now();
        record_ = AccessRecord{client_, "-", "-", 0, 0, {}};
        if (error == http::error::header_limit) {
            // The parser takes the request line first: when it has none,
            // the line itself was too long (414), else the fields (431).
            const bool long_line = parser_->get().target().empty();
            Send(long_line ? TextAnswer(414, "the request line is too long")
                           : TextAnswer(431, "the request's header is too long"));
        } else if (error && IsParseError(error)) {
            Send(TextAnswer(400, "the request is not well-formed HTTP"));
        } else if (error) {
            Close();  // the client left, or took too long to ask
            return;
        } else {
            Answer(ReadRequestHead(*parser_));
        }
        // The request's fields are not needed any more; a download that
        // runs for hours keeps no more than it must. (The response's header
        // always goes out asynchronously, so no next request is read yet.)
        parser_.reset();
        if (buffer_.size() == 0) {
            buffer_.shrink_to_fit();
        }
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
            Header(plan), std::move(body), held_ ? held_->description.package->file() : -1,
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

    std::string Header(const ResponsePlan& plan) const {
        http::response<http::empty_body> response{static_cast<http::status>(plan.status), 11};
        response.set(http::field::date, HttpDate(std::chrono::system_clock::now()));
        for (const auto& [name, value] : plan.fields) {
            response.set(name, value);
        }
        if (plan.content_length) {
            response.content_length(*plan.content_length);
        }
        response.keep_alive(plan.keep_alive);
        std::ostringstream header;
        header << response.base();
        return header.str();
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
    std::size_t empty_line_bytes_ = 0;  // skipped in front of this request
    std::optional<http::request_parser<http::empty_body>> parser_;

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
