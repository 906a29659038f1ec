#include "server/translate/services.h"

#include "pubmed/text.h"

#include <curl/curl.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace tamix::server {

namespace {

using Clock = std::chrono::steady_clock;

// What one request of a service may hold: a chat model's context and DeepL's 128 KiB
// body, with room for the terms that go along.
std::size_t PieceLimit(TranslationService::Kind kind) {
    switch (kind) {
    case TranslationService::Chat:
        return 3000;
    case TranslationService::DeepL:
        return 30000;
    default:
        return 5000;
    }
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Full-width digits (U+FF10..U+FF19) as ASCII ones.
std::string AsciiDigits(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i + 2 < text.size() && text[i] == '\xEF' && text[i + 1] == '\xBC' &&
            static_cast<unsigned char>(text[i + 2]) >= 0x90 &&
            static_cast<unsigned char>(text[i + 2]) <= 0x99) {
            out += static_cast<char>('0' + (static_cast<unsigned char>(text[i + 2]) - 0x90));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One answer of a service.
struct Answer {
    long status = 0; // 0: no answer
    std::string body;
    long retryAfter = -1; // seconds, from the header
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* out) {
    auto& body = *static_cast<std::string*>(out);
    // No translation answer is this long: a service that answers without end is cut off.
    if (body.size() + size * count > (16u << 20)) return 0;
    body.append(data, size * count);
    return size * count;
}

std::size_t Header(char* data, std::size_t size, std::size_t count, void* out) {
    const std::string_view line(data, size * count);
    constexpr std::string_view kName = "retry-after:";
    if (line.size() > kName.size() && ToLowerAscii(line.substr(0, kName.size())) == kName) {
        long seconds = 0;
        bool any = false;
        for (const char c : line.substr(kName.size())) {
            if (IsDigit(c)) {
                seconds = std::min(seconds * 10 + (c - '0'), 3600L);
                any = true;
            } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                return size * count; // a date: the default pause
            }
        }
        if (any) *static_cast<long*>(out) = seconds;
    }
    return size * count;
}

// Easy handles kept between requests, so that a request reuses the connection (and TLS
// session) an earlier one left open instead of a new handshake with the service each time.
class Handles {
public:
    ~Handles() {
        for (CURL* h : idle_)
            curl_easy_cleanup(h);
    }
    CURL* Take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                CURL* h = idle_.back();
                idle_.pop_back();
                curl_easy_reset(h);
                return h;
            }
        }
        return curl_easy_init();
    }
    void Give(CURL* h) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < 16) {
            idle_.push_back(h);
            return;
        }
        curl_easy_cleanup(h);
    }

private:
    std::mutex mutex_;
    std::vector<CURL*> idle_;
};

Answer Post(Handles& handles, const std::string& url, const std::vector<std::string>& headers,
            const std::string& body, Clock::time_point deadline) {
    Answer answer;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return answer;
    CURL* h = handles.Take();
    if (!h) return answer;
    // No "Expect: 100-continue" for a large body: a service that never answers it would
    // hold every long abstract back by a second.
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const std::string& header : headers)
        list = curl_slist_append(list, header.c_str());
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> owned(list,
                                                                            &curl_slist_free_all);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_PROXY, ""); // the service is named directly
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::min<long>(2000, left.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tamix-server");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer.retryAfter);
    const bool done = curl_easy_perform(h) == CURLE_OK &&
                      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.status) == CURLE_OK;
    if (!done) answer.status = 0;
    // A handle whose transfer failed may hold a connection in a bad state: not kept.
    if (done)
        handles.Give(h);
    else
        curl_easy_cleanup(h);
    return answer;
}

// Answers of services, kept in a SQLite file of their own beside the index (which the
// server only reads), by service, model and text.
class Cache {
public:
    explicit Cache(const std::string& path) {
        if (path.empty()) return;
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                     SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK ||
            sqlite3_exec(db_,
                         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA busy_timeout=2000; "
                         "CREATE TABLE IF NOT "
                         "EXISTS translation(service TEXT NOT NULL, source TEXT NOT NULL, "
                         "translation TEXT NOT NULL, made TEXT NOT NULL, PRIMARY KEY(service, "
                         "source)) WITHOUT ROWID",
                         nullptr, nullptr, nullptr) != SQLITE_OK) {
            error_ = path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
            sqlite3_close_v2(db_);
            db_ = nullptr;
        }
    }
    ~Cache() { sqlite3_close_v2(db_); }
    const std::string& Error() const { return error_; }

    std::optional<std::string> Find(const std::string& service, std::string_view source) {
        if (!db_) return std::nullopt;
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_stmt* s = nullptr;
        std::optional<std::string> found;
        if (sqlite3_prepare_v2(db_, "SELECT translation FROM translation WHERE service = ?1 AND "
                                    "source = ?2",
                               -1, &s, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(s, 1, service.data(), static_cast<int>(service.size()), nullptr);
            sqlite3_bind_text(s, 2, source.data(), static_cast<int>(source.size()), nullptr);
            if (sqlite3_step(s) == SQLITE_ROW)
                found.emplace(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                              static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
        }
        sqlite3_finalize(s);
        return found;
    }

    void Put(const std::string& service, std::string_view source, const std::string& translation) {
        if (!db_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO translation VALUES(?1, ?2, ?3, "
                                    "strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))",
                               -1, &s, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(s, 1, service.data(), static_cast<int>(service.size()), nullptr);
            sqlite3_bind_text(s, 2, source.data(), static_cast<int>(source.size()), nullptr);
            sqlite3_bind_text(s, 3, translation.data(), static_cast<int>(translation.size()),
                              nullptr);
            sqlite3_step(s); // a full disk leaves the answer unkept, not the request failed
        }
        sqlite3_finalize(s);
    }

private:
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::string error_;
};

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first));
}

class ServiceTranslator : public Translator {
public:
    ServiceTranslator(TranslationService service, std::shared_ptr<const Glossary> glossary,
                      std::function<void(const std::string&)> log)
        : service_(std::move(service)), name_(ServiceName(service_)),
          glossary_(std::move(glossary)), log_(std::move(log)), cache_(service_.cache) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        while (!service_.base.empty() && service_.base.back() == '/')
            service_.base.pop_back();
        if (!cache_.Error().empty()) Log("cannot keep translations: " + cache_.Error());
    }

    std::optional<std::string> Translate(std::string_view english) override {
        std::optional<std::string> translation = cache_.Find(name_, english);
        if (!translation) {
            translation = Ask(english);
            if (!translation) return std::nullopt;
            cache_.Put(name_, english, *translation);
        }
        // A changed dose is the worst error such a tool can make: a translation that does
        // not keep every number is not shown as one.
        const std::vector<std::string> missing = MissingNumbers(english, *translation);
        if (missing.empty()) return translation;
        std::string numbers;
        for (const std::string& n : missing)
            numbers += (numbers.empty() ? "" : ", ") + n;
        Log(name_ + " changed a number of a text (" + numbers + " missing): translation withheld");
        return "Machine translation withheld: " + name_ + " changed a number of the text (" +
               numbers + " not in its translation). The term glossary instead:\n" +
               (glossary_ ? AnnotateTerms(*glossary_, english) : std::string(english));
    }

private:
    void Log(const std::string& line) const {
        if (log_) log_(line);
    }

    // The whole text from the service, piece by piece; nothing when it fails.
    std::optional<std::string> Ask(std::string_view english) {
        const auto deadline = Clock::now() + std::chrono::seconds(service_.seconds);
        const std::vector<std::string> pieces = SplitSentences(english, PieceLimit(service_.kind));
        std::vector<std::string> translated;
        if (service_.kind == TranslationService::DeepL) {
            // DeepL takes every piece in one request.
            const std::optional<std::vector<std::string>> all = AskDeepL(pieces, english, deadline);
            if (!all) return std::nullopt;
            translated = *all;
        } else {
            for (const std::string& piece : pieces) {
                std::optional<std::string> done = service_.kind == TranslationService::Chat
                                                      ? AskChat(piece, deadline)
                                                      : AskLibreTranslate(piece, deadline);
                if (!done) return std::nullopt;
                translated.push_back(std::move(*done));
            }
        }
        // Chinese needs no space between sentences; a service that answers in letters does.
        std::string whole;
        for (const std::string& piece : translated) {
            if (!whole.empty() && !piece.empty() &&
                static_cast<unsigned char>(whole.back()) < 0x80 &&
                static_cast<unsigned char>(piece.front()) < 0x80)
                whole += ' ';
            whole += piece;
        }
        return whole;
    }

    // One request, asked once more after a pause when the service is busy (429) or failed
    // (5xx) and time is left.
    std::optional<std::string> Request(const std::string& url,
                                       const std::vector<std::string>& headers,
                                       const std::string& body, Clock::time_point deadline) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Answer answer = Post(handles_, url, headers, body, deadline);
            if (answer.status == 200) return answer.body;
            const bool again = answer.status == 429 || answer.status >= 500;
            if (!again || attempt == 1) {
                Log(name_ + " did not translate: " +
                    (answer.status == 0 ? std::string("no answer in time")
                                        : "status " + std::to_string(answer.status)));
                return std::nullopt;
            }
            const auto pause =
                std::chrono::seconds(answer.retryAfter >= 0 ? std::min(answer.retryAfter, 3L) : 1);
            if (Clock::now() + pause >= deadline) {
                Log(name_ + " is busy (status " + std::to_string(answer.status) +
                    ") and no time is left to ask again");
                return std::nullopt;
            }
            std::this_thread::sleep_for(pause);
        }
        return std::nullopt;
    }

    std::string Renderings(std::string_view text, const char* between, const char* separator) {
        std::string list;
        if (!glossary_) return list;
        for (const auto& [english, chinese] : GlossaryTerms(*glossary_, text))
            list += (list.empty() ? "" : separator) + english + between + chinese;
        return list;
    }

    std::optional<std::string> AskChat(const std::string& piece, Clock::time_point deadline) {
        std::string system =
            "You translate abstracts of biomedical articles from English into Simplified "
            "Chinese. Translate the whole text faithfully, sentence by sentence, adding nothing "
            "and leaving nothing out. Keep every number, unit, gene name, protein name and drug "
            "name exactly as it is written. Answer with the translation alone.";
        const std::string terms = Renderings(piece, " = ", "\n");
        if (!terms.empty()) system += "\nTranslate these terms so:\n" + terms;
        const std::string body = "{\"model\":\"" + JsonEscape(service_.model) +
                                 "\",\"temperature\":0,\"messages\":[{\"role\":\"system\","
                                 "\"content\":\"" +
                                 JsonEscape(system) + "\"},{\"role\":\"user\",\"content\":\"" +
                                 JsonEscape(piece) + "\"}]}";
        std::vector<std::string> headers = {"Content-Type: application/json"};
        if (!service_.key.empty()) headers.push_back("Authorization: Bearer " + service_.key);
        const std::optional<std::string> answer =
            Request(service_.base + "/chat/completions", headers, body, deadline);
        if (!answer) return std::nullopt;
        std::optional<std::string> text = JsonPath(*answer, {"choices", 0, "message", "content"});
        if (!text) Log(name_ + " answered without a translation");
        if (text) *text = Trimmed(*text);
        return text;
    }

    std::optional<std::vector<std::string>> AskDeepL(const std::vector<std::string>& pieces,
                                                     std::string_view whole,
                                                     Clock::time_point deadline) {
        std::string texts;
        for (const std::string& piece : pieces)
            texts += (texts.empty() ? "\"" : ",\"") + JsonEscape(piece) + "\"";
        std::string body = "{\"text\":[" + texts + "],\"source_lang\":\"EN\",\"target_lang\":\"ZH-HANS\"";
        const std::string terms = Renderings(whole, " = ", "; ");
        // DeepL reads context without translating it.
        if (!terms.empty())
            body += ",\"context\":\"" +
                    JsonEscape("An abstract of a biomedical article. Required renderings: " +
                               terms + ".") +
                    "\"";
        body += "}";
        const std::optional<std::string> answer = Request(
            service_.base + "/v2/translate",
            {"Content-Type: application/json", "Authorization: DeepL-Auth-Key " + service_.key},
            body, deadline);
        if (!answer) return std::nullopt;
        std::vector<std::string> translated;
        for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
            std::optional<std::string> text = JsonPath(*answer, {"translations", i, "text"});
            if (!text) {
                Log(name_ + " answered without a translation");
                return std::nullopt;
            }
            translated.push_back(std::move(*text));
        }
        return translated;
    }

    std::optional<std::string> AskLibreTranslate(const std::string& piece,
                                                 Clock::time_point deadline) {
        const std::string form =
            "q=" + EncodeQueryValue(piece, "+") + "&source=en&target=zh&format=text" +
            (service_.key.empty() ? "" : "&api_key=" + EncodeQueryValue(service_.key, "+"));
        const std::optional<std::string> answer =
            Request(service_.base + "/translate",
                    {"Content-Type: application/x-www-form-urlencoded"}, form, deadline);
        if (!answer) return std::nullopt;
        std::optional<std::string> text = JsonStringField(*answer, "translatedText");
        if (!text) Log(name_ + " answered without a translation");
        return text;
    }

    TranslationService service_;
    std::string name_;
    std::shared_ptr<const Glossary> glossary_;
    std::function<void(const std::string&)> log_;
    Cache cache_;
    Handles handles_;
};

} // namespace

std::string ParseTranslationService(const std::string& spec, TranslationService& service) {
    std::string url = spec;
    service.kind = TranslationService::LibreTranslate;
    if (spec.rfind("openai:", 0) == 0) {
        service.kind = TranslationService::Chat;
        url = spec.substr(7);
    } else if (spec.rfind("deepl:", 0) == 0) {
        service.kind = TranslationService::DeepL;
        url = spec.substr(6);
    }
    const std::size_t marker = url.find("://");
    if (marker == std::string::npos ||
        (url.compare(0, marker, "http") != 0 && url.compare(0, marker, "https") != 0) ||
        url.size() == marker + 3 || url[marker + 3] == '/' || url[marker + 3] == ':')
        return "takes http[s]://HOST[:PORT][/PATH], openai:URL or deepl:URL";
    service.base = url;
    return {};
}

std::string ServiceName(const TranslationService& service) {
    switch (service.kind) {
    case TranslationService::Chat:
        return "openai:" + service.model;
    case TranslationService::DeepL:
        return "deepl";
    default:
        return "libretranslate";
    }
}

std::unique_ptr<Translator> MakeServiceTranslator(const TranslationService& service,
                                                  std::shared_ptr<const Glossary> glossary,
                                                  std::function<void(const std::string&)> log) {
    return std::make_unique<ServiceTranslator>(service, std::move(glossary), std::move(log));
}

std::vector<std::string> SplitSentences(std::string_view text, std::size_t limit) {
    std::vector<std::string> pieces;
    limit = std::max<std::size_t>(limit, 16);
    while (text.size() > limit) {
        // The last sentence end within the limit, else the last space, else a character's
        // start.
        std::size_t cut = std::string_view::npos;
        for (std::size_t i = limit; i > 0; --i) {
            const char c = text[i - 1];
            if ((c == '.' || c == '?' || c == '!') && i < text.size() && text[i] == ' ') {
                cut = i + 1;
                break;
            }
        }
        if (cut == std::string_view::npos) {
            const std::size_t space = text.substr(0, limit).rfind(' ');
            cut = space != std::string_view::npos && space > 0 ? space + 1 : limit;
            while (cut > 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
                --cut;
        }
        pieces.emplace_back(Trimmed(text.substr(0, cut)));
        text.remove_prefix(cut);
    }
    if (!Trimmed(text).empty() || pieces.empty()) pieces.emplace_back(Trimmed(text));
    return pieces;
}

std::vector<std::string> NumbersIn(std::string_view original) {
    const std::string text = AsciiDigits(original);
    std::vector<std::string> numbers;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < text.size();) {
        if (!IsDigit(text[i])) {
            ++i;
            continue;
        }
        std::string number;
        while (i < text.size()) {
            if (IsDigit(text[i])) {
                number += text[i++];
            } else if (text[i] == ',' && i + 3 < text.size() && IsDigit(text[i + 1]) &&
                       IsDigit(text[i + 2]) && IsDigit(text[i + 3]) &&
                       (i + 4 >= text.size() || !IsDigit(text[i + 4]))) {
                ++i; // a thousands' comma: 1,234
            } else if (text[i] == '.' && i + 1 < text.size() && IsDigit(text[i + 1])) {
                number += text[i++];
            } else {
                break;
            }
        }
        if (seen.insert(number).second) numbers.push_back(number);
    }
    return numbers;
}

std::vector<std::string> MissingNumbers(std::string_view source, std::string_view translation) {
    const std::vector<std::string> held = NumbersIn(translation);
    const std::set<std::string> there(held.begin(), held.end());
    std::vector<std::string> missing;
    for (const std::string& n : NumbersIn(source))
        if (!there.count(n)) missing.push_back(n);
    return missing;
}

std::vector<std::pair<std::string, std::string>> GlossaryTerms(const Glossary& glossary,
                                                                std::string_view text) {
    std::vector<std::pair<std::string, std::string>> terms;
    std::set<std::string> seen;
    ForEachTerm(glossary, text, [&](std::size_t begin, std::size_t end, const std::string& chinese) {
        std::string english = ToLowerAscii(text.substr(begin, end - begin));
        if (seen.insert(english).second) terms.emplace_back(std::move(english), chinese);
    });
    std::stable_sort(terms.begin(), terms.end(),
                     [](const auto& x, const auto& y) { return x.first.size() > y.first.size(); });
    return terms;
}

} // namespace tamix::server
