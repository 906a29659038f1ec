// Hostile load against a running tamix-server, measured from outside:
//   1. a new client's request alone, then while 300 clients trickle their headers a byte a
//      second and 200 keep-alive clients sit idle (both reconnect whenever the server
//      drops them, as an attacker would): the delay is the difference of the medians;
//   2. 200 keep-alive clients that all ask at once: time until the last is answered.
// Usage: tamix_bench_hostile --port N [--target PATH] [--tricklers N] [--idle N]
//                            [--probes N] [--burst N] [--rounds N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int port = 0;
std::string target = "/m/pubmed/?term=patients";

int Connect(bool blocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

std::string Request(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// Bytes of one whole response at the front of buffer, or 0 while it is incomplete.
std::size_t WholeResponse(const std::string& buffer) {
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    std::size_t length = 0;
    const std::size_t at = buffer.find("Content-Length: ");
    if (at != std::string::npos && at < end) length = std::stoul(buffer.substr(at + 16));
    return buffer.size() >= end + 4 + length ? end + 4 + length : 0;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

// Reads until one whole response came; false on close, error or timeout.
bool ReadOne(int fd, std::string& buffer, Clock::time_point until) {
    char chunk[65536];
    while (WholeResponse(buffer) == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    buffer.erase(0, WholeResponse(buffer));
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// A new client: connect, ask, read the whole answer. Milliseconds, or -1 on failure.
double Probe(std::chrono::seconds timeout) {
    const auto start = Clock::now();
    const int fd = Connect(true);
    std::string buffer;
    const bool ok = SendAll(fd, Request(target)) && ReadOne(fd, buffer, start + timeout);
    ::close(fd);
    return ok ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
}

// Milliseconds of each request; one that failed or ran out of time counts as the timeout.
struct ProbeFigures {
    std::vector<double> ms;
    int failed = 0;
};

ProbeFigures Probes(int count, std::chrono::seconds timeout) {
    ProbeFigures figures;
    for (int i = 0; i < count; ++i) {
        const double ms = Probe(timeout);
        figures.failed += ms < 0;
        figures.ms.push_back(ms < 0 ? std::chrono::duration<double, std::milli>(timeout).count()
                                    : ms);
        std::this_thread::sleep_for(200ms);
    }
    return figures;
}

void PrintProbes(const char* label, const ProbeFigures& f) {
    std::printf("  %-34s median %8.2f ms  p90 %8.2f ms  max %8.2f ms  failed %d of %zu\n", label,
                Median(f.ms), Percentile(f.ms, 0.9),
                f.ms.empty() ? 0 : *std::max_element(f.ms.begin(), f.ms.end()), f.failed,
                f.ms.size());
}

// The hostile clients, on one thread: tricklers send one byte of a never-ending header a
// second; idle clients make one request and then say nothing. Whoever the server drops
// comes back at once.
class Hostile {
public:
    Hostile(int tricklers, int idle) : tricklers_(tricklers), idle_(idle) {}
    void Start() {
        thread_ = std::thread([this] { Loop(); });
    }
    void Stop() {
        stop_ = true;
        thread_.join();
    }
    bool AllConnected() const { return connected_ == tricklers_ + idle_; }
    int Dropped() const { return dropped_; }

private:
    struct Client {
        int fd = -1;
        bool trickler = false;
        std::size_t sent = 0;
        bool answered = false;
        std::string buffer;
    };

    void Open(Client& c) {
        c.fd = Connect(false);
        c.sent = 0;
        c.answered = false;
        c.buffer.clear();
        if (!c.trickler) {
            pollfd p{c.fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            SendAll(c.fd, Request("/static/tamix.css"));
        }
    }

    void Loop() {
        std::vector<Client> clients(static_cast<std::size_t>(tricklers_ + idle_));
        const std::string header =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4000, 's');
        for (std::size_t i = 0; i < clients.size(); ++i) {
            clients[i].trickler = static_cast<int>(i) < tricklers_;
            Open(clients[i]);
        }
        auto nextTick = Clock::now();
        std::size_t tick = 0;
        char chunk[65536];
        while (!stop_) {
            if (Clock::now() >= nextTick) {
                // A tenth of the tricklers each 100 ms: every one sends a byte a second.
                for (std::size_t i = tick % 10; i < static_cast<std::size_t>(tricklers_); i += 10) {
                    Client& c = clients[i];
                    if (c.sent < header.size() &&
                        ::send(c.fd, header.data() + c.sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                        ++c.sent;
                }
                ++tick;
                nextTick += 100ms;
            }
            std::vector<pollfd> fds;
            for (const Client& c : clients)
                fds.push_back({c.fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 50);
            int connected = 0;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                Client& c = clients[i];
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                    if (n > 0) {
                        c.buffer.append(chunk, static_cast<std::size_t>(n));
                        if (!c.trickler && WholeResponse(c.buffer)) c.answered = true;
                    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                        ::close(c.fd);
                        ++dropped_;
                        Open(c);
                    }
                }
                connected += c.trickler ? c.sent > 0 : c.answered;
            }
            connected_ = connected;
        }
        for (Client& c : clients)
            ::close(c.fd);
    }

    const int tricklers_, idle_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connected_{0}, dropped_{0};
};

// Keep-alive clients, warmed by one request each, then all asking at once. Seconds until
// the last answer, or -1 when one failed.
double Burst(int count) {
    std::vector<int> fds;
    std::vector<std::string> buffers(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        fds.push_back(Connect(true));
        if (!SendAll(fds.back(), Request(target)) ||
            !ReadOne(fds.back(), buffers.back(), Clock::now() + 30s)) {
            for (int fd : fds)
                ::close(fd);
            return -1;
        }
    }
    const std::string request = Request(target);
    const auto start = Clock::now();
    for (int fd : fds)
        SendAll(fd, request);
    bool ok = true;
    for (std::size_t i = 0; i < fds.size(); ++i)
        ok = ReadOne(fds[i], buffers[i], start + 60s) && ok;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int fd : fds)
        ::close(fd);
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    int tricklers = 300, idle = 200, probes = 60, burst = 200, rounds = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--port")
            port = std::stoi(value);
        else if (option == "--target")
            target = value;
        else if (option == "--tricklers")
            tricklers = std::stoi(value);
        else if (option == "--idle")
            idle = std::stoi(value);
        else if (option == "--probes")
            probes = std::stoi(value);
        else if (option == "--burst")
            burst = std::stoi(value);
        else if (option == "--rounds")
            rounds = std::stoi(value);
    }
    if (port <= 0) {
        std::fprintf(stderr,
                     "usage: %s --port N [--target PATH] [--tricklers N] [--idle N] "
                     "[--probes N] [--burst N] [--rounds N]\n",
                     argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    std::printf("== hostile load on 127.0.0.1:%d, probing %s\n", port, target.c_str());
    const ProbeFigures alone = Probes(probes, 60s);
    PrintProbes("a new client's request, alone:", alone);

    Hostile hostile(tricklers, idle);
    hostile.Start();
    for (int i = 0; i < 300 && !hostile.AllConnected(); ++i)
        std::this_thread::sleep_for(100ms);
    if (!hostile.AllConnected()) std::printf("  (not every hostile client got in within 30 s)\n");
    const ProbeFigures loaded = Probes(probes, 60s);
    const int dropped = hostile.Dropped();
    hostile.Stop();
    char label[96];
    std::snprintf(label, sizeof label, "with %d trickling, %d idle:", tricklers, idle);
    PrintProbes(label, loaded);
    std::printf("  delay of the median: %.2f ms (hostile clients dropped by the server and "
                "back: %d)\n",
                Median(loaded.ms) - Median(alone.ms), dropped);

    std::vector<double> seconds;
    int failed = 0;
    for (int round = 0; round < rounds; ++round) {
        const double s = Burst(burst);
        if (s < 0)
            ++failed;
        else
            seconds.push_back(s);
    }
    std::printf("  %d keep-alive clients asking at once, all answered after: median %.3f s, "
                "max %.3f s, failed rounds %d of %d\n",
                burst, Median(seconds),
                seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()), failed,
                rounds);
    return 0;
}
