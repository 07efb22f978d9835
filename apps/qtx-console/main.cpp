// qtx-console: the operator console (web pages and JSON API) for one program folder.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/FileSystem.h"
#include "console/Accounts.h"
#include "console/ClientAddress.h"
#include "console/ConsoleServer.h"
#include "schedule/MessageFolder.h"

namespace {

const char* kUsage =
    "Usage:\n"
    "  qtx-console [--folder DIR] [--listen 127.0.0.1:8080] [--tls-cert FILE --tls-key FILE]\n"
    "              [--host NAME[,NAME]] [--trusted-proxy ADDR[,ADDR]]\n"
    "  qtx-console add-user NAME --role viewer|operator|admin [--folder DIR]\n"
    "  qtx-console --version | --help\n"
    "\n"
    "Serves the operator console (Week, Event, Preview, Status, Settings, Users) and its JSON\n"
    "API for the engine's program folder (default: the folder of this program). It listens on\n"
    "127.0.0.1:8080 unless told otherwise, and serves HTTPS when given a certificate and key.\n"
    "add-user creates or changes an account; the password is read from standard input (without\n"
    "echo on a terminal). Accounts live in qtx-console.users, changes are recorded in\n"
    "qtx-console-audit.log, both in the program folder.\n"
    "--host names what browsers reach the console by (beside localhost, 127.0.0.1 and [::1]\n"
    "on a loopback address, and the listen address); a request naming another host is refused.\n"
    "--trusted-proxy names reverse proxies whose X-Forwarded-For gives the client's address.\n";

std::vector<std::string> List(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        if (!item.empty())
            items.push_back(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return items;
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ReadPassword() {
    std::string password;
    if (::isatty(STDIN_FILENO)) {
        termios old{};
        tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::cerr << "Password: " << std::flush;
        std::getline(std::cin, password);
        std::string again;
        std::cerr << "\nAgain: " << std::flush;
        std::getline(std::cin, again);
        std::cerr << "\n";
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        if (again != password)
            throw std::invalid_argument("the two passwords differ");
    } else {
        std::getline(std::cin, password);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

int AddUser(int argc, char** argv) {
    std::string name, role, folder = qtx::ProgramDirectory();
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--role" && i + 1 < argc)
            role = argv[++i];
        else if (a == "--folder" && i + 1 < argc)
            folder = WithSlash(argv[++i]);
        else if (name.empty() && a.rfind("--", 0) != 0)
            name = a;
        else {
            std::cerr << "qtx-console add-user: unexpected \"" << a << "\"\n" << kUsage;
            return 2;
        }
    }
    auto parsedRole = qtx::console::RoleFromName(role);
    if (name.empty() || !parsedRole) {
        std::cerr << "qtx-console add-user: needs NAME and --role viewer|operator|admin\n";
        return 2;
    }
    try {
        qtx::console::Accounts accounts(folder);
        bool existed = accounts.Find(name).has_value();
        accounts.Set(name, *parsedRole, ReadPassword());
        std::cout << (existed ? "Changed" : "Added") << " " << role << " \"" << name << "\" in "
                  << accounts.Path() << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qtx-console add-user: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "add-user")
        return AddUser(argc, argv);

    qtx::console::ConsoleOptions options;
    options.Folder = qtx::ProgramDirectory();
    std::string listen = "127.0.0.1:8080";
    std::string web;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "qtx-console: " << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--version") {
            std::cout << "qtx-console " << QTX_VERSION << "\n";
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--folder") {
            options.Folder = WithSlash(value());
        } else if (a == "--listen") {
            listen = value();
        } else if (a == "--tls-cert") {
            options.TlsCert = value();
        } else if (a == "--tls-key") {
            options.TlsKey = value();
        } else if (a == "--host") {
            for (const std::string& n : List(value()))
                options.Names.push_back(n);
        } else if (a == "--trusted-proxy") {
            for (const std::string& n : List(value()))
                options.TrustedProxies.push_back(n);
        } else if (a == "--web") {
            web = WithSlash(value());
        } else {
            std::cerr << "qtx-console: unknown option \"" << a << "\"\n" << kUsage;
            return 2;
        }
    }
    for (const std::string& proxy : options.TrustedProxies)
        if (qtx::console::NormalAddress(proxy).empty()) {
            std::cerr << "qtx-console: --trusted-proxy wants IP addresses; \"" << proxy
                      << "\" is not one\n";
            return 2;
        }
    if (options.TlsCert.empty() != options.TlsKey.empty()) {
        std::cerr << "qtx-console: --tls-cert and --tls-key go together\n";
        return 2;
    }
    size_t colon = listen.rfind(':');
    try {
        if (colon == std::string::npos)
            throw std::invalid_argument("");
        options.Host = listen.substr(0, colon);
        if (options.Host.size() > 2 && options.Host.front() == '[' && options.Host.back() == ']')
            options.Host = options.Host.substr(1, options.Host.size() - 2);
        size_t used = 0;
        options.Port = std::stoi(listen.substr(colon + 1), &used);
        if (used != listen.size() - colon - 1 || options.Port < 0 || options.Port > 65535 ||
            options.Host.empty())
            throw std::invalid_argument("");
    } catch (const std::exception&) {
        std::cerr << "qtx-console: --listen wants HOST:PORT, for example 127.0.0.1:8080\n";
        return 2;
    }
    if (!IsDir(options.Folder)) {
        std::cerr << "qtx-console: program folder " << options.Folder << " does not exist\n";
        return 1;
    }
    // Message files named through the console lie in messages/: without it none can be named,
    // and the rest of the console still serves.
    try {
        qtx::schedule::EnsureMessageFolder(options.Folder);
    } catch (const std::runtime_error& e) {
        std::cerr << "qtx-console: " << e.what() << "\n";
    }
    if (web.empty())
        web = IsDir(qtx::ProgramDirectory() + "console-web")
                  ? qtx::ProgramDirectory() + "console-web/"
                  : std::string(QTX_CONSOLE_WEB_SOURCE);
    options.WebDir = web;

    // SIGINT and SIGTERM are taken by a thread of their own, which stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        qtx::console::ConsoleServer server(options);
        int port = server.Bind();
        std::cout << "qtx-console: serving " << (server.Tls() ? "https" : "http") << "://"
                  << (options.Host.find(':') != std::string::npos ? "[" + options.Host + "]"
                                                                  : options.Host)
                  << ":" << port << "/ for " << options.Folder << std::endl;
        std::thread stopper([&server, stopSignals] {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            if (sig != 0)
                server.Stop();
        });
        server.Run();
        // Ended by a signal: the stopper has returned. Otherwise wake it.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        std::cout << "qtx-console: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qtx-console: " << e.what() << "\n";
        return 1;
    }
}
