// tamix-server's answers, apart from any transport: a request (method, target, headers,
// body, remote address) in, a response (status, headers, body) out. The HTTP layer in
// http.cpp carries them over sockets; tests and fuzzers call Handle() directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamix::server {

struct ServeOptions {
    std::string index;
    std::string host = "127.0.0.1";
    int port = 8790; // 0: any free port
    int threads = 0; // requests handled at once; 0: two a core
    bool accessLog = true;
    // The translation endpoint's engine: a machine translation service when one is named
    // ("URL" LibreTranslate, "openai:URL" with its model, "deepl:URL"), steered by the
    // glossary file when there is one; else the glossary file; with neither it answers
    // with an error. The service's answers are kept in translationCache ("" for none).
    std::string translateBackend;
    std::string translateModel;
    std::string translateKey;
    std::string translationCache;
    std::string glossary;
    // A request's headers must be whole this long after the connection opened or the
    // previous answer went out; a kept-alive connection may sit idle this long.
    int headerTimeoutSeconds = 10;
    int idleTimeoutSeconds = 5;
    // Open connections past this are answered 503 and closed.
    int maxConnections = 1024;
    // With an E-utilities base address, result and article pages come from NCBI through
    // it (records fetched go into the index); with none nothing leaves the machine.
    std::string eutils;
    std::string apiKey, email;
};

// What one request may hold; larger ones are answered 414, 431 and 413.
inline constexpr std::size_t kMaxTargetBytes = 8 * 1024;
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target; // as sent: the path and the query, still escaped
    HeaderList headers;
    std::string body;
    std::string remoteAddress;
};

struct Response {
    int status = 200;
    HeaderList headers; // beside those of the transport (length, date, connection)
    std::string body;
};

// Bytes a request's headers take on the wire: each line, its ": " and its CRLF.
std::size_t HeaderBytes(const HeaderList& headers);

// The answer to a request that is refused before it is read whole (too long, or no room
// for it), or nothing when it may go on. bodyBytes is the body's length as far as known.
std::optional<Response> RefuseEarly(const Request& head, std::uint64_t bodyBytes);

// One request as the HTTP layer reads it: its head (method, target as sent, headers), then
// its body piece by piece. The transport only splits the wire; what it does with the
// pieces is here, so that the fuzzer drives the steps the server takes.
class RequestIntake {
public:
    Request request;

    // The head is read: the refusal when the request is refused before its body, else
    // nothing. A body's length is what its Content-Length says (0 without one).
    std::optional<Response> Head();
    // A piece of the body. Past the bound it is dropped as it comes (the answer may only
    // go once the request is read); false when the client went so far beyond that the
    // connection should be cut.
    bool Body(std::string_view piece);
    // The request is read whole: the refusal, if it is refused.
    std::optional<Response> Whole() const;

private:
    std::uint64_t bodyBytes_ = 0;
};

// A body sent without its length is read (and dropped) this far past the bound before
// the connection is cut.
inline constexpr std::uint64_t kMaxDiscardedBytes = 4 * kMaxBodyBytes;

// The short page of an error, as every refusal carries.
Response ErrorResponse(int status, std::string_view message);
// Past the bound on connections: come back in a second.
Response BusyResponse();

// `query=a+b&page=2` -> {{"query", "a b"}, {"page", "2"}}: '+' is a space, escapes are
// decoded, the first '=' ends the name, empty pieces are skipped.
HeaderList ParseForm(std::string_view text);

// One access-log line: `ADDRESS [2024-05-01T10:00:00Z] "GET /target" 200 1234\n`.
std::string AccessLogLine(const Request& request, const Response& response, std::time_t when);

class Router {
public:
    // Throws std::runtime_error when the glossary cannot be loaded.
    explicit Router(const ServeOptions& options);
    ~Router();

    // Opens a reader of the index; throws when the index cannot be read.
    void CheckIndex();
    // Any request, from any thread; never throws.
    Response Handle(const Request& request);
    // Handle()'s answer when it needs neither the index nor the translation engine (the
    // stylesheet, refusals, unknown addresses), so cheap that the thread reading requests
    // may give it; nothing for every other request.
    std::optional<Response> Immediate(const Request& request);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tamix::server
