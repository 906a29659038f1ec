#include "server/web/router.h"

#include "pubmed/text.h"

#include "server/cite/cite.h"
#include "server/gateway/gateway.h"
#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/results.h"
#include "server/translate/services.h"
#include "server/translate/translate.h"
#include "server/web/pages.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace tamix::server {

namespace {

constexpr std::size_t kMaxTermBytes = 2000;
constexpr std::string_view kHtml = "text/html; charset=utf-8";
constexpr std::string_view kJson = "application/json; charset=utf-8";

// One reader per request at a time; readers are made on demand and kept.
class ReaderPool {
public:
    explicit ReaderPool(std::string path) : path_(std::move(path)) {}

    // A reader whose request failed is dropped rather than kept: it may hold pages of a
    // file that was damaged and then put back.
    class Lease {
    public:
        Lease(ReaderPool& pool, std::unique_ptr<IndexReader> reader)
            : pool_(pool), reader_(std::move(reader)), unwinding_(std::uncaught_exceptions()) {}
        ~Lease() {
            if (std::uncaught_exceptions() == unwinding_) pool_.Return(std::move(reader_));
        }
        IndexReader* operator->() { return reader_.get(); }
        IndexReader& operator*() { return *reader_; }

    private:
        ReaderPool& pool_;
        std::unique_ptr<IndexReader> reader_;
        int unwinding_;
    };

    Lease Take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                auto reader = std::move(free_.back());
                free_.pop_back();
                return Lease(*this, std::move(reader));
            }
        }
        return Lease(*this, std::make_unique<IndexReader>(path_));
    }

private:
    void Return(std::unique_ptr<IndexReader> reader) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(reader));
    }

    std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<IndexReader>> free_;
};

// Every '%' must open a two-digit escape.
bool HasValidEscapes(std::string_view target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') continue;
        if (i + 2 >= target.size() || HexDigitValue(target[i + 1]) < 0 ||
            HexDigitValue(target[i + 2]) < 0)
            return false;
        i += 2;
    }
    return true;
}

// A '%' that does not open an escape stays as it is.
std::string Unescape(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
            HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// "1".."9999999"; anything else is not a page number.
bool ParsePage(const std::string& text, int& page) {
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    page = std::stoi(text);
    return page >= 1;
}

const std::string* Find(const HeaderList& fields, std::string_view name) {
    for (const auto& [key, value] : fields)
        if (key == name) return &value;
    return nullptr;
}

constexpr std::string_view kArticles = "/m/pubmed/";

// "/m/pubmed/" and one more piece.
bool IsArticlePath(const std::string& path) {
    return path.size() > kArticles.size() && path.compare(0, kArticles.size(), kArticles) == 0 &&
           path.find('/', kArticles.size()) == std::string::npos;
}

bool IsArticleId(const std::string& id) {
    return id.size() <= 9 && id.find_first_not_of("0123456789") == std::string::npos;
}

Response Html(std::string body) {
    return {200, {{"Content-Type", std::string(kHtml)}}, std::move(body)};
}

Response Json(std::string body) {
    return {200, {{"Content-Type", std::string(kJson)}}, std::move(body)};
}

// A download for a reference manager: the file name says what it holds.
Response Citations(const std::vector<Article>& articles, CitationFormat format,
                   const std::string& name) {
    return {200,
            {{"Content-Type", CitationContentType(format)},
             {"Content-Disposition",
              "attachment; filename=\"" + name + "." + CitationExtension(format) + "\""}},
            FormatCitations(articles, format)};
}

constexpr std::string_view kBadFormat = "The format is not one of ris, bibtex, nbib and csl.";

// Similar articles an article page lists.
constexpr int kSimilarArticles = 5;

} // namespace

std::size_t HeaderBytes(const HeaderList& headers) {
    std::size_t bytes = 0;
    for (const auto& [name, value] : headers)
        bytes += name.size() + value.size() + 4;
    return bytes;
}

std::optional<Response> RefuseEarly(const Request& head, std::uint64_t bodyBytes) {
    if (head.target.size() > kMaxTargetBytes) return ErrorResponse(414, "The address is too long.");
    if (HeaderBytes(head.headers) > kMaxHeaderBytes)
        return ErrorResponse(431, "The request's headers are too large.");
    if (bodyBytes > kMaxBodyBytes) return ErrorResponse(413, "The request's body is too large.");
    return std::nullopt;
}

std::optional<Response> RequestIntake::Head() {
    std::uint64_t declared = 0;
    for (const auto& [name, value] : request.headers)
        if (ToLowerAscii(name) == "content-length") {
            declared = std::strtoull(value.c_str(), nullptr, 10);
            break;
        }
    return RefuseEarly(request, declared);
}

bool RequestIntake::Body(std::string_view piece) {
    bodyBytes_ += piece.size();
    if (bodyBytes_ <= kMaxBodyBytes) {
        request.body.append(piece);
        return true;
    }
    request.body.clear();
    request.body.shrink_to_fit();
    return bodyBytes_ <= kMaxDiscardedBytes;
}

std::optional<Response> RequestIntake::Whole() const {
    return RefuseEarly(request, bodyBytes_);
}

Response ErrorResponse(int status, std::string_view message) {
    Response response = Html(RenderErrorPage(status, message));
    response.status = status;
    return response;
}

Response BusyResponse() {
    Response response = ErrorResponse(503, "The server is busy; please try again in a moment.");
    response.headers.emplace_back("Retry-After", "1");
    return response;
}

HeaderList ParseForm(std::string_view text) {
    HeaderList fields;
    while (!text.empty()) {
        const std::size_t amp = text.find('&');
        const std::string_view piece = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        const std::size_t eq = piece.find('=');
        const std::string_view name = piece.substr(0, eq);
        if (name.empty()) continue;
        fields.emplace_back(Unescape(name, true), eq == std::string_view::npos
                                                      ? std::string()
                                                      : Unescape(piece.substr(eq + 1), true));
    }
    return fields;
}

std::string AccessLogLine(const Request& request, const Response& response, std::time_t when) {
    char stamp[32];
    std::tm utc{};
    gmtime_r(&when, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return request.remoteAddress + " [" + stamp + "] \"" + request.method + " " + request.target +
           "\" " + std::to_string(response.status) + " " + std::to_string(response.body.size()) +
           "\n";
}

struct Router::Impl {
    explicit Impl(const ServeOptions& options) : readers(options.index) {
        if (!options.eutils.empty()) {
            gateway::GatewayOptions g;
            g.index = options.index;
            g.eutils.base = options.eutils;
            if (g.eutils.base.back() != '/') g.eutils.base += '/';
            g.eutils.apiKey = options.apiKey;
            g.eutils.email = options.email;
            if (options.accessLog)
                g.eutils.log = [](const std::string& line) {
                    std::fwrite(line.data(), 1, line.size(), stderr);
                };
            eutils = std::make_unique<gateway::Gateway>(std::move(g));
        }
        std::shared_ptr<Glossary> glossary;
        if (!options.glossary.empty()) {
            glossary = std::make_shared<Glossary>();
            std::string error;
            if (!glossary->Load(options.glossary, error)) throw std::runtime_error(error);
        }
        if (!options.translateBackend.empty()) {
            TranslationService service;
            if (const std::string problem =
                    ParseTranslationService(options.translateBackend, service);
                !problem.empty())
                throw std::runtime_error("--translate-backend " + problem);
            service.model = options.translateModel;
            service.key = options.translateKey;
            service.cache = options.translationCache;
            // Withheld translations and failed services are worth a line even with --quiet.
            translator = MakeServiceTranslator(service, glossary, [](const std::string& line) {
                std::fprintf(stderr, "tamix-server: %s\n", line.c_str());
            });
        } else if (glossary) {
            translator = MakeGlossaryTranslator(std::move(glossary));
        }
    }

    // Without mayWait, only answers that need neither the index nor the translation
    // engine; nothing for the others.
    std::optional<Response> Route(const Request& request, bool mayWait) {
        if (const auto refused = RefuseEarly(request, request.body.size())) return *refused;
        if (!HasValidEscapes(request.target))
            return ErrorResponse(400, "The address holds a '%' that does not start an escape.");
        const std::size_t mark = request.target.find('?');
        const std::string path = Unescape(std::string_view(request.target).substr(0, mark), false);
        const HeaderList query = mark == std::string::npos
                                     ? HeaderList()
                                     : ParseForm(std::string_view(request.target).substr(mark + 1));

        const bool get = request.method == "GET" || request.method == "HEAD";
        const bool needsIndex =
            get && (path == "/" || path == "/about" || path == "/m/pubmed/" ||
                    (IsArticlePath(path) && IsArticleId(path.substr(kArticles.size()))));
        if (!mayWait && (needsIndex || path == "/public/2.0/bmt/translate")) return std::nullopt;
        if (get && path == "/")
            return Html(RenderStartPage(readers.Take()->Size(),
                                        eutils ? eutils->options().eutils.base : std::string()));
        if (get && path == "/about")
            return Html(RenderAboutPage(readers.Take()->Size(),
                                        eutils ? eutils->options().eutils.base : std::string()));
        if (get && path == "/static/tamix.css")
            return Response{
                200,
                {{"Content-Type", "text/css; charset=utf-8"}, {"Cache-Control", "max-age=86400"}},
                std::string(Stylesheet())};
        if (get && path == "/m/pubmed/") return ResultPage(query);
        if (path == "/public/2.0/bmt/translate") {
            if (get) return Json(Translate(query));
            // Texts too long for an address may come as a form body; the address's fields
            // come first.
            if (request.method == "POST") {
                HeaderList fields = query;
                for (auto& field : ParseForm(request.body))
                    fields.push_back(std::move(field));
                return Json(Translate(fields));
            }
        }
        if (get && IsArticlePath(path)) return ArticlePage(path.substr(kArticles.size()), query);
        return ErrorResponse(404, "There is no such page here.");
    }

    Response ResultPage(const HeaderList& query) {
        ResultPageData data;
        if (const std::string* term = Find(query, "term")) data.term = *term;
        if (data.term.size() > kMaxTermBytes)
            return ErrorResponse(400, "The search terms are too long.");
        if (!IsValidUtf8(data.term))
            return ErrorResponse(400, "The search terms are not UTF-8 text.");
        if (const std::string* page = Find(query, "page"); page && !ParsePage(*page, data.page))
            return ErrorResponse(400, "The page number is not a number from 1.");

        if (const std::string* sort = Find(query, "sort")) {
            const std::optional<SortOrder> order = ParseSortOrder(*sort);
            if (!order)
                return ErrorResponse(400, "The order is not one of date, relevance, author and "
                                          "journal.");
            data.sort = *order;
        }

        std::optional<CitationFormat> format;
        if (const std::string* name = Find(query, "format")) {
            format = ParseCitationFormat(*name);
            if (!format) return ErrorResponse(400, kBadFormat);
        }

        // Counting up to 10,000 matches is most of a common term's page, and ordering them
        // (other than by date) more: both are kept per query until a writer commits.
        auto reader = readers.Take();
        if (eutils) {
            if (data.term.find_first_not_of(" \t\r\n") != std::string::npos) {
                try {
                    gateway::GatewayPage found =
                        eutils->Search(data.term, data.sort, data.page, *reader);
                    data.matches = found.matches;
                    data.items = std::move(found.items);
                    data.note = std::move(found.message);
                } catch (const gateway::Unreachable& e) {
                    return Unreachable(e);
                }
            }
        } else if (const Search search = BuildSearch(data.term); !search.MatchesNothing()) {
            const auto found =
                FindResults(*reader, results, search, data.sort, data.page, kItemsPerPage);
            data.matches = found.matches;
            data.items = found.items;
        }
        if (format) {
            std::vector<Article> articles;
            for (const ArticleSummary& item : data.items)
                if (auto article = reader->Find(item.pmid)) articles.push_back(std::move(*article));
            return Citations(articles, *format, "pubmed-page-" + std::to_string(data.page));
        }
        return Html(RenderResultPage(data));
    }

    // Errors answer 200 with an error code, as the service the program was written for
    // does, so the program tells "translation failed" from "server unreachable".
    std::string Translate(const HeaderList& fields) {
        const auto value = [&](const char* key) -> std::optional<std::string> {
            const std::string* found = Find(fields, key);
            return found ? std::optional<std::string>(*found) : std::nullopt;
        };
        if (value("client_id") != std::string(kTranslateClientId))
            return ErrorJson("52003", "UNAUTHORIZED USER");
        const auto q = value("q"), from = value("from"), to = value("to");
        // An empty text would translate to an empty one, which has no escape to decode.
        if (!q || q->empty() || !from || !to)
            return ErrorJson("54000", "PARAM_FROM_TO_OR_Q_EMPTY");
        if (*from != "en" || *to != "zh")
            return ErrorJson("58001", "INVALID_TO_PARAM: only en to zh");
        if (!IsValidUtf8(*q)) return ErrorJson("54001", "INVALID_Q: not UTF-8");
        if (!translator) return ErrorJson("52001", "NO TRANSLATION ENGINE");
        const std::optional<std::string> translation = translator->Translate(*q);
        if (!translation) return ErrorJson("52001", "TRANSLATION BACKEND FAILED");
        return TranslationJson(*translation, *q);
    }

    Response ArticlePage(const std::string& id, const HeaderList& query) {
        if (!IsArticleId(id)) return ErrorResponse(404, "There is no article with that id.");
        auto reader = readers.Take();
        std::optional<Article> article;
        try {
            article = eutils ? eutils->Find(std::stoll(id), *reader) : reader->Find(std::stoll(id));
        } catch (const gateway::Unreachable& e) {
            return Unreachable(e);
        }
        if (!article) return ErrorResponse(404, "There is no article with that id.");
        if (const std::string* name = Find(query, "format")) {
            const std::optional<CitationFormat> format = ParseCitationFormat(*name);
            if (!format) return ErrorResponse(400, kBadFormat);
            return Citations({*article}, *format, "pubmed-" + PaddedId(article->pmid));
        }
        // A gateway's similar articles come from what its index holds, so that its pages
        // are those of a local index with the same records.
        return Html(RenderArticlePage(
            *article, SimilarArticles(*reader, results, *article, kSimilarArticles)));
    }

    static Response Unreachable(const gateway::Unreachable& e) {
        std::fprintf(stderr, "tamix-server: PubMed could not be reached: %s\n", e.what());
        return ErrorResponse(502, "PubMed could not be reached; please try again later.");
    }

    ReaderPool readers;
    ResultCache results;
    std::unique_ptr<gateway::Gateway> eutils;
    std::unique_ptr<Translator> translator;
};

Router::Router(const ServeOptions& options) : impl_(std::make_unique<Impl>(options)) {
}

Router::~Router() = default;

void Router::CheckIndex() {
    impl_->readers.Take()->Size();
}

std::optional<Response> Router::Immediate(const Request& request) {
    try {
        return impl_->Route(request, false);
    } catch (...) {
        return std::nullopt; // Handle() will report it
    }
}

Response Router::Handle(const Request& request) {
    try {
        return *impl_->Route(request, true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamix-server: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "tamix-server: unknown failure\n");
    }
    return ErrorResponse(500, "The index could not be read.");
}

} // namespace tamix::server
