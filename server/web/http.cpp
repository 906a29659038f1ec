#include "server/web/http.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tamix::server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 1024;
// Each connection's memory: the request line and headers are read into it whole, so it
// holds the largest ones we answer ourselves (8 KiB address, 16 KiB headers) with room to
// spare; past it the library answers 414 or 431 by itself.
constexpr std::size_t kConnectionMemory = 64 * 1024;
// The watchdog looks at most this often: header deadlines hold to within it.
constexpr auto kWatchdogStep = std::chrono::milliseconds(100);
// Files open beside the connections: the listening socket, epoll, the library's wake-up
// pipe, standard streams, and each worker's SQLite reader with its journal files.
constexpr int kFilesBesideConnections = 32;
constexpr int kFilesPerWorker = 4;

constexpr std::string_view kRequestTimeout =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// One request, from its request line to its answer.
struct Exchange {
    RequestIntake intake;
    bool headersSeen = false;
};

// One connection, as the watchdog and the bound on connections see it.
struct Tracked {
    int fd = -1;
    Clock::time_point deadline; // for the headers of the request it waits for
    bool waitingForHeaders = true;
    bool overBound = false;
    bool cut = false;
};

void DeleteString(void* text) {
    delete static_cast<std::string*>(text);
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (!address) return "-";
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    return text[0] ? text : "-";
}

// The bound on connections, lowered to what the open-file limit allows after raising it
// as far as the system lets us.
int FitToFileLimit(int wanted, int files) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    const rlim_t need = static_cast<rlim_t>(files);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < need) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? need : std::min(need, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= need) return wanted;
    const auto scale = static_cast<double>(limit.rlim_cur) / static_cast<double>(need);
    return std::max(1, static_cast<int>(wanted * scale));
}

} // namespace

struct HttpServer::Impl {
    explicit Impl(ServeOptions o)
        : options(std::move(o)), router(options),
          // Two a core: a worker that waits for the disk or the translation service leaves
          // its core to another.
          workers(options.threads > 0
                      ? options.threads
                      : 2 * std::max(1, static_cast<int>(std::thread::hardware_concurrency()))),
          maxConnections(std::max(1, options.maxConnections)) {}

    // Past the bound, connections are still taken, up to a band above it, so that they can
    // be told to come back; past the band the library stops accepting, and new ones wait
    // in the listen backlog until others close.
    unsigned HardLimit() const {
        return static_cast<unsigned>(maxConnections + std::max(8, maxConnections / 4));
    }

    int Bind() {
        router.CheckIndex(); // a missing or broken index is reported before any request
        maxConnections =
            FitToFileLimit(maxConnections, static_cast<int>(HardLimit()) + kFilesBesideConnections +
                                               kFilesPerWorker * workers);

        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (getaddrinfo(options.host.c_str(), std::to_string(options.port).c_str(), &hints,
                        &found) != 0)
            return -1;
        for (const addrinfo* a = found; a && listenFd < 0; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                    a->ai_protocol);
            if (fd < 0) continue;
            const int yes = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0)
                listenFd = fd;
            else
                ::close(fd);
        }
        freeaddrinfo(found);
        if (listenFd < 0) return -1;
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &length);
        return bound.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }

    bool Run() {
        {
            std::unique_lock<std::mutex> lock(stateMutex);
            if (stopRequested) return true;
        }
        if (listenFd < 0) return false;
        for (int i = 0; i < workers; ++i)
            pool.emplace_back([this] { Work(); });
        watchdog = std::thread([this] { Watch(); });
        daemon = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
            nullptr, &OnRequest, this, MHD_OPTION_LISTEN_SOCKET, listenFd,
            MHD_OPTION_CONNECTION_LIMIT, HardLimit(), MHD_OPTION_CONNECTION_TIMEOUT,
            static_cast<unsigned>(std::max(1, options.idleTimeoutSeconds)),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_URI_LOG_CALLBACK,
            &OnRequestLine, this, MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this,
            MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, this, MHD_OPTION_END);
        const bool started = daemon != nullptr;
        if (started) {
            std::unique_lock<std::mutex> lock(stateMutex);
            stateChanged.wait(lock, [this] { return stopRequested; });
        } else {
            std::fprintf(stderr, "tamix-server: the HTTP layer could not start\n");
        }
        Shutdown();
        return started;
    }

    void Stop() {
        std::lock_guard<std::mutex> lock(stateMutex);
        stopRequested = true;
        stateChanged.notify_all();
    }

    // In-flight requests are answered; requests that arrive meanwhile get a 503.
    void Shutdown() {
        if (daemon) MHD_quiesce_daemon(daemon);
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            stopping = true;
        }
        jobsReady.notify_all();
        for (auto& worker : pool)
            worker.join();
        pool.clear();
        // No connection is suspended any more, as the library requires here.
        if (daemon) MHD_stop_daemon(daemon);
        daemon = nullptr;
        {
            std::lock_guard<std::mutex> lock(trackedMutex);
            watchdogStop = true;
        }
        watchdogWake.notify_all();
        if (watchdog.joinable()) watchdog.join();
        CloseListener();
    }

    void CloseListener() {
        if (listenFd >= 0) ::close(listenFd);
        listenFd = -1;
    }

    // --- the library's callbacks, all on its event-loop thread ---

    // The target as sent, before the library splits and unescapes it.
    static void* OnRequestLine(void*, const char* target, MHD_Connection*) {
        auto* exchange = new Exchange;
        exchange->intake.request.target = target;
        return exchange;
    }

    static void OnConnection(void* self, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code) {
        static_cast<Impl*>(self)->Track(connection, code == MHD_CONNECTION_NOTIFY_STARTED);
    }

    static void OnCompleted(void* self, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode) {
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
        static_cast<Impl*>(self)->AwaitHeaders(connection);
    }

    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char*,
                                const char* method, const char*, const char* uploadData,
                                size_t* uploadSize, void** context) {
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) *context = exchange = new Exchange;
        return static_cast<Impl*>(self)->Serve(connection, *exchange, method, uploadData,
                                               uploadSize);
    }

    MHD_Result Serve(MHD_Connection* connection, Exchange& exchange, const char* method,
                     const char* uploadData, size_t* uploadSize) {
        if (!exchange.headersSeen) {
            exchange.headersSeen = true;
            Request& request = exchange.intake.request;
            request.method = method;
            MHD_get_connection_values(
                connection, MHD_HEADER_KIND,
                [](void* headers, MHD_ValueKind, const char* name, const char* value) {
                    static_cast<HeaderList*>(headers)->emplace_back(name, value ? value : "");
                    return MHD_YES;
                },
                &request.headers);
            const MHD_ConnectionInfo* peer =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            request.remoteAddress = AddressText(peer ? peer->client_addr : nullptr);

            if (HeadersArrived(connection))
                return Answer(connection, BusyResponse(), true, request);
            if (auto refused = exchange.intake.Head())
                return Answer(connection, std::move(*refused), true, request);
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            // A body sent without its length may run past the bound; the library lets us
            // answer only once it is read.
            if (!exchange.intake.Body(std::string_view(uploadData, *uploadSize))) return MHD_NO;
            *uploadSize = 0;
            return MHD_YES;
        }
        // The request is read whole. Answering any earlier would make the library close
        // the connection after the answer.
        const Request& request = exchange.intake.request;
        if (auto refused = exchange.intake.Whole())
            return Answer(connection, std::move(*refused), true, request);
        if (auto now = router.Immediate(request))
            return Answer(connection, std::move(*now), false, request);
        Dispatch(connection, exchange);
        return MHD_YES;
    }

    // Queues the answer (the connection is suspended, or this is its handler); logs it.
    MHD_Result Answer(MHD_Connection* connection, Response response, bool close,
                      const Request& request) {
        if (options.accessLog) Log(request, response);
        auto* body = new std::string(std::move(response.body));
        MHD_Response* reply = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), body->data(), &DeleteString, body);
        if (!reply) {
            delete body;
            return MHD_NO;
        }
        for (const auto& [name, value] : response.headers)
            MHD_add_response_header(reply, name.c_str(), value.c_str());
        if (close) MHD_add_response_header(reply, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
        MHD_destroy_response(reply);
        return queued;
    }

    void Dispatch(MHD_Connection* connection, Exchange& exchange) {
        std::unique_lock<std::mutex> lock(jobsMutex);
        if (stopping) {
            lock.unlock();
            Answer(connection, ErrorResponse(503, "The server is stopping."), true,
                   exchange.intake.request);
            return;
        }
        MHD_suspend_connection(connection);
        jobs.push_back({connection, &exchange});
        lock.unlock();
        jobsReady.notify_one();
    }

    // --- workers ---

    struct Job {
        MHD_Connection* connection;
        Exchange* exchange;
    };

    void Work() {
        for (;;) {
            Job job{};
            {
                std::unique_lock<std::mutex> lock(jobsMutex);
                jobsReady.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (jobs.empty()) return;
                job = jobs.front();
                jobs.pop_front();
            }
            const Request& request = job.exchange->intake.request;
            Answer(job.connection, router.Handle(request), false, request);
            // The exchange may be gone once the connection runs again.
            MHD_resume_connection(job.connection);
        }
    }

    void Log(const Request& request, const Response& response) {
        const std::string line = AccessLogLine(request, response, std::time(nullptr));
        std::lock_guard<std::mutex> lock(logMutex);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    // --- connections: the bound and the header deadline ---

    void Track(MHD_Connection* connection, bool started) {
        std::lock_guard<std::mutex> lock(trackedMutex);
        if (!started) {
            tracked.erase(connection);
            return;
        }
        Tracked& t = tracked[connection];
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        t.fd = info ? info->connect_fd : -1;
        t.deadline = Clock::now() + std::chrono::seconds(options.headerTimeoutSeconds);
        t.overBound = tracked.size() > static_cast<std::size_t>(maxConnections);
        if (watchdogIdle) watchdogWake.notify_one();
    }

    // True when the connection was opened past the bound.
    bool HeadersArrived(MHD_Connection* connection) {
        std::lock_guard<std::mutex> lock(trackedMutex);
        const auto found = tracked.find(connection);
        if (found == tracked.end()) return false;
        found->second.waitingForHeaders = false;
        return found->second.overBound;
    }

    void AwaitHeaders(MHD_Connection* connection) {
        std::lock_guard<std::mutex> lock(trackedMutex);
        const auto found = tracked.find(connection);
        if (found == tracked.end()) return;
        found->second.waitingForHeaders = true;
        found->second.deadline = Clock::now() + std::chrono::seconds(options.headerTimeoutSeconds);
    }

    // The library times out only silence; a client that trickles its headers a byte at a
    // time is cut here. The socket is shut down, not closed: the library still owns it,
    // and tells us it is gone (under this lock) before it closes the descriptor.
    void Watch() {
        std::unique_lock<std::mutex> lock(trackedMutex);
        while (!watchdogStop) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto& [connection, t] : tracked) {
                if (!t.waitingForHeaders || t.cut) continue;
                if (t.deadline <= now) {
                    ::send(t.fd, kRequestTimeout.data(), kRequestTimeout.size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
                    ::shutdown(t.fd, SHUT_RDWR);
                    t.cut = true;
                } else {
                    next = std::min(next, t.deadline);
                }
            }
            if (next == Clock::time_point::max()) {
                watchdogIdle = true;
                watchdogWake.wait(lock);
                watchdogIdle = false;
            } else {
                watchdogWake.wait_until(lock, std::max(next, now + kWatchdogStep));
            }
        }
    }

    ServeOptions options;
    Router router;
    const int workers;
    int maxConnections;
    int listenFd = -1;
    MHD_Daemon* daemon = nullptr;

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool stopRequested = false;

    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<Job> jobs;
    bool stopping = false;
    std::vector<std::thread> pool;

    std::mutex trackedMutex;
    std::condition_variable watchdogWake;
    std::unordered_map<MHD_Connection*, Tracked> tracked;
    bool watchdogIdle = false;
    bool watchdogStop = false;
    std::thread watchdog;

    std::mutex logMutex;
};

HttpServer::HttpServer(ServeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
}

HttpServer::~HttpServer() {
    Stop();
    impl_->CloseListener();
}

int HttpServer::Bind() {
    return impl_->Bind();
}

bool HttpServer::Run() {
    return impl_->Run();
}

void HttpServer::Stop() {
    impl_->Stop();
}

int HttpServer::Workers() const {
    return impl_->workers;
}

int HttpServer::MaxConnections() const {
    return impl_->maxConnections;
}

bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    host = text.substr(0, colon);
    return port <= 65535;
}

} // namespace tamix::server
