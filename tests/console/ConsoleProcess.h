#pragma once
// The real qtx-console as a child process on 127.0.0.1 (a free port), for one program folder,
// and an HTTP client that keeps the session cookie and the CSRF token like a browser page.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/HttpClient.h"

namespace qtx::test {

inline std::string ConsoleBinary() {
    return std::string(QTX_BINARY_DIR) + "/apps/qtx-console/qtx-console";
}

// Starts the console binary with args, its standard input from in and its output (standard
// output, and error too when both) to out; returns the child's pid.
inline pid_t SpawnConsole(const std::vector<std::string>& args, int in, int out, bool both) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (in >= 0)
            ::dup2(in, 0);
        ::dup2(out, 1);
        if (both)
            ::dup2(out, 2);
        std::vector<std::string> copy{ConsoleBinary()};
        copy.insert(copy.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Runs the console binary with args, feeding input on standard input; returns exit status and
// output (standard output and error together).
inline int RunConsoleTool(const std::vector<std::string>& args, const std::string& input,
                          std::string* output = nullptr) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    const pid_t pid = SpawnConsole(args, in[0], out[1], true);
    ::close(in[0]);
    ::close(out[1]);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0)
        throw std::runtime_error("write");
    ::close(in[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ConsoleProcess {
  public:
    // folder ends in "/"; extra: more options (TLS).
    explicit ConsoleProcess(const std::string& folder, std::vector<std::string> extra = {}) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        std::vector<std::string> args{"--folder", folder, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = SpawnConsole(args, -1, out[1], false);
        ::close(out[1]);
        // The first line names the address: "qtx-console: serving http://127.0.0.1:PORT/ for ..."
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        out_ = out[0];
        size_t at = line.find("127.0.0.1:");
        if (at == std::string::npos)
            throw std::runtime_error("qtx-console did not start: " + line);
        port_ = std::stoi(line.substr(at + 10));
    }
    ~ConsoleProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(out_);
    }
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // Ends the process with SIGTERM; true when it exited normally with 0.
    bool Terminate() {
        if (pid_ <= 0)
            return false;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
};

// A browser-like client: the cookie and the token of its login go with each request.
class ApiClient {
  public:
    explicit ApiClient(int port) : http_("127.0.0.1", port) { http_.set_read_timeout(30, 0); }

    HttpResult Login(const std::string& user, const std::string& password) {
        nlohmann::json body{{"user", user}, {"password", password}};
        auto r = http_.Post("/api/login", body.dump(), "application/json");
        if (r && r->status == 200) {
            std::string cookie = r->get_header_value("Set-Cookie");
            cookie_ = cookie.substr(0, cookie.find(';'));
            csrf_ = nlohmann::json::parse(r->body)["csrf"];
        }
        return r;
    }

    HttpResult Send(const std::string& method, const std::string& path,
                    const std::string& body = "", bool withToken = true) {
        if (method == "GET")
            return http_.Get(path, Session(withToken));
        HttpHeaders headers = Session(withToken);
        if (method == "POST" || method == "PUT" || method == "DELETE")
            headers.emplace("Content-Type", "application/json");
        return http_.Send(method, path, headers, &body);
    }
    // A POST of body as the media type type (a CSV import, a wrong type).
    HttpResult PostAs(const std::string& path, const std::string& body, const std::string& type) {
        return http_.Post(path, Session(true), body, type);
    }
    HttpResult Json(const std::string& method, const std::string& path,
                    const nlohmann::json& body) {
        return Send(method, path, body.dump());
    }

    // Sends from this address (one of 127.0.0.0/8), as a client on another machine would.
    void From(const std::string& address) { http_.set_interface(address); }
    std::string& Csrf() { return csrf_; }
    std::string& Cookie() { return cookie_; }

  private:
    // The cookie and (withToken) the token of the login.
    HttpHeaders Session(bool withToken) const {
        HttpHeaders headers;
        if (!cookie_.empty())
            headers.emplace("Cookie", cookie_);
        if (withToken && !csrf_.empty())
            headers.emplace("X-CSRF-Token", csrf_);
        return headers;
    }

    HttpClient http_;
    std::string cookie_, csrf_;
};

}  // namespace qtx::test
