// tamix-server's HTTP side: the router's answers over sockets. Connections are watched
// by one event loop (libmicrohttpd on epoll), so idle and slow clients cost no thread;
// requests, once read whole, are answered by a small pool of workers.
#pragma once

#include "server/web/router.h"

#include <memory>
#include <string>

namespace tamix::server {

class HttpServer {
public:
    // Throws std::runtime_error when the glossary cannot be loaded.
    explicit HttpServer(ServeOptions options);
    ~HttpServer();

    // Binds the listening socket; returns the port, or -1 when it cannot be bound.
    // Throws when the index cannot be read.
    int Bind();
    // Serves until Stop(); returns false when the server failed.
    bool Run();
    // Safe from any thread, before or during Run().
    void Stop();

    // Requests answered at once: options.threads, or two a core.
    int Workers() const;
    // Open connections served before others are turned away: options.maxConnections,
    // or less when the system allows fewer open files.
    int MaxConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Splits "127.0.0.1:8790" into host and port; false when it does not read so.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

} // namespace tamix::server
