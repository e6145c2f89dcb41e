#include "tools/tvkserve/span_writer.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include <boost/asio/post.hpp>

namespace tvkserve {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// The most a response sends from the package file in one turn before the
// other connections on its thread get theirs.
constexpr std::uint64_t kTurnBytes = 1 << 20;
// The most spans of memory one write gathers.
constexpr std::size_t kMostGathered = 32;

}  // namespace

void SpanWriter::Send(std::string header, std::vector<Span> body, int file, Progress progress,
                      Done done) {
    header_ = std::move(header);
    spans_.clear();
    spans_.reserve(body.size() + 1);
    spans_.push_back(
        Span{reinterpret_cast<const std::uint8_t*>(header_.data()), 0, header_.size()});
    spans_.insert(spans_.end(), body.begin(), body.end());
    span_ = 0;
    file_ = file;
    progress_ = std::move(progress);
    done_ = std::move(done);
    SendNext();
}

std::uint64_t SpanWriter::Acknowledged() const {
    int unacknowledged = 0;
    if (!socket_.is_open() ||
        ::ioctl(const_cast<boost::asio::ip::tcp::socket&>(socket_).native_handle(), SIOCOUTQ,
                &unacknowledged) != 0 ||
        unacknowledged < 0) {
        return written_;
    }
    return written_ - std::min<std::uint64_t>(written_, static_cast<std::uint64_t>(unacknowledged));
}

bool SpanWriter::ClientTookBytes() {
    if (!socket_.is_open()) {
        return false;
    }
    const std::uint64_t taken = Acknowledged();
    if (taken <= taken_seen_) {
        return false;
    }
    taken_seen_ = taken;
    return true;
}

void SpanWriter::SendNext() {
    while (span_ < spans_.size() && spans_[span_].begin == spans_[span_].end) {
        ++span_;
    }
    if (span_ == spans_.size()) {
        End(true);
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
    socket_.async_write_some(gathered_,
                             [this](boost::system::error_code error, std::size_t written) {
                                 if (error) {
                                     End(false);
                                 } else {
                                     AfterMemoryWrite(written);
                                 }
                             });
}

void SpanWriter::AfterMemoryWrite(std::size_t written) {
    std::uint64_t body = 0;
    for (std::size_t left = written; left > 0; ++span_) {
        Span& span = spans_[span_];
        const auto taken =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, span.end - span.begin));
        span.begin += taken;
        left -= taken;
        if (span_ > 0) {
            body += taken;  // span 0 is the header
        }
        if (span.begin != span.end) {
            break;
        }
    }
    Took(written, body);
    SendNext();
}

// sendfile until the socket's buffer is full (then wait until it may be
// written again) or this turn's share is sent.
void SpanWriter::SendFromFile() {
    Span& span = spans_[span_];
    std::uint64_t this_turn = 0;
    while (span.begin < span.end) {
        if (this_turn >= kTurnBytes) {
            asio::post(socket_.get_executor(), [this] { SendNext(); });
            return;
        }
        auto offset = static_cast<off_t>(span.begin);
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(span.end - span.begin, kTurnBytes));
        const ssize_t sent = ::sendfile(socket_.native_handle(), file_, &offset, count);
        if (sent > 0) {
            span.begin += static_cast<std::uint64_t>(sent);
            this_turn += static_cast<std::uint64_t>(sent);
            Took(static_cast<std::uint64_t>(sent), static_cast<std::uint64_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            socket_.async_wait(tcp::socket::wait_write, [this](boost::system::error_code error) {
                if (error) {
                    End(false);
                } else {
                    SendFromFile();
                }
            });
            return;
        }
        if (sent == 0) {
            std::cerr << "tvkserve: a package file became shorter than it was at start; "
                         "restart the server after replacing a package\n";
        }
        End(false);  // the client left, or the file cannot be read
        return;
    }
    SendNext();
}

void SpanWriter::Took(std::uint64_t written, std::uint64_t body) {
    written_ += written;
    progress_(written, body);
}

void SpanWriter::End(bool complete) {
    const Done done = std::move(done_);
    done_ = nullptr;
    progress_ = nullptr;
    spans_.clear();
    spans_.shrink_to_fit();
    gathered_.clear();
    gathered_.shrink_to_fit();
    header_.clear();
    header_.shrink_to_fit();
    done(complete);
}

}  // namespace tvkserve
