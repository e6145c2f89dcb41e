#include "tools/tvkserve/turn_away.h"

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/response_plan.h"

namespace tvkserve {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// How long a turned-away client may take to read the answer and close.
constexpr std::chrono::seconds kLinger{2};
constexpr char kMessage[] = "the server has as many connections as it takes; try again later\n";

class Refusal : public std::enable_shared_from_this<Refusal> {
  public:
    Refusal(tcp::socket socket, std::atomic<std::size_t>& turning_away)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), turning_away_(turning_away) {
        answer_ = "HTTP/1.1 503 Service Unavailable\r\nDate: " +
                  HttpDate(std::chrono::system_clock::now()) +
                  "\r\nRetry-After: " + std::to_string(kRetryAfterSeconds) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                  std::to_string(sizeof kMessage - 1) + "\r\nConnection: close\r\n\r\n" + kMessage;
    }
    ~Refusal() { --turning_away_; }

    void Start() {
        timer_.expires_after(kLinger);
        timer_.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error) {
                self->Close();
            }
        });
        asio::async_write(
            socket_, asio::buffer(answer_),
            [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                if (error) {
                    self->Close();
                    return;
                }
                boost::system::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                self->Drain();
            });
    }

  private:
    void Drain() {
        socket_.async_read_some(
            asio::buffer(discard_),
            [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                if (error) {
                    self->Close();  // the client closed (or left)
                } else {
                    self->Drain();
                }
            });
    }

    void Close() {
        boost::system::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    std::atomic<std::size_t>& turning_away_;
    std::string answer_;
    std::array<char, 4096> discard_{};
};

}  // namespace

void TurnAway(tcp::socket socket, std::atomic<std::size_t>& turning_away) {
    if (++turning_away > kMostTurningAway) {
        --turning_away;
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    std::shared_ptr<Refusal> refusal;
    try {
        refusal = std::make_shared<Refusal>(std::move(socket), turning_away);
    } catch (...) {
        --turning_away;
        throw;
    }
    refusal->Start();
}

}  // namespace tvkserve
