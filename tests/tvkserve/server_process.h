// The download server as its tests meet it: a real tvkserve process on a
// free loopback port, ended by the test, and plain HTTP clients (Beast, in
// this process) whose waits are all bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tvkserve_test {

class ServerProcess {
  public:
    // Starts tvkserve --config config with its output in files beside the
    // configuration, and waits until it listens.
    explicit ServerProcess(const std::filesystem::path& config);
    // Ends the process (SIGKILL) if it still runs.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    // The metrics address's port; 0 when the configuration names none.
    std::uint16_t metrics_port() const { return metrics_port_; }
    std::string Url(const std::string& target) const;
    void Signal(int signal_number) const;
    // The exit status once it has exited, or nothing after timeout.
    std::optional<int> WaitForExit(std::chrono::seconds timeout);
    std::string AccessLog() const;  // its standard output
    std::string Errors() const;     // its standard error
    // Its resident memory now, from /proc.
    std::uint64_t ResidentBytes() const;

  private:
    std::filesystem::path out_;
    std::filesystem::path err_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t metrics_port_ = 0;
};

// Debian's nginx (/usr/sbin/nginx) in front of servers: in the foreground,
// with everything of its own (configuration, logs, pid, temporary files) in
// a folder that goes with it, on a free loopback port; ended (SIGTERM) by
// the destructor. http_block(port) makes what goes inside http { }.
class NginxProcess {
  public:
    explicit NginxProcess(const std::function<std::string(std::uint16_t port)>& http_block);
    ~NginxProcess();
    NginxProcess(const NginxProcess&) = delete;
    NginxProcess& operator=(const NginxProcess&) = delete;

    std::uint16_t port() const { return port_; }
    std::string Errors() const;

  private:
    void Stop();

    std::filesystem::path prefix_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

// What tvkserve prints on standard error when a configuration is refused,
// and its exit status.
struct StartFailure {
    int status;
    std::string errors;
};
StartFailure RunUntilExit(const std::filesystem::path& config);

struct Response {
    unsigned status = 0;
    std::map<std::string, std::string> fields;  // names in lower case
    std::string body;

    // A field's value; empty when the response has none.
    std::string Field(const std::string& lower_case_name) const {
        const auto found = fields.find(lower_case_name);
        return found == fields.end() ? std::string() : found->second;
    }
};

// A client connection kept for several requests; every wait ends after 30 s
// (with an exception).
class Connection {
  public:
    // from: the loopback address to connect from (127.0.0.1 when empty);
    // any in 127.0.0.0/8 is this machine's.
    explicit Connection(std::uint16_t port, const std::string& from = "");
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Write(const std::string& bytes);
    // Sends request (raw text) and reads one response; for a response to
    // HEAD, pass head.
    Response Exchange(const std::string& request, bool head = false);
    // Reads exactly size bytes.
    std::string Read(std::size_t size);
    // Reads until the server closes the connection; false when it has not
    // closed it after 30 s.
    bool ReadUntilClosed(std::string& received);

  private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

// Sends request (raw text) on a new connection and reads one response; for
// a response to HEAD, pass head. Fails the test after 30 s.
Response Exchange(std::uint16_t port, const std::string& request, bool head = false);
// A GET of target with the extra header lines given ("Name: value\r\n"...).
Response Get(std::uint16_t port, const std::string& target, const std::string& extra = "");

// The samples of a Prometheus text exposition, by series ("name{labels}"
// as written); throws std::runtime_error for a line that is no sample, a
// series given twice, or a sample of a family without a TYPE line.
std::map<std::string, double> ParseMetrics(const std::string& text);

// Whether holds() came true within 30 s (asked every 20 ms): for what the
// server does after a client has its answer (logging, counting).
bool Eventually(const std::function<bool()>& holds);

// Waits (up to 30 s) until the line of text that holds what appears in the
// process's standard error; returns that line.
std::string WaitForErrorLine(const ServerProcess& server, const std::string& what);

// Runs a shell command line; returns its exit status.
int Shell(const std::string& command);

}  // namespace tvkserve_test
