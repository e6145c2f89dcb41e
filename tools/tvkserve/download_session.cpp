#include "tools/tvkserve/download_session.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <optional>
#include <sstream>
#include <variant>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/server_metrics.h"

namespace tvkserve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The most a session sends from the package file in one turn before the
// other sessions on its thread get theirs.
constexpr std::size_t kTurnBytes = 1 << 20;
// The most spans of memory one write gathers.
constexpr std::size_t kMostGathered = 32;

// A header field to send: its name and value.
using Field = std::pair<std::string_view, std::string>;

constexpr char kOctetStream[] = "application/octet-stream";
constexpr char kPlainText[] = "text/plain; charset=utf-8";

// The paths the metrics address answers.
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kHealthPath = "/healthz";

bool IsParseError(const beast::error_code& error) {
    return error.category() == http::make_error_code(http::error::bad_method).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message;
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
  public:
    // A connection takes the limits in force when it is accepted.
    Session(tcp::socket socket, SessionHost& host, SessionKind kind)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
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
    ~Session() {
        EndDownload();
        host_.Unregister(this);
    }

    void Start() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->ReadRequest();
            self->Watch();
        });
    }

    void Drain() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->draining_ = true;
            if (self->waiting_) {
                self->Close();
            }
        });
    }

  private:
    // A part of the response: from memory (the header, the first header
    // bytes, the table's pieces, an error text) or from the package file.
    struct Span {
        const std::uint8_t* memory = nullptr;  // null: the package file
        std::uint64_t begin = 0;               // offsets into memory, or file offsets
        std::uint64_t end = 0;
    };

    // --- reading requests ----------------------------------------------------

    // While the server finishes, the metrics address still answers (how
    // many downloads are left), each connection one request.
    bool Finishing() const {
        return draining_ || (kind_ == SessionKind::kDownloads && host_.draining());
    }

    void ReadRequest() {
        if (Finishing() || closed_) {
            Close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        waiting_ = true;
        responding_ = false;
        SetDeadline(limits_.request_header_timeout);
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
        waiting_ = true;
        responding_ = false;
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
        waiting_ = false;
        started_ = Clock::now();
        record_ = AccessRecord{client_, "-", "-", 0, 0, {}};
        keep_alive_ = false;
        head_only_ = false;
        if (error == http::error::header_limit) {
            // The parser takes the request line first: when it has none,
            // the line itself was too long (414), else the fields (431).
            const bool long_line = parser_->get().target().empty();
            Reply(long_line ? 414 : 431,
                  long_line ? "the request line is too long" : "the request's header is too long");
            return;
        }
        if (error && IsParseError(error)) {
            Reply(400, "the request is not well-formed HTTP");
            return;
        }
        if (error) {
            Close();  // the client left, or took too long to ask
            return;
        }
        try {
            Answer(parser_->get());
        } catch (const std::exception& failure) {
            std::cerr << "tvkserve: cannot answer " << record_.target << ": " << failure.what()
                      << "\n";
            if (kind_ == SessionKind::kDownloads) {
                ++host_.counters().failed;
            }
            keep_alive_ = false;
            Reply(503, "the server cannot make this download now",
                  {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
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

    void Answer(const http::request<http::empty_body>& request) {
        record_.method = std::string(request.method_string());
        record_.target = std::string(request.target());
        head_only_ = request.method() == http::verb::head;
        // The content this request is answered from; a reload after this
        // point changes nothing here.
        const std::shared_ptr<const ServedContent> content = host_.content();
        const ServeConfig& config = content->config;
        if (peer_ && !config.trusted_proxies.empty()) {
            record_.client =
                config.trusted_proxies.ClientOf(*peer_, ForwardedFor(request)).to_string();
        }
        if (request.method() != http::verb::get && !head_only_) {
            // A body the request may carry is not read.
            Reply(405, "only GET and HEAD are allowed", {{"Allow", "GET, HEAD"}});
            return;
        }
        if (request.target().size() > kRequestLineLimit) {
            Reply(414, "the request line is too long");
            return;
        }
        // A body this server does not read would be taken for the next
        // request; with any transfer coding the body's end is unknown, so
        // the connection ends here (a proxy in front cannot slip a second
        // request past it).
        if (request.find(http::field::transfer_encoding) != request.end()) {
            Reply(400, "a download request carries no body (it has a Transfer-Encoding)");
            return;
        }
        if (parser_->content_length().value_or(0) > 0) {
            Reply(400, "a download request carries no body");
            return;
        }
        keep_alive_ = request.keep_alive() && !draining_ && !host_.draining();
        if (kind_ == SessionKind::kMonitoring) {
            AnswerMonitoring(request.target());
            return;
        }

        const auto selection = SelectDownload(request.target(), config);
        if (const auto* rejection = std::get_if<RequestRejection>(&selection)) {
            Reply(rejection->status, rejection->message);
            return;
        }
        DownloadDescription description;
        try {
            description = content->catalog.Describe(std::get<DownloadSelection>(selection));
        } catch (const packaging::CommandError& error) {
            Reply(400, std::string("the parameters cannot be tagged: ") + error.what());
            return;
        }
        const std::uint64_t size = description.size;
        // What a 200 would carry for caches, a 304 carries too.
        std::vector<Field> cache_fields = {{"ETag", description.etag}};
        if (!config.cache_control.empty()) {
            cache_fields.emplace_back("Cache-Control", config.cache_control);
        }

        const auto if_none_match = request.find(http::field::if_none_match);
        if (if_none_match != request.end() &&
            NoneMatchHolds(if_none_match->value(), description.etag)) {
            Respond(304, cache_fields, std::nullopt);
            return;
        }
        RangeRequest range;
        const auto range_field = request.find(http::field::range);
        const auto if_range = request.find(http::field::if_range);
        if (range_field != request.end() &&
            (if_range == request.end() || IfRangeHolds(if_range->value(), description.etag))) {
            range = ParseRange(range_field->value(), size);
        }
        if (range.kind == RangeRequest::Kind::kUnsatisfiable) {
            Reply(416, "the range lies beyond the " + std::to_string(size) + " bytes",
                  {{"Content-Range", ContentRange(range, size)},
                   {"Accept-Ranges", "bytes"},
                   {"ETag", description.etag}});
            return;
        }
        if (range.kind == RangeRequest::Kind::kWhole) {
            range.first = 0;
            range.last = size - 1;
        }
        const DownloadSelection& chosen = std::get<DownloadSelection>(selection);
        std::vector<Field> fields = {
            {"Content-Type", kOctetStream},
            {"Content-Disposition", ContentDisposition(chosen.package->download_name)},
            {"Accept-Ranges", "bytes"}};
        fields.insert(fields.end(), cache_fields.begin(), cache_fields.end());
        if (range.kind == RangeRequest::Kind::kPart) {
            fields.emplace_back("Content-Range", ContentRange(range, size));
        }
        const unsigned status = range.kind == RangeRequest::Kind::kPart ? 206 : 200;
        const std::uint64_t length = range.last + 1 - range.first;
        if (head_only_) {
            Respond(status, fields, length);
            return;
        }
        if (!PlanBody(description, range)) {
            return;  // answered 503
        }
        host_.counters().downloads.Add(chosen.package->id, chosen.brand->id);
        BeginDownload();
        Respond(status, fields, length);
    }

    // X-Forwarded-For's values, in the order received, as one list.
    static std::string ForwardedFor(const http::request<http::empty_body>& request) {
        std::string list;
        const auto [first, last] = request.equal_range("X-Forwarded-For");
        for (auto field = first; field != last; ++field) {
            list += (list.empty() ? "" : ",") + std::string(field->value());
        }
        return list;
    }

    void AnswerMonitoring(std::string_view target) {
        const std::string_view path = target.substr(0, target.find('?'));
        if (path == kMetricsPath) {
            SendText(200, host_.MetricsText(), {}, kMetricsContentType);
        } else if (path == kHealthPath) {
            // A load balancer's health check: a server that finishes takes
            // no new downloads.
            if (host_.draining()) {
                Reply(503, "finishing the running downloads");
            } else {
                Reply(200, "ok");
            }
        } else {
            Reply(404, "there is nothing here; this address answers /metrics and /healthz");
        }
    }

    // A download's body is being sent: it counts as in flight until its
    // response ends.
    void BeginDownload() {
        in_flight_ = true;
        ++host_.counters().downloads_in_flight;
    }
    void EndDownload() {
        if (in_flight_) {
            in_flight_ = false;
            --host_.counters().downloads_in_flight;
        }
    }

    // The body's spans for the range: the file's bytes as they are on disk,
    // and, when the range takes any bytes a tag changes, the download built.
    // Returns false after answering 503 when the download's own bytes would
    // pass the server's limit.
    bool PlanBody(const DownloadDescription& description, const RangeRequest& range) {
        const ServedPackage& package = *description.package;
        body_.clear();
        package_ = description.package;  // its file stays open while it is sent
        file_ = package.file();
        const auto add = [&](const std::uint8_t* memory, std::uint64_t start, std::uint64_t end) {
            const std::uint64_t begin = std::max(range.first, start);
            const std::uint64_t stop = std::min(range.last + 1, end);
            if (begin < stop) {
                body_.push_back(memory ? Span{memory, begin - start, stop - start}
                                       : Span{nullptr, begin, stop});
            }
        };
        if (range.first >= package.head_size() && range.last < package.table_offset()) {
            add(nullptr, 0, package.table_offset());
            return true;
        }
        const Clock::time_point building = Clock::now();
        std::shared_ptr<const TaggedDownload> download = Catalog::Tag(description);
        host_.counters().tag_build_time.Observe(Clock::now() - building);
        ++host_.counters().tags_built;
        if (!host_.tag_bytes().Take(download->made_size())) {
            ++host_.counters().refused_tag_bytes;
            keep_alive_ = false;
            Reply(503, "the server is busy; try again later",
                  {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
            return false;
        }
        share_ = TagBytesShare(host_.tag_bytes(), download->made_size());
        add(download->head.data(), 0, download->head.size());
        add(nullptr, download->head.size(), download->body_end);
        std::uint64_t position = download->body_end;
        for (const tag_writer::TablePiece& piece : download->table.pieces()) {
            add(download->table.BytesOf(piece).data(), position, position + piece.size);
            position += piece.size;
        }
        download_ = std::move(download);
        return true;
    }

    // An answer whose body is a short text that says why. Refusals before
    // the request was understood end the connection (keep_alive_ is set
    // only once it was).
    void Reply(unsigned status, const std::string& message, std::vector<Field> fields = {}) {
        SendText(status, message + "\n", std::move(fields), kPlainText);
    }

    void SendText(unsigned status, std::string text, std::vector<Field> fields,
                  const char* content_type) {
        message_ = std::move(text);
        fields.emplace_back("Content-Type", content_type);
        fields.emplace_back("X-Content-Type-Options", "nosniff");
        body_ = {Span{reinterpret_cast<const std::uint8_t*>(message_.data()), 0, message_.size()}};
        Respond(status, fields, message_.size());
    }

    // Sends the header, then the body's spans (none for HEAD and 304).
    void Respond(unsigned status, const std::vector<Field>& fields,
                 std::optional<std::uint64_t> content_length) {
        http::response<http::empty_body> response{static_cast<http::status>(status), 11};
        response.set(http::field::date, HttpDate(std::chrono::system_clock::now()));
        for (const auto& [name, value] : fields) {
            response.set(name, value);
        }
        if (content_length) {
            response.content_length(*content_length);
        }
        response.keep_alive(keep_alive_);
        std::ostringstream header;
        header << response.base();
        header_ = header.str();
        record_.status = status;
        spans_ = {Span{reinterpret_cast<const std::uint8_t*>(header_.data()), 0, header_.size()}};
        if (!head_only_ && content_length) {
            spans_.insert(spans_.end(), body_.begin(), body_.end());
        }
        body_.clear();
        span_ = 0;
        responding_ = true;
        SetDeadline(limits_.stall_timeout);
        SendNext();
    }

    void SendNext() {
        while (span_ < spans_.size() && spans_[span_].begin == spans_[span_].end) {
            ++span_;
        }
        if (span_ == spans_.size()) {
            Finish();
            return;
        }
        if (!spans_[span_].memory) {
            SendFromFile();
            return;
        }
        // The memory spans up to the next file span, in one write.
        gathered_.clear();
        for (std::size_t i = span_;
             i < spans_.size() && spans_[i].memory && gathered_.size() < kMostGathered; ++i) {
            const Span& span = spans_[i];
            gathered_.emplace_back(span.memory + span.begin,
                                   static_cast<std::size_t>(span.end - span.begin));
        }
        socket_.async_write_some(
            gathered_, [self = shared_from_this()](beast::error_code error, std::size_t n) {
                self->AfterMemoryWrite(error, n);
            });
    }

    void AfterMemoryWrite(const beast::error_code& error, std::size_t written) {
        if (error) {
            Abort();
            return;
        }
        Sent(written);
        for (std::size_t left = written; left > 0; ++span_) {
            Span& span = spans_[span_];
            const auto taken =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, span.end - span.begin));
            span.begin += taken;
            left -= taken;
            if (span_ > 0) {
                CountBody(taken);  // span 0 is the header
            }
            if (span.begin != span.end) {
                break;
            }
        }
        SendNext();
    }

    void CountBody(std::uint64_t bytes) {
        record_.bytes += bytes;
        if (kind_ == SessionKind::kDownloads) {
            host_.counters().body_bytes.fetch_add(bytes, std::memory_order_relaxed);
        }
    }

    // The client took bytes: the stall time starts again.
    void Sent(std::uint64_t bytes) {
        written_ += bytes;
        SetDeadline(limits_.stall_timeout);
    }

    // sendfile until the socket's buffer is full (then wait until it may be
    // written again) or this turn's share is sent.
    void SendFromFile() {
        Span& span = spans_[span_];
        std::uint64_t this_turn = 0;
        while (span.begin < span.end) {
            if (this_turn >= kTurnBytes) {
                asio::post(socket_.get_executor(),
                           [self = shared_from_this()] { self->SendNext(); });
                return;
            }
            auto offset = static_cast<off_t>(span.begin);
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(span.end - span.begin, kTurnBytes));
            const ssize_t sent = ::sendfile(socket_.native_handle(), file_, &offset, count);
            if (sent > 0) {
                span.begin += static_cast<std::uint64_t>(sent);
                this_turn += static_cast<std::uint64_t>(sent);
                CountBody(static_cast<std::uint64_t>(sent));
                Sent(static_cast<std::uint64_t>(sent));
                continue;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                socket_.async_wait(tcp::socket::wait_write,
                                   [self = shared_from_this()](beast::error_code error) {
                                       if (error) {
                                           self->Abort();
                                       } else {
                                           self->SendFromFile();
                                       }
                                   });
                return;
            }
            if (sent == 0) {
                std::cerr << "tvkserve: a package file became shorter than it was at start; "
                             "restart the server after replacing a package\n";
            }
            Abort();  // the client left, or the file cannot be read
            return;
        }
        SendNext();
    }

    // The response is complete: log it, then wait for the next request.
    void Finish() {
        Log();
        if (!keep_alive_) {
            Close();
            return;
        }
        AwaitNextRequest();
    }

    // The response was cut off: log what was sent and drop the connection.
    void Abort() {
        Log();
        Close();
    }

    void Log() {
        responding_ = false;
        if (record_.status == 0) {
            return;
        }
        record_.duration = Clock::now() - started_;
        if (kind_ == SessionKind::kDownloads) {
            host_.log().Write(record_);
            ++host_.counters().requests;
            host_.counters().responses.Add(record_.status);
        }
        record_.status = 0;
        EndDownload();
        download_.reset();
        package_.reset();
        share_.Release();
        spans_.clear();
        spans_.shrink_to_fit();
        gathered_.clear();
        gathered_.shrink_to_fit();
    }

    // --- ending ----------------------------------------------------------------

    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
    }

    // Whether the client has taken bytes since the last look: what was
    // written less what the socket still holds unacknowledged. A client
    // that reads slowly takes bytes long before the server's socket buffer
    // has room for another write.
    bool ClientTookBytes() {
        int unacknowledged = 0;
        if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) != 0) {
            return false;
        }
        const std::uint64_t taken = written_ - static_cast<std::uint64_t>(unacknowledged);
        if (taken <= taken_seen_) {
            return false;
        }
        taken_seen_ = taken;
        return true;
    }

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
            if (error || self->closed_) {
                return;  // set anew, or closed
            }
            if (Clock::now() >= self->deadline_) {
                if (!self->responding_ || !self->ClientTookBytes()) {
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
    SessionHost& host_;
    const SessionKind kind_;
    const ServeLimits limits_;
    std::optional<asio::ip::address> peer_;
    std::string client_;  // the peer's address, "-" when unknown
    Clock::time_point deadline_;
    bool waiting_ = false;     // for a request
    bool responding_ = false;  // sending a response
    bool draining_ = false;
    bool closed_ = false;
    std::uint64_t written_ = 0;     // to the socket, over the connection's life
    std::uint64_t taken_seen_ = 0;  // by the client, at the last look

    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;

    // The response in progress.
    bool keep_alive_ = false;
    bool head_only_ = false;
    std::string header_;
    std::string message_;
    // The package (and its open file) and the tag a download was planned
    // with, held until its response ends, whatever reloads come.
    std::shared_ptr<const ServedPackage> package_;
    std::shared_ptr<const TaggedDownload> download_;
    bool in_flight_ = false;
    TagBytesShare share_;
    int file_ = -1;
    std::vector<Span> body_;   // planned, before the header is made
    std::vector<Span> spans_;  // the header, then the body
    std::size_t span_ = 0;
    std::vector<asio::const_buffer> gathered_;
    AccessRecord record_;
    Clock::time_point started_;
};

void StartSession(tcp::socket socket, SessionHost& host, SessionKind kind) {
    auto session = std::make_shared<Session>(std::move(socket), host, kind);
    host.Register(session, kind);
    if (kind == SessionKind::kDownloads) {
        ++host.counters().connections;
    }
    session->Start();
}

void DrainSession(const std::shared_ptr<Session>& session) {
    session->Drain();
}

}  // namespace tvkserve
