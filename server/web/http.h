// tamix-server's HTTP side: the PubMed Mobile pages over the index, for any number of
// replicas that each hold a copy of the index file.
#pragma once

#include <memory>
#include <string>

namespace tamix::server {

struct ServeOptions {
    std::string index;
    std::string host = "127.0.0.1";
    int port = 8790;  // 0: any free port
    int threads = 64; // each keep-alive connection holds a thread while it is open
    bool accessLog = true;
    // The translation endpoint's engine: a LibreTranslate-compatible service when a URL
    // is given, else the glossary file; with neither it answers with an error.
    std::string translateBackend;
    std::string glossary;
};

class HttpServer {
public:
    // Throws std::runtime_error when the glossary cannot be loaded.
    explicit HttpServer(ServeOptions options);
    ~HttpServer();

    // Binds the listening socket; returns the port, or -1 when it cannot be bound.
    int Bind();
    // Serves until Stop(); returns false when the server failed.
    bool Run();
    // Safe from any thread.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Splits "127.0.0.1:8790" into host and port; false when it does not read so.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

} // namespace tamix::server
