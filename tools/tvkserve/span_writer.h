// Sends one response's bytes on a connection: the header, then the body's
// spans, each either memory (the first header bytes, the table's pieces, a
// text) or a range of the package file. Runs of memory spans go out in one
// gathered write; file ranges go from the file to the socket with sendfile,
// a bounded share per turn so that the other connections on the thread get
// theirs. So a download holds no buffer of its own.
//
// It also tells how far the client got: what was written less what the
// socket still holds unacknowledged, so that a client that reads slowly
// counts as taking bytes long before the server's socket has room for a
// whole write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace tvkserve {

// A part of a response body: bytes [begin, end) of memory, or of the
// package file when memory is null.
struct Span {
    const std::uint8_t* memory = nullptr;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

class SpanWriter {
  public:
    // Called after each write with the bytes it took, all of them and those
    // of the body.
    using Progress = std::function<void(std::uint64_t written, std::uint64_t body)>;
    // Called once at the end: whether every byte went out.
    using Done = std::function<void(bool complete)>;

    explicit SpanWriter(boost::asio::ip::tcp::socket& socket) : socket_(socket) {}
    SpanWriter(const SpanWriter&) = delete;
    SpanWriter& operator=(const SpanWriter&) = delete;

    // Sends header, then body; file is what spans without memory read from.
    // The memory must stay valid until done is called. The callbacks are
    // called on the socket's executor and dropped after done.
    void Send(std::string header, std::vector<Span> body, int file, Progress progress, Done done);

    // Whether the client has taken bytes since the last look.
    bool ClientTookBytes();
    // The connection's bytes written so far, and of them those the client
    // has acknowledged (all of them when the socket cannot say).
    std::uint64_t written() const { return written_; }
    std::uint64_t Acknowledged() const;

  private:
    void SendNext();
    void AfterMemoryWrite(std::size_t written);
    void SendFromFile();
    void Took(std::uint64_t written, std::uint64_t body);
    void End(bool complete);

    boost::asio::ip::tcp::socket& socket_;
    std::string header_;
    std::vector<Span> spans_;  // the header, then the body
    std::size_t span_ = 0;
    int file_ = -1;
    std::vector<boost::asio::const_buffer> gathered_;
    Progress progress_;
    Done done_;
    std::uint64_t written_ = 0;     // to the socket, over the connection's life
    std::uint64_t taken_seen_ = 0;  // by the client, at the last look
};

}  // namespace tvkserve
