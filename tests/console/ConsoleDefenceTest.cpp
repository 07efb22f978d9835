// qtx-console against a hostile client on the same network: bodies and heads past their limits,
// slow and idle connections, too many connections from one address, foreign Host and Origin
// headers and the wrong media type. Everything runs against the real program on 127.0.0.1, from
// source addresses in 127.0.0.0/8 standing in for different clients.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "common/Limits.h"
#include "console/ConsoleProcess.h"
#include "console/RawConnection.h"
#include "console/TlsConnection.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const char* kPassword = "correct horse";

class Defences : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extra = {}) {
        MakeEventDb(dir.File("QTXAutomation.mdb"));
        for (const char* role : {"viewer", "operator"})
            ASSERT_EQ(RunConsoleTool({"add-user", role, "--role", role, "--folder", dir.Path()},
                                     std::string(kPassword) + "\n"),
                      0);
        console = std::make_unique<ConsoleProcess>(dir.Path(), std::move(extra));
    }
    int Port() const { return console->Port(); }
    std::string Host() const { return "127.0.0.1:" + std::to_string(Port()); }
    // A request head for path with the given extra header lines.
    std::string Head(const std::string& method, const std::string& path,
                     const std::string& lines = "") const {
        return method + " " + path + " HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\n" +
               lines + "\r\n";
    }
    static int StatusOf(const std::string& answer) {
        return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(answer.substr(9, 3)) : 0;
    }
    std::vector<json> Audit() {
        std::vector<json> lines;
        std::ifstream in(dir.File("qtx-console-audit.log"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(json::parse(line));
        return lines;
    }

    TempDir dir;
    std::unique_ptr<ConsoleProcess> console;
};

// Sends a chunked body of up to total bytes; returns the answer and how much was sent before it.
std::pair<std::string, size_t> SendChunked(RawConnection& c, const std::string& head,
                                           size_t total) {
    std::string chunk(64 * 1024, 'a');
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    std::string framed = size + chunk + "\r\n";
    c.Send(head);
    size_t sent = 0;
    while (sent < total) {
        if (c.Readable(0))
            break;
        if (!c.Send(framed))
            break;
        sent += chunk.size();
    }
    c.Send("0\r\n\r\n");
    return {c.Receive(10000), sent};
}

TEST_F(Defences, BodiesPastTheirLimitAreRefusedHoweverFramedWithoutBeingHeld) {
    Start();
    long before = PeakMemoryKiB(console->Pid());
    const std::string chunked = Head("POST", "/api/login",
                                     "Content-Type: application/json\r\n"
                                     "Transfer-Encoding: chunked\r\n");
    // Eight chunked bodies of 32 MB each, before any login, two at a time.
    for (int round = 0; round < 4; ++round) {
        std::vector<std::thread> senders;
        for (int i = 0; i < 2; ++i)
            senders.emplace_back([&] {
                RawConnection c(Port(), "127.0.0.2");
                auto [answer, sent] = SendChunked(c, chunked, 32u << 20);
                EXPECT_EQ(StatusOf(answer), 413) << answer.substr(0, 200);
                EXPECT_LT(sent, 32u << 20) << "answered only when the body ended";
            });
        for (std::thread& t : senders)
            t.join();
    }
    // A declared length past the limit is refused before the body is sent.
    RawConnection declared(Port(), "127.0.0.3");
    declared.Send(Head("PUT", "/api/settings",
                       "Content-Type: application/json\r\nContent-Length: 104857600\r\n"));
    EXPECT_EQ(StatusOf(declared.Receive(2000)), 413);
    // A request without a body takes only a little.
    RawConnection get(Port(), "127.0.0.3");
    get.Send(Head("DELETE", "/api/events/1", "Content-Length: 5000\r\n") + std::string(5000, 'x'));
    EXPECT_EQ(StatusOf(get.Receive(2000)), 413);

    long after = PeakMemoryKiB(console->Pid());
    RecordProperty("PeakMemoryKiBBefore", static_cast<int>(before));
    RecordProperty("PeakMemoryKiBAfter", static_cast<int>(after));
    EXPECT_LT(after - before, 32 * 1024)
        << "peak memory went from " << before << " to " << after << " KiB";
}

// Sends a chunked body that never ends, a little at a time, for up to 5 s: the refusal must come
// within a second of the body passing limit, whole and alone, while the client may still send.
template <class Connection>
void ExpectRefusedAsSoonAsPastTheLimit(Connection& c, const std::string& head, size_t limit) {
    std::string chunk(4096, 'a');
    std::string framed = "1000\r\n" + chunk + "\r\n";
    ASSERT_TRUE(c.Send(head));
    size_t sent = 0;
    auto start = Clock::now();
    std::optional<Clock::time_point> past;
    while (!c.Readable(0) && Clock::now() - start < std::chrono::seconds(5)) {
        ASSERT_TRUE(c.Send(framed)) << "the server reset after " << sent << " bytes";
        sent += chunk.size();
        if (sent > limit && !past)
            past = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(past) << "answered before the limit was passed";
    ASSERT_TRUE(c.Readable(0)) << "no answer while the body goes on";
    double seconds = std::chrono::duration<double>(Clock::now() - *past).count();
    EXPECT_LT(seconds, 1.0);
    // The client may go on sending (dropped, not reset), and no second answer follows the end.
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(c.Send(framed)) << "reset after the answer";
    c.Send("0\r\n\r\n");
    std::string answer = c.Receive(1500);
    EXPECT_EQ(answer.rfind("HTTP/1.1 413 ", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Connection: close"), std::string::npos);
    EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << "a second answer: " << answer;
    EXPECT_NE(answer.find("\r\n\r\n{"), std::string::npos) << "the answer's body is missing";
}

TEST_F(Defences, AChunkedBodyThatNeverEndsIsRefusedAsSoonAsItPassesItsLimit) {
    Start();
    long before = PeakMemoryKiB(console->Pid());
    const std::string chunked = Head("POST", "/api/login",
                                     "Content-Type: application/json\r\n"
                                     "Transfer-Encoding: chunked\r\n");
    RawConnection c(Port(), "127.0.0.2");
    ExpectRefusedAsSoonAsPastTheLimit(c, chunked, qtx::limits::ConsoleMaxBody);
    EXPECT_LT(PeakMemoryKiB(console->Pid()) - before, 8 * 1024);
}

TEST_F(Defences, AChunkedBodyThatNeverEndsIsRefusedAsSoonAsItPassesItsLimitOverTls) {
    std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
        " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Start({"--tls-cert", cert, "--tls-key", key});
    const std::string chunked = Head("POST", "/api/login",
                                     "Content-Type: application/json\r\n"
                                     "Transfer-Encoding: chunked\r\n");
    TlsConnection c(Port(), "127.0.0.2");
    ExpectRefusedAsSoonAsPastTheLimit(c, chunked, qtx::limits::ConsoleMaxBody);
}

TEST_F(Defences, HeaderFloodsAreRefusedWith431) {
    Start();
    long before = PeakMemoryKiB(console->Pid());
    std::string many;
    for (size_t i = 0; i <= qtx::limits::ConsoleMaxHeaders; ++i)
        many += "X-Line-" + std::to_string(i) + ": x\r\n";
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += "X: y\r\n";
    struct Case {
        const char* what;
        std::string lines;
    };
    for (const Case& c : std::vector<Case>{
             {"101 header lines", many},
             {"one 17 KiB header", "X-Big: " + std::string(17 * 1024, 'b') + "\r\n"},
             {"one 100 KiB header", "X-Big: " + std::string(100 * 1024, 'b') + "\r\n"},
             {"20000 short header lines", flood},
         }) {
        RawConnection conn(Port(), "127.0.0.4");
        conn.Send(Head("GET", "/login.html", c.lines));
        std::string answer = conn.Receive(3000);
        EXPECT_EQ(StatusOf(answer), 431) << c.what << ": " << answer.substr(0, 120);
    }
    RawConnection ok(Port(), "127.0.0.4");
    ok.Send(Head("GET", "/login.html", "X-Fine: " + std::string(8 * 1024, 'c') + "\r\n"));
    EXPECT_EQ(StatusOf(ok.Receive(3000)), 200);
    long after = PeakMemoryKiB(console->Pid());
    EXPECT_LT(after - before, 16 * 1024) << before << " -> " << after << " KiB";
}

TEST_F(Defences, SlowAndIdleConnectionsDoNotStarveALoggedInOperator) {
    Start();
    ApiClient op(Port());
    ASSERT_EQ(op.Login("operator", kPassword)->status, 200);
    // 300 connections from 30 addresses: half send a head a byte at a time, half send nothing.
    std::vector<std::unique_ptr<RawConnection>> slow, idle;
    for (int a = 0; a < 30; ++a)
        for (int i = 0; i < 10; ++i) {
            auto c = std::make_unique<RawConnection>(Port(), "127.0.1." + std::to_string(a + 1));
            (i % 2 == 0 ? slow : idle).push_back(std::move(c));
        }
    std::string head = Head("GET", "/api/status");
    auto start = Clock::now();
    size_t at = 0;
    auto trickle = [&] {
        for (auto& c : slow)
            c->Send(head.substr(at % (head.size() - 2), 1));
        ++at;
    };
    trickle();
    auto t0 = Clock::now();
    auto r = op.Send("GET", "/api/status");
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(seconds, 2.0);
    RecordProperty("AnswerMsUnder300SlowConnections", static_cast<int>(seconds * 1000));

    // The head has a deadline: by 12 s every slow and idle connection has been cut off, while a
    // new request is still answered.
    while (Clock::now() - start < std::chrono::seconds(12)) {
        trickle();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    int open = 0;
    for (auto& c : slow)
        open += !c->ClosedWithin(50);
    for (auto& c : idle)
        open += !c->ClosedWithin(10);
    EXPECT_EQ(open, 0);
    EXPECT_EQ(op.Send("GET", "/api/status")->status, 200);
}

TEST_F(Defences, OneAddressHoldsABoundedNumberOfConnections) {
    Start({"--trusted-proxy", "127.0.0.9"});
    const int cap = qtx::limits::ConsoleMaxConnectionsPerAddress;
    auto openFrom = [&](const std::string& from, int n) {
        std::vector<std::unique_ptr<RawConnection>> conns;
        for (int i = 0; i < n; ++i)
            conns.push_back(std::make_unique<RawConnection>(Port(), from));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int open = 0;
        for (auto& c : conns)
            open += !c->ClosedWithin(10);
        return std::make_pair(open, std::move(conns));
    };
    auto [fromOne, held] = openFrom("127.0.0.8", cap + 10);
    EXPECT_EQ(fromOne, cap);
    // Another client is not affected, nor is a trusted proxy bounded by the per-address limit.
    ApiClient other(Port());
    EXPECT_EQ(other.Login("viewer", kPassword)->status, 200);
    auto [fromProxy, proxied] = openFrom("127.0.0.9", cap + 10);
    EXPECT_EQ(fromProxy, cap + 10);
}

TEST_F(Defences, HostOriginAndMediaTypeAreTheConsolesOwn) {
    Start({"--host", "console.example", "--trusted-proxy", "127.0.0.9"});
    std::string port = std::to_string(Port());
    std::string login = json{{"user", "viewer"}, {"password", kPassword}}.dump();
    struct Case {
        const char* what;
        std::string from;
        HttpHeaders headers;
        std::string type;
        int status;
    };
    const std::vector<Case> cases = {
        {"loopback name", "127.0.0.5", {{"Host", "localhost:" + port}}, "application/json", 200},
        {"--host name",
         "127.0.0.5",
         {{"Host", "console.example:" + port}},
         "application/json",
         200},
        {"foreign name",
         "127.0.0.5",
         {{"Host", "rebound.example:" + port}},
         "application/json",
         421},
        {"another port", "127.0.0.5", {{"Host", "127.0.0.1:1"}}, "application/json", 421},
        {"no port", "127.0.0.5", {{"Host", "127.0.0.1"}}, "application/json", 421},
        {"same origin",
         "127.0.0.5",
         {{"Origin", "http://127.0.0.1:" + port}},
         "application/json",
         200},
        {"cross-site origin",
         "127.0.0.5",
         {{"Origin", "http://attacker.example"}},
         "application/json",
         403},
        {"origin on another port",
         "127.0.0.5",
         {{"Origin", "http://127.0.0.1:1"}},
         "application/json",
         403},
        {"origin https on http",
         "127.0.0.5",
         {{"Origin", "https://127.0.0.1:" + port}},
         "application/json",
         403},
        {"text/plain form", "127.0.0.5", {}, "text/plain", 415},
        {"url-encoded form", "127.0.0.5", {}, "application/x-www-form-urlencoded", 415},
        {"json with charset", "127.0.0.5", {}, "application/json; charset=utf-8", 200},
        {"proxy: its name and https origin",
         "127.0.0.9",
         {{"Host", "console.example"},
          {"X-Forwarded-Proto", "https"},
          {"Origin", "https://console.example"}},
         "application/json",
         200},
        {"proxy: http origin when https",
         "127.0.0.9",
         {{"Host", "console.example"},
          {"X-Forwarded-Proto", "https"},
          {"Origin", "http://console.example"}},
         "application/json",
         403},
        {"proxy: foreign name",
         "127.0.0.9",
         {{"Host", "rebound.example"}},
         "application/json",
         421},
        {"not a proxy: proxy's port",
         "127.0.0.10",
         {{"Host", "console.example"}},
         "application/json",
         421},
    };
    for (const Case& c : cases) {
        HttpClient http("127.0.0.1", Port());
        http.set_interface(c.from);
        auto r = http.Post("/api/login", c.headers, login, c.type);
        ASSERT_TRUE(r) << c.what;
        EXPECT_EQ(r->status, c.status) << c.what << ": " << r->body;
    }
}

TEST_F(Defences, ChecksRunInTheirOrder) {
    Start();
    ApiClient viewer(Port());
    ASSERT_EQ(viewer.Login("viewer", kPassword)->status, 200);
    std::string cookie = "Cookie: " + viewer.Cookie() + "\r\n";
    std::string token = "X-CSRF-Token: " + viewer.Csrf() + "\r\n";
    std::string event = R"({"title":"x","days":["mon"],"time":"06:00:00","actions":[]})";
    auto post = [&](const std::string& host, const std::string& lines, const std::string& body) {
        RawConnection c(Port(), "127.0.0.6");
        c.Send("POST /api/events HTTP/1.1\r\nConnection: close\r\nHost: " + host + "\r\n" + lines +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return StatusOf(c.Receive(3000));
    };
    std::string big(qtx::limits::ConsoleMaxBody + 1, ' ');
    std::string foreign = "Origin: http://attacker.example\r\n";
    std::string text = "Content-Type: text/plain\r\n", js = "Content-Type: application/json\r\n";
    struct Case {
        const char* what;
        std::string host, lines, body;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"size before Host", "rebound.example", foreign + text, big, 413},
             {"Host before session", "rebound.example", foreign + text, event, 421},
             {"session before Origin", Host(), foreign + text, event, 401},
             {"Origin before token", Host(), cookie + foreign + text, event, 403},
             {"token before media type", Host(), cookie + text, event, 403},
             {"media type before role", Host(), cookie + token + text, event, 415},
             {"role before handler", Host(), cookie + token + js, event, 403},
         })
        EXPECT_EQ(post(c.host, c.lines, c.body), c.status) << c.what;
}

TEST_F(Defences, TheClientAddressIsForwardedOnlyByATrustedProxy) {
    Start({"--trusted-proxy", "127.0.0.9"});
    std::string login = json{{"user", "viewer"}, {"password", "wrong"}}.dump();
    for (const char* from : {"127.0.0.9", "127.0.0.10"}) {
        HttpClient http("127.0.0.1", Port());
        http.set_interface(from);
        auto r = http.Post("/api/login", {{"X-Forwarded-For", "127.0.0.44, 127.0.0.55"}}, login,
                           "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401);
    }
    std::vector<std::string> addresses;
    for (const json& line : Audit())
        if (line["action"] == "login-failed")
            addresses.push_back(line["address"]);
    EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.55", "127.0.0.10"}));
}

}  // namespace
}  // namespace qtx::test
