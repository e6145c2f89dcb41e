#include "tests/tvkserve/server_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

extern char** environ;

namespace tvkserve_test {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kExchangeTimeout = std::chrono::seconds(30);
constexpr char kListening[] = "tvkserve: listening on 127.0.0.1:";
constexpr char kMetricsOn[] = "tvkserve: metrics on 127.0.0.1:";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t Spawn(const std::vector<std::string>& arguments, const fs::path& out, const fs::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string& program = arguments.front();
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int status = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return pid;
}

pid_t Spawn(const fs::path& config, const fs::path& out, const fs::path& err) {
    return Spawn({TVK_TVKSERVE, "--config", config.string()}, out, err);
}

// A loopback port that nothing listens on now.
std::uint16_t FreePort() {
    asio::io_context context;
    asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

bool Accepts(std::uint16_t port) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    return !error;
}

}  // namespace

ServerProcess::ServerProcess(const fs::path& config)
    : out_(fs::path(config).replace_extension(".out")),
      err_(fs::path(config).replace_extension(".err")) {
    pid_ = Spawn(config, out_, err_);
    const auto give_up = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < give_up) {
        const std::string errors = Errors();
        if (const std::size_t at = errors.find(kListening);
            at != std::string::npos && errors.find('\n', at) != std::string::npos) {
            port_ =
                static_cast<std::uint16_t>(std::stoi(errors.substr(at + sizeof kListening - 1)));
            if (const std::size_t metrics = errors.find(kMetricsOn); metrics < at) {
                metrics_port_ = static_cast<std::uint16_t>(
                    std::stoi(errors.substr(metrics + sizeof kMetricsOn - 1)));
            }
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("tvkserve ended at start: " + Errors());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("tvkserve did not start listening: " + Errors());
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string ServerProcess::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void ServerProcess::Signal(int signal_number) const {
    kill(pid_, signal_number);
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::seconds timeout) {
    const auto give_up = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < give_up) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::string ServerProcess::AccessLog() const {
    return ReadText(out_);
}

std::string ServerProcess::Errors() const {
    return ReadText(err_);
}

std::uint64_t ServerProcess::ResidentBytes() const {
    const std::string status = ReadText("/proc/" + std::to_string(pid_) + "/status");
    const std::size_t at = status.find("VmRSS:");
    if (at == std::string::npos) {
        throw std::runtime_error("no VmRSS in /proc/" + std::to_string(pid_) + "/status");
    }
    return std::stoull(status.substr(at + 6)) * 1024;  // in kB
}

NginxProcess::NginxProcess(const std::function<std::string(std::uint16_t port)>& http_block) {
    char folder[] = "/tmp/tvkserve-nginx-XXXXXX";
    if (!mkdtemp(folder)) {
        throw std::runtime_error("cannot make a folder for nginx");
    }
    prefix_ = folder;
    // As root, nginx's workers would take the user "nobody" and its group,
    // which Debian does not have; they stay who the test is.
    std::string user;
    if (geteuid() == 0) {
        user = std::string("user ") + getpwuid(geteuid())->pw_name + " " +
               getgrgid(getegid())->gr_name + ";\n";
    }
    const std::string p = prefix_.string();
    // A port found free may be taken before nginx binds it: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreePort();
        std::ofstream(prefix_ / "nginx.conf")
            << "daemon off;\nworker_processes 1;\n"
            << user << "pid " << p << "/nginx.pid;\nerror_log " << p
            << "/error.log;\nevents { worker_connections 64; }\nhttp {\n    access_log " << p
            << "/access.log;\n    client_body_temp_path " << p << "/body;\n    proxy_temp_path "
            << p << "/proxy;\n    fastcgi_temp_path " << p << "/fastcgi;\n    uwsgi_temp_path " << p
            << "/uwsgi;\n    scgi_temp_path " << p << "/scgi;\n"
            << http_block(port_) << "\n}\n";
        pid_ = Spawn(
            {"/usr/sbin/nginx", "-e", p + "/error.log", "-p", p + "/", "-c", p + "/nginx.conf"},
            prefix_ / "nginx.out", prefix_ / "nginx.err");
        const auto give_up = std::chrono::steady_clock::now() + kStartTimeout;
        while (std::chrono::steady_clock::now() < give_up) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (Accepts(port_)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0 || Errors().find("Address already in use") == std::string::npos) {
            break;
        }
    }
    const std::string errors = Errors();
    Stop();
    throw std::runtime_error("nginx did not start: " + errors);
}

NginxProcess::~NginxProcess() {
    Stop();
}

void NginxProcess::Stop() {
    if (pid_ > 0) {
        // Fast shutdown: the master ends its workers, then itself.
        kill(pid_, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 500 && !ended; ++i) {
            ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
            if (!ended) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    std::error_code ignored;
    fs::remove_all(prefix_, ignored);
}

std::string NginxProcess::Errors() const {
    return ReadText(prefix_ / "error.log") + ReadText(prefix_ / "nginx.err");
}

StartFailure RunUntilExit(const fs::path& config) {
    const fs::path out = fs::path(config).replace_extension(".out");
    const fs::path err = fs::path(config).replace_extension(".err");
    const pid_t pid = Spawn(config, out, err);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(err)};
}

// The stream's time limit applies to asynchronous operations only: each
// operation runs asynchronously until it completes or its time is up.
struct Connection::Stream {
    asio::io_context context;
    beast::tcp_stream stream{context};
    beast::flat_buffer buffer;

    template <typename Start>
    std::size_t Run(Start&& start, bool throw_on_error = true,
                    boost::system::error_code* error_out = nullptr) {
        boost::system::error_code error;
        std::size_t done = 0;
        stream.expires_after(kExchangeTimeout);
        start([&](boost::system::error_code e, std::size_t n) { error = e, done = n; });
        context.restart();
        context.run();
        if (error_out) {
            *error_out = error;
        }
        if (error && throw_on_error) {
            throw boost::system::system_error(error);
        }
        return done;
    }
};

Connection::Connection(std::uint16_t port, const std::string& from)
    : stream_(std::make_unique<Stream>()) {
    const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), port);
    if (!from.empty()) {
        stream_->stream.socket().open(asio::ip::tcp::v4());
        stream_->stream.socket().bind({asio::ip::make_address(from), 0});
    }
    stream_->Run([&](auto done) {
        stream_->stream.async_connect(server, [done](boost::system::error_code e) { done(e, 0); });
    });
}

Connection::~Connection() = default;

void Connection::Write(const std::string& bytes) {
    stream_->Run([&](auto done) { asio::async_write(stream_->stream, asio::buffer(bytes), done); });
}

Response Connection::Exchange(const std::string& request, bool head) {
    Write(request);
    http::response_parser<http::string_body> parser;
    parser.body_limit(1ull << 30);
    parser.skip(head);
    stream_->Run(
        [&](auto done) { http::async_read(stream_->stream, stream_->buffer, parser, done); });
    Response response;
    response.status = parser.get().result_int();
    for (const auto& field : parser.get()) {
        std::string name(field.name_string());
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        response.fields[name] = std::string(field.value());
    }
    response.body = std::move(parser.get().body());
    return response;
}

std::string Connection::Read(std::size_t size) {
    std::string bytes(size, '\0');
    const std::size_t buffered = std::min(size, stream_->buffer.size());
    asio::buffer_copy(asio::buffer(bytes), stream_->buffer.data(), buffered);
    stream_->buffer.consume(buffered);
    stream_->Run([&](auto done) {
        asio::async_read(stream_->stream, asio::buffer(bytes.data() + buffered, size - buffered),
                         done);
    });
    return bytes;
}

bool Connection::ReadUntilClosed(std::string& received) {
    received.append(static_cast<const char*>(stream_->buffer.data().data()),
                    stream_->buffer.size());
    stream_->buffer.consume(stream_->buffer.size());
    std::vector<char> chunk(65536);
    for (;;) {
        boost::system::error_code error;
        const std::size_t got = stream_->Run(
            [&](auto done) { stream_->stream.async_read_some(asio::buffer(chunk), done); }, false,
            &error);
        received.append(chunk.data(), got);
        if (error) {
            return error == asio::error::eof || error == asio::error::connection_reset;
        }
    }
}

Response Exchange(std::uint16_t port, const std::string& request, bool head) {
    return Connection(port).Exchange(request, head);
}

Response Get(std::uint16_t port, const std::string& target, const std::string& extra) {
    return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n");
}

std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("# TYPE ")) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            types[name] = type;
            continue;
        }
        if (line.empty() || line.starts_with("#")) {
            continue;
        }
        const std::size_t space = line.rfind(' ');
        const std::string series = line.substr(0, space);
        const std::string name = series.substr(0, series.find('{'));
        std::string family = name;
        for (const char* suffix : {"_bucket", "_sum", "_count"}) {
            if (name.ends_with(suffix) &&
                types[name.substr(0, name.size() - std::strlen(suffix))] == "histogram") {
                family = name.substr(0, name.size() - std::strlen(suffix));
            }
        }
        std::size_t used = 0;
        double value = 0;
        try {
            value = std::stod(line.substr(space + 1), &used);
        } catch (const std::exception&) {
        }
        if (space == std::string::npos || used != line.size() - space - 1 ||
            series.find(' ') != std::string::npos || types.count(family) == 0 ||
            !samples.emplace(series, value).second) {
            throw std::runtime_error("not a sample of a declared family: " + line);
        }
    }
    return samples;
}

bool Eventually(const std::function<bool()>& holds) {
    const auto give_up = std::chrono::steady_clock::now() + kExchangeTimeout;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= give_up) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string WaitForErrorLine(const ServerProcess& server, const std::string& what) {
    const auto give_up = std::chrono::steady_clock::now() + kExchangeTimeout;
    while (std::chrono::steady_clock::now() < give_up) {
        const std::string errors = server.Errors();
        if (const std::size_t at = errors.find(what); at != std::string::npos) {
            const std::size_t end = errors.find('\n', at);
            if (end != std::string::npos) {
                const std::size_t start = errors.rfind('\n', at);
                const std::size_t first = start == std::string::npos ? 0 : start + 1;
                return errors.substr(first, end - first);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("tvkserve did not say '" + what + "': " + server.Errors());
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tvkserve_test
