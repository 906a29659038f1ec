// Stand-ins of machine translation services on a loopback port, answering as their
// public documentation shows: an OpenAI-compatible chat service (POST /v1/chat/completions),
// DeepL (POST /v2/translate) and LibreTranslate (POST /translate, a form). Each request is
// noted with its headers and body; the translation of a text is canned, else the text in
// brackets; faults come on demand (a status for the next requests, a pause before answering).
#pragma once

#include "server/translate/translate.h"
#include "support/test_server.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tamix::test {

class TranslationStandIn {
public:
    struct Hit {
        std::string body, authorization;
        httplib::Params form;
    };

    TranslationStandIn() {
        for (const auto& [path, kind] : std::initializer_list<std::pair<const char*, Kind>>{
                 {"/v1/chat/completions", Chat}, {"/v2/translate", DeepL}, {"/translate", Libre}})
            server_.routes().Post(
                path, [this, kind = kind](const httplib::Request& req, httplib::Response& res) {
                    Answer(req, res, kind);
                });
        // As services' own servers do: an answer goes out at once, not after a delayed ACK.
        server_.routes().set_tcp_nodelay(true);
        server_.Start();
    }
    // A pause under way ends, so that the server stops at once.
    ~TranslationStandIn() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        woken_.notify_all();
    }

    std::string ChatBase() const { return "openai:" + server_.Url("/v1"); }
    std::string DeepLBase() const { return "deepl:" + server_.Url(""); }
    std::string LibreTranslateBase() const { return server_.Url("/"); }

    // The translation of each piece equal to source.
    void Translate(const std::string& source, const std::string& translation) {
        std::lock_guard<std::mutex> lock(mutex_);
        canned_[source] = translation;
    }
    // The next requests are answered with these statuses (Retry-After: 0 with a 429, so
    // that only a server that reads it asks again at once).
    void Fail(std::vector<int> statuses) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.assign(statuses.begin(), statuses.end());
    }
    void Pause(std::chrono::milliseconds pause) {
        std::lock_guard<std::mutex> lock(mutex_);
        pause_ = pause;
    }
    std::vector<Hit> Hits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hits_;
    }

private:
    enum Kind { Chat, DeepL, Libre };

    // A JSON string's content, UTF-8 as it is. (LibreTranslate writes \uXXXX escapes; that
    // they read is Translate.JsonStringField's.)
    static std::string Escape(const std::string& text) {
        std::string out;
        for (const char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        return out;
    }

    std::string TranslationOf(const std::string& text) {
        const auto canned = canned_.find(text);
        return Escape(canned != canned_.end() ? canned->second : "[" + text + "]");
    }

    void Answer(const httplib::Request& req, httplib::Response& res, Kind kind) {
        std::unique_lock<std::mutex> lock(mutex_);
        hits_.push_back({req.body, req.get_header_value("Authorization"), req.params});
        if (!failures_.empty()) {
            res.status = failures_.front();
            failures_.pop_front();
            if (res.status == 429) res.set_header("Retry-After", "0");
            res.set_content("{\"message\":\"Too many requests\"}", "application/json");
            return;
        }
        woken_.wait_for(lock, pause_, [this] { return stopping_; });
        std::string answer;
        if (kind == Libre) {
            answer = "{\"translatedText\":\"" + TranslationOf(req.get_param_value("q")) + "\"}";
        } else if (kind == Chat) {
            // The user's message is the text; the system message comes first.
            const std::string text =
                server::JsonPath(req.body, {"messages", 1, "content"}).value_or("");
            answer = "{\"id\":\"chatcmpl-abc123\",\"object\":\"chat.completion\",\"choices\":[{"
                     "\"index\":0,\"message\":{\"role\":\"assistant\",\"content\":\"" +
                     TranslationOf(text) +
                     "\",\"refusal\":null,\"annotations\":[]},\"logprobs\":null,"
                     "\"finish_reason\":\"stop\"}],\"usage\":{\"total_tokens\":29}}";
        } else {
            answer = "{\"translations\":[";
            for (int i = 0; const auto text = server::JsonPath(req.body, {"text", i}); ++i)
                answer += (i ? ",{" : "{") + std::string("\"detected_source_language\":\"EN\",") +
                          "\"text\":\"" + TranslationOf(*text) + "\"}";
            answer += "]}";
        }
        res.set_content(answer, "application/json");
    }

    std::mutex mutex_;
    std::condition_variable woken_;
    bool stopping_ = false;
    std::map<std::string, std::string> canned_;
    std::deque<int> failures_;
    std::chrono::milliseconds pause_{0};
    std::vector<Hit> hits_;
    // Last, so that it stops before what its handlers use goes.
    TestServer server_;
};

} // namespace tamix::test
