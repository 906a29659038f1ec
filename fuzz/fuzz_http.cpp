// The server's handling of requests, bytes in and answers out, no socket: the input is
// split as libmicrohttpd splits the wire (request line, header lines, a body by its
// length or in chunks; several requests one after another, as on a kept-alive
// connection), and each request goes through the steps the HTTP layer takes
// (RequestIntake, then the router) against a real index of sample records and the
// glossary translator. Every answer must carry a status the server means to give (a 500
// is a fault: the index is sound), and every page the browser reads must read back with
// the browser's own parsers.
#include "check.h"

#include "pubmed/articlepage.h"
#include "pubmed/browserform.h"
#include "pubmed/resultpage.h"
#include "pubmed/translation.h"
#include "server/index/importer.h"
#include "server/records/sample.h"
#include "server/web/router.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace tamix;

namespace {

constexpr int kSampleRecords = 300;
// Requests read from one input; a longer run of them finds nothing more.
constexpr int kMaxRequests = 8;
// The connection's memory (http.cpp): a head larger than it is refused by the library.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

std::unique_ptr<server::Router> router;
std::filesystem::path folder;

void RemoveFolder() {
    router.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void Abort(const std::string& why) {
    std::fprintf(stderr, "fuzz_http: %s\n", why.c_str());
    std::abort();
}

} // namespace

// The index is made once, in a temporary folder, as `tamix-server import` makes it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/tamix-fuzz-http-XXXXXX";
    if (!mkdtemp(name)) Abort("no temporary folder");
    folder = name;
    // The router may open another reader of the file at any time; the folder goes when
    // the run ends.
    std::atexit(RemoveFolder);
    const std::filesystem::path dir = folder;
    const std::string records = (dir / "sample.xml").string();
    {
        std::ofstream out(records, std::ios::binary);
        server::WriteSampleCorpus(out, kSampleRecords);
    }
    server::ServeOptions options;
    options.index = (dir / "index.sqlite").string();
    options.glossary = TAMIX_GLOSSARY_TERMS;
    options.accessLog = false;
    const server::ImportStats stats = server::ImportFiles(options.index, {records});
    if (stats.records != kSampleRecords) Abort("the sample did not import");
    router = std::make_unique<server::Router>(options);
    router->CheckIndex();
    return 0;
}

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool IsDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// One line, ending at CRLF or a bare LF (both are taken by the library); false when the
// input ends first.
bool TakeLine(std::string_view& wire, std::string_view& line) {
    const std::size_t newline = wire.find('\n');
    if (newline == std::string_view::npos) return false;
    line = wire.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    wire.remove_prefix(newline + 1);
    return true;
}

const std::string* Header(const server::HeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (ToLowerAscii(key) == name) return &value;
    return nullptr;
}

bool HasHeader(const server::Response& response, std::string_view name) {
    return Header(response.headers, ToLowerAscii(name)) != nullptr;
}

// The part of a target before its query.
std::string_view PathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

// The pages a 200 may be, by the request's path, and what the browser makes of each.
void CheckPage(const server::Request& request, const server::Response& response) {
    FUZZ_CHECK(HasHeader(response, "Content-Type"));
    if (response.status != 200) {
        FUZZ_CHECK(response.body.find("<h1>" + std::to_string(response.status) + "</h1>") !=
                   std::string::npos);
        return;
    }
    const std::string path = fuzz::PercentDecode(PathOf(request.target), false);
    const std::string& page = response.body;
    FUZZ_CHECK(IsValidUtf8(page));
    if (path == "/public/2.0/bmt/translate") {
        // An error carries no escape; a translation decodes to text.
        const bool failed = page.find("\"error_code\"") != std::string::npos;
        const auto translation = DecodeTranslation(page);
        FUZZ_CHECK(failed != translation.has_value());
        if (translation) FUZZ_CHECK(IsValidUtf8(*translation));
        return;
    }
    if (path == "/m/pubmed/") {
        CArticleRecord served, browsed;
        ParseResultPage(page, kServerMarkers, served);
        ParseResultPage(ToBrowserForm(page), kBrowserMarkers, browsed);
        FUZZ_CHECK(served.m_nCount >= 0 && served.m_nCount <= CArticleRecord::kItemsPerPage);
        FUZZ_CHECK(browsed.m_nCount == served.m_nCount);
        FUZZ_CHECK(ParseTotalPages(page) >= 1);
        for (int i = 0; i < served.m_nCount; ++i) {
            FUZZ_CHECK(served.m_strIds[i].size() == 8 && IsDigits(served.m_strIds[i]));
            FUZZ_CHECK(browsed.m_strIds[i] == served.m_strIds[i]);
            FUZZ_CHECK(IsValidUtf8(served.m_strTitles[i]));
        }
        // The first item opens its article, as the browser would ask for it.
        if (served.m_nCount > 0) {
            server::Request article;
            article.method = "GET";
            article.target = "/m/pubmed/" + served.m_strIds[0];
            const server::Response answer = router->Handle(article);
            FUZZ_CHECK(answer.status == 200);
            const ArticleText text = ExtractArticle(answer.body, served.m_strIds[0]);
            FUZZ_CHECK(fuzz::IsAscii(text.abstract));
        }
        return;
    }
    if (path.rfind("/m/pubmed/", 0) == 0) {
        const ArticleText text = ExtractArticle(page, path.substr(10));
        FUZZ_CHECK(fuzz::IsAscii(text.abstract));
        return;
    }
    FUZZ_CHECK(path == "/" || path == "/about" || path == "/static/tamix.css");
}

void Check(const server::Request& request, const server::Response& response) {
    switch (response.status) {
    case 200: case 400: case 404: case 413: case 414: case 431: break;
    default:
        Abort("status " + std::to_string(response.status) + " for " + request.method + " " +
              request.target.substr(0, 200));
    }
    CheckPage(request, response);
    const std::string line = server::AccessLogLine(request, response, 0);
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
}

// One request off the wire and through the server's steps; false when the wire holds no
// further request the library would pass on.
bool ServeOne(std::string_view& wire) {
    server::RequestIntake intake;
    server::Request& request = intake.request;
    const std::string_view whole = wire;
    std::string_view line;
    // Empty lines before a request line are skipped.
    do {
        if (!TakeLine(wire, line)) return false;
    } while (line.empty());
    // METHOD SP TARGET SP HTTP/1.x
    const std::size_t space = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (space == 0 || space == std::string_view::npos || last == space) return false;
    const std::string_view version = line.substr(last + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
    request.method = std::string(line.substr(0, space));
    request.target = std::string(Trim(line.substr(space + 1, last - space - 1)));
    if (request.target.empty()) return false;
    request.remoteAddress = "127.0.0.1";
    for (;;) {
        if (!TakeLine(wire, line)) return false;
        if (line.empty()) break;
        // A line that starts with white space continues the previous one (obsolete
        // folding); the library refuses it, as it refuses a line without a colon.
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos || line[0] == ' ' || line[0] == '\t')
            return false;
        request.headers.emplace_back(std::string(line.substr(0, colon)),
                                     std::string(Trim(line.substr(colon + 1))));
    }
    if (static_cast<std::size_t>(wire.data() - whole.data()) > kMaxHeadBytes) return false;

    if (auto refused = intake.Head()) {
        Check(request, *refused);
        return false; // the connection is closed after a refusal
    }
    const std::string* chunked = Header(request.headers, "transfer-encoding");
    const std::string* length = Header(request.headers, "content-length");
    if (chunked && ToLowerAscii(*chunked) == "chunked") {
        for (;;) {
            if (!TakeLine(wire, line)) return false;
            const std::string_view size = Trim(line.substr(0, line.find(';')));
            if (size.empty() || size.size() > 8 ||
                size.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
                return false;
            const std::size_t bytes = std::strtoul(std::string(size).c_str(), nullptr, 16);
            if (bytes == 0) {
                // Trailers up to an empty line.
                do {
                    if (!TakeLine(wire, line)) return false;
                } while (!line.empty());
                break;
            }
            if (wire.size() < bytes) return false;
            if (!intake.Body(wire.substr(0, bytes))) return false;
            wire.remove_prefix(bytes);
            if (!TakeLine(wire, line) || !line.empty()) return false;
        }
    } else if (length) {
        if (!IsDigits(*length) || length->size() > 18) return false;
        const std::size_t bytes = std::stoull(*length);
        if (wire.size() < bytes) return false;
        if (!intake.Body(wire.substr(0, bytes))) return false;
        wire.remove_prefix(bytes);
    }

    if (auto refused = intake.Whole()) {
        Check(request, *refused);
        return false;
    }
    const std::optional<server::Response> now = router->Immediate(request);
    const server::Response answer = router->Handle(request);
    Check(request, answer);
    // An answer given at once is the one a worker would give.
    if (now) FUZZ_CHECK(now->status == answer.status && now->body == answer.body);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view wire = fuzz::Bytes(data, size);
    for (int i = 0; i < kMaxRequests && ServeOne(wire); ++i) {
    }
    return 0;
}
