// tamix-server's HTTP layer under clients that misbehave: raw sockets on loopback
// against a server running in this process with small limits.
#include "support/local_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace tamix {
namespace {

using namespace std::chrono_literals;

// A plain TCP client that writes what it is told and reads what comes.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // One whole response (headers and Content-Length bytes), or what came before the
    // connection closed or the wait ran out.
    std::string ReadResponse(std::chrono::milliseconds wait = 10s) {
        const auto until = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const std::size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::size_t total = end + 4 + ContentLength(buffer_.substr(0, end));
                if (buffer_.size() >= total) {
                    std::string response = buffer_.substr(0, total);
                    buffer_.erase(0, total);
                    return response;
                }
            }
            if (!Fill(until)) {
                std::string rest;
                rest.swap(buffer_);
                return rest;
            }
        }
    }
    // True when the server closed the connection within the wait (what it sent is dropped).
    bool ClosedWithin(std::chrono::milliseconds wait) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (Fill(until)) {
        }
        return closed_;
    }

private:
    static std::size_t ContentLength(const std::string& head) {
        const std::size_t at = head.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    }
    // False at the end of the stream or of the wait.
    bool Fill(std::chrono::steady_clock::time_point until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool closed_ = false;
    std::string buffer_;
};

int Status(const std::string& response) {
    return response.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(response.substr(9, 3)) : -1;
}

std::string Get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// One record to find, and the built glossary to translate with.
class Served : public test::LocalServer {
public:
    explicit Served(server::ServeOptions options)
        : LocalServer((options.glossary = TAMIX_GLOSSARY_FILE, options),
                      {{"f.xml", test::ArticleSet({{1234, "Axolotl limb", ""}})}}) {}
};

TEST(HttpLayer, OversizedRequestsAreRefusedAndClosed) {
    Served served({});
    const std::string host = "Host: 127.0.0.1\r\n";
    const auto ask = [&](const std::string& request) {
        RawClient client(served.port());
        client.Send(request);
        const std::string response = client.ReadResponse();
        return std::make_pair(Status(response),
                              response.find("Connection: close") != std::string::npos &&
                                  client.ClosedWithin(2s));
    };

    // The address: 8 KiB is read (and its search terms found too long), one byte more is not.
    const std::string prefix = "/m/pubmed/?term=";
    EXPECT_EQ(ask(Get(prefix + std::string(server::kMaxTargetBytes - prefix.size(), 'a'))).first,
              400);
    EXPECT_EQ(ask(Get(prefix + std::string(server::kMaxTargetBytes + 1 - prefix.size(), 'a'))),
              std::make_pair(414, true));

    // Headers: 16 KiB of them, counted as sent (name, ": ", value, CRLF).
    const auto withHeaders = [&](std::size_t bytes) {
        const std::size_t fill = bytes - host.size() - std::string("X-Fill: \r\n").size();
        return "GET / HTTP/1.1\r\n" + host + "X-Fill: " + std::string(fill, 'f') + "\r\n\r\n";
    };
    EXPECT_EQ(ask(withHeaders(server::kMaxHeaderBytes)).first, 200);
    EXPECT_EQ(ask(withHeaders(server::kMaxHeaderBytes + 1)), std::make_pair(431, true));

    // Bodies: 1 MiB is read; a larger stated length is refused before the body is sent,
    // and a larger body sent in chunks once it has gone past.
    const std::string form = "client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&from=en&to=zh&q=";
    const auto post = [&](std::size_t bytes) {
        return "POST /public/2.0/bmt/translate HTTP/1.1\r\n" + host +
               "Content-Length: " + std::to_string(bytes) + "\r\n\r\n" + form +
               std::string(bytes - form.size(), 'a');
    };
    RawClient whole(served.port());
    whole.Send(post(server::kMaxBodyBytes));
    const std::string translated = whole.ReadResponse();
    EXPECT_EQ(Status(translated), 200);
    EXPECT_NE(translated.find("\"trans_result\""), std::string::npos);
    EXPECT_EQ(ask("POST /public/2.0/bmt/translate HTTP/1.1\r\n" + host +
                  "Content-Length: " + std::to_string(server::kMaxBodyBytes + 1) + "\r\n\r\n"),
              std::make_pair(413, true));
    std::string chunked =
        "POST /public/2.0/bmt/translate HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 17; ++i)
        chunked += "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    EXPECT_EQ(ask(chunked + "0\r\n\r\n"), std::make_pair(413, true));
}

TEST(HttpLayer, KeepAlivePipeliningAndStop) {
    Served served({});
    RawClient client(served.port());
    client.Send(Get("/static/tamix.css") + Get("/no/such/page") + Get("/about"));
    EXPECT_EQ(Status(client.ReadResponse()), 200);
    EXPECT_EQ(Status(client.ReadResponse()), 404);
    const std::string last = client.ReadResponse();
    EXPECT_EQ(Status(last), 200);
    EXPECT_NE(last.find("1 records"), std::string::npos) << last;
    EXPECT_FALSE(client.ClosedWithin(200ms));

    client.Send(Get("/", "Connection: close\r\n"));
    EXPECT_EQ(Status(client.ReadResponse()), 200);
    EXPECT_TRUE(client.ClosedWithin(2s));

    // Stopped with a connection idle and one half-sent, both are closed.
    RawClient idle(served.port()), half(served.port());
    idle.Send(Get("/about"));
    EXPECT_EQ(Status(idle.ReadResponse()), 200);
    half.Send("GET /ab");
    EXPECT_TRUE(served.Stop());
    EXPECT_TRUE(idle.ClosedWithin(2s));
    EXPECT_TRUE(half.ClosedWithin(2s));
}

TEST(HttpLayer, IdleAndHeaderTimeouts) {
    server::ServeOptions options;
    options.idleTimeoutSeconds = 1;
    options.headerTimeoutSeconds = 1;
    Served served(options);

    // Idle after an answer: closed after a second or two of silence.
    RawClient idle(served.port());
    idle.Send(Get("/about"));
    EXPECT_EQ(Status(idle.ReadResponse()), 200);
    EXPECT_FALSE(idle.ClosedWithin(300ms));

    // Meanwhile headers trickled a byte every 100 ms are never silent, but never whole in
    // time: told 408 and closed.
    RawClient trickle(served.port());
    const std::string request = Get("/about", "X-Slow: " + std::string(200, 's') + "\r\n");
    std::string answer;
    bool closed = false;
    for (std::size_t i = 0; i < request.size() && !closed; ++i) {
        closed = !trickle.Send(request.substr(i, 1));
        answer += trickle.ReadResponse(100ms);
        closed = closed || answer.find("\r\n\r\n") != std::string::npos;
    }
    EXPECT_EQ(Status(answer), 408) << answer;
    EXPECT_TRUE(idle.ClosedWithin(4s));
}

// Half-sent requests and idle connections hold no thread: with one worker, a request
// from another client is answered while they all wait, and theirs afterwards.
TEST(HttpLayer, SlowClientsDoNotHoldOthersUp) {
    server::ServeOptions options;
    options.threads = 1;
    Served served(options);
    std::vector<std::unique_ptr<RawClient>> slow, idle;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<RawClient>(served.port()));
        slow.back()->Send("GET /m/pubmed/1234 HT");
        idle.push_back(std::make_unique<RawClient>(served.port()));
        idle.back()->Send(Get("/static/tamix.css"));
        ASSERT_EQ(Status(idle.back()->ReadResponse()), 200);
    }
    RawClient other(served.port());
    other.Send(Get("/m/pubmed/?term=axolotl"));
    const std::string answer = other.ReadResponse(3s);
    EXPECT_EQ(Status(answer), 200);
    EXPECT_NE(answer.find("Axolotl limb"), std::string::npos);
    for (auto& client : slow) {
        client->Send("TP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(Status(client->ReadResponse()), 200);
    }
}

TEST(HttpLayer, ConnectionsPastTheBoundAreToldToComeBack) {
    server::ServeOptions options;
    options.maxConnections = 4;
    Served served(options);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawClient>(served.port()));
        held.back()->Send(Get("/static/tamix.css"));
        ASSERT_EQ(Status(held.back()->ReadResponse()), 200);
    }
    {
        RawClient extra(served.port());
        extra.Send(Get("/about"));
        const std::string busy = extra.ReadResponse();
        EXPECT_EQ(Status(busy), 503) << busy;
        EXPECT_TRUE(extra.ClosedWithin(2s));
    }
    held.pop_back();
    // The slot is free once the server has seen the close.
    int status = 503;
    for (int i = 0; i < 50 && status == 503; ++i) {
        RawClient again(served.port());
        again.Send(Get("/about"));
        status = Status(again.ReadResponse());
        if (status == 503) std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(status, 200);
}

} // namespace
} // namespace tamix
