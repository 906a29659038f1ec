#include "server/web/http.h"

#include "pubmed/text.h"

#include "server/index/index.h"
#include "server/web/pages.h"
#include "server/index/query.h"
#include "server/translate/translate.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

namespace tamix::server {

namespace {

constexpr std::size_t kMaxTermBytes = 2000;
constexpr int kListenBacklog = 1024;
constexpr std::size_t kMaxTranslateBody = 1 << 20;

// One reader per request at a time; readers are made on demand and kept.
class ReaderPool {
public:
    explicit ReaderPool(std::string path) : path_(std::move(path)) {}

    class Lease {
    public:
        Lease(ReaderPool& pool, std::unique_ptr<IndexReader> reader)
            : pool_(pool), reader_(std::move(reader)) {}
        ~Lease() { pool_.Return(std::move(reader_)); }
        IndexReader* operator->() { return reader_.get(); }

    private:
        ReaderPool& pool_;
        std::unique_ptr<IndexReader> reader_;
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

// Counting up to 10,000 matches is most of a common term's page; the count is kept per
// query until a writer commits (the index's generation moves on).
class CountCache {
public:
    std::optional<int> Get(const std::string& match, std::int64_t generation) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = counts_.find(match);
        if (found == counts_.end() || found->second.first != generation) return std::nullopt;
        return found->second.second;
    }
    void Put(const std::string& match, std::int64_t generation, int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (counts_.size() >= kCapacity) counts_.clear(); // bounded, and cheap to refill
        counts_[match] = {generation, count};
    }

private:
    static constexpr std::size_t kCapacity = 20000;
    std::mutex mutex_;
    std::unordered_map<std::string, std::pair<std::int64_t, int>> counts_;
};

// Every '%' must open a two-digit escape.
bool HasValidEscapes(const std::string& target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') continue;
        if (i + 2 >= target.size() || HexDigitValue(target[i + 1]) < 0 ||
            HexDigitValue(target[i + 2]) < 0)
            return false;
        i += 2;
    }
    return true;
}

// "1".."9999999"; anything else is not a page number.
bool ParsePage(const std::string& text, int& page) {
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    page = std::stoi(text);
    return page >= 1;
}

void SendHtml(httplib::Response& res, int status, std::string body) {
    res.status = status;
    res.set_content(std::move(body), "text/html; charset=utf-8");
}

void SendError(httplib::Response& res, int status, std::string_view message) {
    SendHtml(res, status, RenderErrorPage(status, message));
}

} // namespace

struct HttpServer::Impl {
    explicit Impl(ServeOptions o) : options(std::move(o)), readers(options.index) {
        if (!options.translateBackend.empty()) {
            translator = MakeForwardingTranslator(options.translateBackend);
        } else if (!options.glossary.empty()) {
            auto glossary = std::make_shared<Glossary>();
            std::string error;
            if (!glossary->Load(options.glossary, error)) throw std::runtime_error(error);
            translator = MakeGlossaryTranslator(std::move(glossary));
        }
    }

    void Routes() {
        server.set_tcp_nodelay(true);
        server.set_keep_alive_max_count(100000);
        const int threads = options.threads;
        server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        // cpp-httplib 0.11 listens with a backlog of 5 (CPPHTTPLIB_LISTEN_BACKLOG, fixed in
        // the packaged library), which drops connections under load; the socket is kept so
        // Bind() can listen again with a real backlog.
        server.set_socket_options([this](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            listenSocket = sock;
        });

        server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!HasValidEscapes(req.target)) {
                SendError(res, 400, "The address holds a '%' that does not start an escape.");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) return;
            SendError(res, res.status,
                      res.status == 404 ? "There is no such page here."
                                        : "The request could not be served.");
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
                try {
                    std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "tamix-server: %s\n", e.what());
                }
                SendError(res, 500, "The index could not be read.");
            });
        if (options.accessLog) {
            server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
                LogLine(req, res);
            });
        }

        server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
            SendHtml(res, 200, RenderStartPage(readers.Take()->Size()));
        });
        server.Get("/about", [this](const httplib::Request&, httplib::Response& res) {
            SendHtml(res, 200, RenderAboutPage(readers.Take()->Size()));
        });
        server.Get("/static/tamix.css", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "max-age=86400");
            res.set_content(std::string(Stylesheet()), "text/css; charset=utf-8");
        });
        server.Get("/m/pubmed/", [this](const httplib::Request& req, httplib::Response& res) {
            ResultPage(req, res);
        });
        server.Get("/public/2.0/bmt/translate",
                   [this](const httplib::Request& req, httplib::Response& res) {
                       res.set_content(Translate(req.params), "application/json; charset=utf-8");
                   });
        // Texts too long for an address may come as a form body. It is read here, not by
        // cpp-httplib, which refuses form bodies over 8 KiB
        // (CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH, fixed in the packaged library).
        server.Post("/public/2.0/bmt/translate",
                    [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& read) {
                        std::string body;
                        const bool whole = read([&](const char* data, std::size_t length) {
                            body.append(data, length);
                            return body.size() <= kMaxTranslateBody;
                        });
                        if (!whole)
                            return SendError(res, 413, "The text to translate is too long.");
                        httplib::Params params = req.params;
                        httplib::detail::parse_query_text(body, params);
                        res.set_content(Translate(params), "application/json; charset=utf-8");
                    });
        server.Get(R"(/m/pubmed/([^/]+))",
                   [this](const httplib::Request& req, httplib::Response& res) {
                       ArticlePage(req.matches[1], res);
                   });
    }

    void ResultPage(const httplib::Request& req, httplib::Response& res) {
        ResultPageData data;
        data.term = req.get_param_value("term");
        if (data.term.size() > kMaxTermBytes)
            return SendError(res, 400, "The search terms are too long.");
        if (!IsValidUtf8(data.term))
            return SendError(res, 400, "The search terms are not UTF-8 text.");
        if (req.has_param("page") && !ParsePage(req.get_param_value("page"), data.page))
            return SendError(res, 400, "The page number is not a number from 1.");

        const Search search = BuildSearch(data.term);
        if (!search.MatchesNothing()) {
            auto reader = readers.Take();
            const std::int64_t generation = reader->Generation();
            if (const auto cached = counts.Get(search.Key(), generation)) {
                data.matches = *cached;
            } else {
                data.matches = reader->Count(search);
                counts.Put(search.Key(), generation, data.matches);
            }
            const long long offset = static_cast<long long>(data.page - 1) * kItemsPerPage;
            if (offset < data.matches)
                data.items = reader->Page(search, static_cast<int>(offset), kItemsPerPage);
        }
        SendHtml(res, 200, RenderResultPage(data));
    }

    // Errors answer 200 with an error code, as the service the program was written for
    // does, so the program tells "translation failed" from "server unreachable".
    std::string Translate(const httplib::Params& params) {
        const auto value = [&](const char* key) -> std::optional<std::string> {
            const auto found = params.find(key);
            return found == params.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
        if (value("client_id") != std::string(kTranslateClientId))
            return ErrorJson("52003", "UNAUTHORIZED USER");
        const auto q = value("q"), from = value("from"), to = value("to");
        if (!q || !from || !to) return ErrorJson("54000", "PARAM_FROM_TO_OR_Q_EMPTY");
        if (*from != "en" || *to != "zh")
            return ErrorJson("58001", "INVALID_TO_PARAM: only en to zh");
        if (!IsValidUtf8(*q)) return ErrorJson("54001", "INVALID_Q: not UTF-8");
        if (!translator) return ErrorJson("52001", "NO TRANSLATION ENGINE");
        const std::optional<std::string> translation = translator->Translate(*q);
        if (!translation) return ErrorJson("52001", "TRANSLATION BACKEND FAILED");
        return TranslationJson(*translation, *q);
    }

    void ArticlePage(const std::string& id, httplib::Response& res) {
        if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos)
            return SendError(res, 404, "There is no article with that id.");
        const auto article = readers.Take()->Find(std::stoll(id));
        if (!article) return SendError(res, 404, "There is no article with that id.");
        SendHtml(res, 200, RenderArticlePage(*article));
    }

    void LogLine(const httplib::Request& req, const httplib::Response& res) {
        char when[32];
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        std::string line = req.remote_addr + " [" + when + "] \"" + req.method + " " + req.target +
                           "\" " + std::to_string(res.status) + " " +
                           std::to_string(res.body.size()) + "\n";
        std::lock_guard<std::mutex> lock(logMutex);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    ServeOptions options;
    ReaderPool readers;
    CountCache counts;
    std::unique_ptr<Translator> translator;
    httplib::Server server;
    socket_t listenSocket = INVALID_SOCKET;
    std::mutex logMutex;
};

HttpServer::HttpServer(ServeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->Routes();
}

HttpServer::~HttpServer() {
    Stop();
}

int HttpServer::Bind() {
    // Opening one reader now reports a missing or broken index before any request does.
    impl_->readers.Take()->Size();
    const int port = impl_->options.port == 0
                         ? impl_->server.bind_to_any_port(impl_->options.host)
                         : (impl_->server.bind_to_port(impl_->options.host, impl_->options.port)
                                ? impl_->options.port
                                : -1);
    if (port > 0 && impl_->listenSocket != INVALID_SOCKET)
        ::listen(impl_->listenSocket, kListenBacklog);
    return port;
}

bool HttpServer::Run() {
    return impl_->server.listen_after_bind();
}

void HttpServer::Stop() {
    impl_->server.stop();
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
