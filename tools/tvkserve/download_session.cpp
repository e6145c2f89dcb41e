#include "tools/tvkserve/download_session.h"

#include <sys/sendfile.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <variant>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/http_fields.h"

namespace tvkserve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The most a session sends in one turn before the other sessions on its
// thread get theirs.
constexpr std::size_t kTurnBytes = 1 << 20;
// The most bytes one write from memory takes.
constexpr std::size_t kMemoryChunk = 256 * 1024;

// A header field to send: its name and value.
using Field = std::pair<std::string_view, std::string>;

constexpr char kOctetStream[] = "application/octet-stream";
constexpr char kPlainText[] = "text/plain; charset=utf-8";

bool IsParseError(const beast::error_code& error) {
    return error.category() == http::make_error_code(http::error::bad_method).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message;
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, SessionHost& host)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), host_(host) {
        beast::error_code ignored;
        const tcp::endpoint peer = socket_.remote_endpoint(ignored);
        client_ = ignored ? std::string("-") : peer.address().to_string();
        // Small writes (a header, an error text, a table) go out at once.
        socket_.set_option(tcp::no_delay(true), ignored);
        socket_.native_non_blocking(true, ignored);
    }
    ~Session() { host_.Unregister(this); }

    void Start() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->deadline_ = Clock::now() + kRequestTimeout;
            self->Watch();
            self->ReadRequest();
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
    // A part of the body: from memory (the headers, the table, an error
    // text) or from the package file.
    struct Piece {
        const std::uint8_t* memory = nullptr;  // null: the package file
        std::uint64_t begin = 0;               // offsets into memory, or file offsets
        std::uint64_t end = 0;
    };

    // --- reading requests ----------------------------------------------------

    void ReadRequest() {
        if (draining_ || host_.draining() || closed_) {
            Close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        waiting_ = true;
        deadline_ = Clock::now() + kRequestTimeout;
        http::async_read_header(socket_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->OnHeader(error);
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
            keep_alive_ = false;
            Reply(long_line ? 414 : 431,
                  long_line ? "the request line is too long" : "the request's header is too long");
            return;
        }
        if (error && IsParseError(error)) {
            keep_alive_ = false;
            Reply(400, "the request is not well-formed HTTP");
            return;
        }
        if (error) {
            Close();  // the client left, or took too long to ask
            return;
        }
        try {
            Answer();
        } catch (const std::exception& failure) {
            std::cerr << "tvkserve: cannot answer " << record_.target << ": " << failure.what()
                      << "\n";
            keep_alive_ = false;
            Reply(503, "the server cannot make this download now");
        }
    }

    // --- answering -----------------------------------------------------------

    void Answer() {
        const http::request<http::empty_body>& request = parser_->get();
        record_.method = std::string(request.method_string());
        record_.target = std::string(request.target());
        head_only_ = request.method() == http::verb::head;
        if (request.method() != http::verb::get && !head_only_) {
            keep_alive_ = false;  // a body the request may carry is not read
            Reply(405, "only GET and HEAD are allowed", {{"Allow", "GET, HEAD"}});
            return;
        }
        if (request.target().size() > kRequestLineLimit) {
            keep_alive_ = false;
            Reply(414, "the request line is too long");
            return;
        }
        if (parser_->chunked() || parser_->content_length().value_or(0) > 0) {
            keep_alive_ = false;
            Reply(400, "a download request carries no body");
            return;
        }
        keep_alive_ = request.keep_alive() && !draining_ && !host_.draining();

        const auto selection = SelectDownload(request.target(), host_.config());
        if (const auto* rejection = std::get_if<RequestRejection>(&selection)) {
            Reply(rejection->status, rejection->message);
            return;
        }
        try {
            download_ = host_.catalog().Download(std::get<DownloadSelection>(selection));
        } catch (const tvkpack::CommandError& error) {
            Reply(400, std::string("the parameters cannot be tagged: ") + error.what());
            return;
        }
        const TaggedDownload& download = *download_;
        const std::string package_name =
            std::get<DownloadSelection>(selection).package->download_name;

        const auto if_none_match = request.find(http::field::if_none_match);
        if (if_none_match != request.end() &&
            NoneMatchHolds(if_none_match->value(), download.etag)) {
            Respond(304, {{"ETag", download.etag}}, std::nullopt);
            return;
        }
        RangeRequest range;
        const auto range_field = request.find(http::field::range);
        const auto if_range = request.find(http::field::if_range);
        if (range_field != request.end() &&
            (if_range == request.end() || IfRangeHolds(if_range->value(), download.etag))) {
            range = ParseRange(range_field->value(), download.size);
        }
        if (range.kind == RangeRequest::Kind::kUnsatisfiable) {
            Reply(416, "the range lies beyond the " + std::to_string(download.size) + " bytes",
                  {{"Content-Range", ContentRange(range, download.size)},
                   {"Accept-Ranges", "bytes"},
                   {"ETag", download.etag}});
            return;
        }
        if (range.kind == RangeRequest::Kind::kWhole) {
            range.first = 0;
            range.last = download.size - 1;
        }
        std::vector<Field> fields = {{"Content-Type", kOctetStream},
                                     {"Content-Disposition", ContentDisposition(package_name)},
                                     {"ETag", download.etag},
                                     {"Accept-Ranges", "bytes"}};
        if (range.kind == RangeRequest::Kind::kPart) {
            fields.emplace_back("Content-Range", ContentRange(range, download.size));
        }
        pieces_.clear();
        const auto add = [&](const std::uint8_t* memory, std::uint64_t start, std::uint64_t end) {
            const std::uint64_t begin = std::max(range.first, start);
            const std::uint64_t stop = std::min(range.last + 1, end);
            if (begin < stop) {
                pieces_.push_back(memory ? Piece{memory, begin - start, stop - start}
                                         : Piece{nullptr, begin, stop});
            }
        };
        add(download.head.data(), 0, download.head.size());
        add(nullptr, download.head.size(), download.body_end);
        add(download.table.data(), download.body_end, download.size);
        Respond(range.kind == RangeRequest::Kind::kPart ? 206 : 200, fields,
                range.last + 1 - range.first);
    }

    // An answer whose body is a short text that says why.
    void Reply(unsigned status, const std::string& message, std::vector<Field> fields = {}) {
        message_ = message + "\n";
        fields.emplace_back("Content-Type", kPlainText);
        fields.emplace_back("X-Content-Type-Options", "nosniff");
        pieces_ = {
            Piece{reinterpret_cast<const std::uint8_t*>(message_.data()), 0, message_.size()}};
        Respond(status, fields, message_.size());
    }

    // Sends the header, then the pieces (none for HEAD and 304).
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
        if (head_only_ || !content_length) {
            pieces_.clear();
        }
        piece_ = 0;
        deadline_ = Clock::now() + kSendTimeout;
        asio::async_write(socket_, asio::buffer(header_),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->AfterWrite(error, 0);
                          });
    }

    void AfterWrite(const beast::error_code& error, std::size_t body_bytes) {
        if (error) {
            Abort();
            return;
        }
        Sent(body_bytes);
        SendNext();
    }

    void Sent(std::uint64_t bytes) {
        record_.bytes += bytes;
        deadline_ = Clock::now() + kSendTimeout;
    }

    void SendNext() {
        while (piece_ < pieces_.size() && pieces_[piece_].begin == pieces_[piece_].end) {
            ++piece_;
        }
        if (piece_ == pieces_.size()) {
            Finish();
            return;
        }
        Piece& piece = pieces_[piece_];
        if (piece.memory) {
            const auto size = static_cast<std::size_t>(
                std::min<std::uint64_t>(kMemoryChunk, piece.end - piece.begin));
            const std::uint8_t* data = piece.memory + piece.begin;
            piece.begin += size;
            asio::async_write(socket_, asio::buffer(data, size),
                              [self = shared_from_this()](beast::error_code error, std::size_t n) {
                                  self->AfterWrite(error, n);
                              });
            return;
        }
        SendFromFile();
    }

    // sendfile until the socket's buffer is full (then wait until it may be
    // written again) or this turn's share is sent.
    void SendFromFile() {
        Piece& piece = pieces_[piece_];
        std::uint64_t this_turn = 0;
        while (piece.begin < piece.end) {
            if (this_turn >= kTurnBytes) {
                Sent(0);
                asio::post(socket_.get_executor(),
                           [self = shared_from_this()] { self->SendNext(); });
                return;
            }
            auto offset = static_cast<off_t>(piece.begin);
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.end - piece.begin, kTurnBytes));
            const ssize_t sent =
                ::sendfile(socket_.native_handle(), download_->file, &offset, count);
            if (sent > 0) {
                piece.begin += static_cast<std::uint64_t>(sent);
                this_turn += static_cast<std::uint64_t>(sent);
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
        ReadRequest();
    }

    // The response was cut off: log what was sent and drop the connection.
    void Abort() {
        Log();
        Close();
    }

    void Log() {
        if (record_.status == 0) {
            return;
        }
        record_.duration = Clock::now() - started_;
        host_.log().Write(record_);
        record_.status = 0;
        download_.reset();
        pieces_.clear();
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

    // Closes the connection when its deadline passes; progress moves the
    // deadline without touching the timer.
    void Watch() {
        timer_.expires_at(deadline_);
        timer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->closed_) {
                return;
            }
            if (Clock::now() >= self->deadline_) {
                self->Close();
                return;
            }
            self->Watch();
        });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    SessionHost& host_;
    std::string client_;
    Clock::time_point deadline_;
    bool waiting_ = false;
    bool draining_ = false;
    bool closed_ = false;

    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;

    // The response in progress.
    bool keep_alive_ = false;
    bool head_only_ = false;
    std::string header_;
    std::string message_;
    std::shared_ptr<const TaggedDownload> download_;
    std::vector<Piece> pieces_;
    std::size_t piece_ = 0;
    AccessRecord record_;
    Clock::time_point started_;
};

void StartSession(tcp::socket socket, SessionHost& host) {
    auto session = std::make_shared<Session>(std::move(socket), host);
    host.Register(session);
    session->Start();
}

void DrainSession(const std::shared_ptr<Session>& session) {
    session->Drain();
}

}  // namespace tvkserve
