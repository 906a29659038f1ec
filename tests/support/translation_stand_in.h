// Stand-ins of machine translation services on a loopback port, answering as their
// public documentation shows: an OpenAI-compatible chat service (POST /v1/chat/completions),
// DeepL (POST /v2/translate) and LibreTranslate (POST /translate, a form). Each request is noted with its headers and body; the
// translation of a text is canned, else the text in brackets; faults come on demand (a
// status for the next requests, a pause before answering).
#pragma once

#include "support/test_server.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tamix::test {

class TranslationStandIn {
public:
    struct Hit {
        std::string path, body, authorization, contentType;
    };

    TranslationStandIn() {
        server_.routes().Post("/v1/chat/completions",
                              [this](const httplib::Request& req, httplib::Response& res) {
                                  Answer(req, res, Chat);
                              });
        server_.routes().Post("/v2/translate",
                              [this](const httplib::Request& req, httplib::Response& res) {
                                  Answer(req, res, DeepL);
                              });
        server_.routes().Post("/translate",
                              [this](const httplib::Request& req, httplib::Response& res) {
                                  Answer(req, res, Libre);
                              });
        // As services' own servers do: an answer goes out at once, not after a delayed ACK.
        server_.routes().set_tcp_nodelay(true);
        server_.Start();
    }

    std::string ChatBase() const { return "openai:" + server_.Url("/v1"); }
    std::string DeepLBase() const { return "deepl:" + server_.Url(""); }
    std::string LibreTranslateBase() const { return server_.Url("/"); }

    // The translation of each piece equal to source.
    void Translate(const std::string& source, const std::string& translation) {
        std::lock_guard<std::mutex> lock(mutex_);
        canned_[source] = translation;
    }
    // The next requests are answered with these statuses (Retry-After: 1 with a 429).
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

    static std::string Escape(const std::string& text) {
        std::string out;
        for (const char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            if (c == '\n') {
                out += "\\n";
                continue;
            }
            out += c;
        }
        return out;
    }

    // The JSON strings of every "key":"..." and "key":[...] of the body, in order (plain
    // texts only: the tests send no escapes but \" \\ \n).
    static std::vector<std::string> Strings(const std::string& body, const std::string& key) {
        std::vector<std::string> found;
        const std::string name = "\"" + key + "\":";
        for (std::size_t at = body.find(name); at != std::string::npos;
             at = body.find(name, at)) {
            at += name.size();
            const bool array = body[at] == '[';
            if (array) ++at;
            while (at < body.size() && body[at] == '"') {
                std::string value;
                for (++at; at < body.size() && body[at] != '"'; ++at) {
                    if (body[at] == '\\') {
                        ++at;
                        value += body[at] == 'n' ? '\n' : body[at];
                    } else {
                        value += body[at];
                    }
                }
                found.push_back(value);
                ++at;
                if (!array || at >= body.size() || body[at] != ',') break;
                ++at;
            }
        }
        return found;
    }

    std::string TranslationOf(const std::string& text) {
        const auto canned = canned_.find(text);
        return canned != canned_.end() ? canned->second : "[" + text + "]";
    }

    void Answer(const httplib::Request& req, httplib::Response& res, Kind kind) {
        std::chrono::milliseconds pause{0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hits_.push_back({req.path, req.body, req.get_header_value("Authorization"),
                             req.get_header_value("Content-Type")});
            pause = pause_;
            if (!failures_.empty()) {
                res.status = failures_.front();
                failures_.pop_front();
                if (res.status == 429) res.set_header("Retry-After", "1");
                res.set_content(kind == Chat ? "{\"error\":{\"message\":\"Rate limit reached\",\"type\":"
                                       "\"requests\",\"param\":null,\"code\":\"rate_limit_exceeded\"}}"
                                     : "{\"message\":\"Too many requests\"}",
                                "application/json");
                return;
            }
        }
        std::this_thread::sleep_for(pause);
        std::lock_guard<std::mutex> lock(mutex_);
        if (kind == Libre) {
            res.set_content("{\"translatedText\":\"" + Escape(TranslationOf(req.get_param_value("q"))) +
                                "\"}",
                            "application/json");
        } else if (kind == Chat) {
            // The user's message is the text; the system message comes first.
            const std::vector<std::string> contents = Strings(req.body, "content");
            const std::string text = contents.size() == 2 ? contents[1] : "";
            res.set_content("{\"id\":\"chatcmpl-abc123\",\"object\":\"chat.completion\","
                            "\"created\":1741569952,\"model\":\"gpt-4.1-2025-04-14\","
                            "\"choices\":[{\"index\":0,\"message\":{\"role\":\"assistant\","
                            "\"content\":\"" +
                                Escape(TranslationOf(text)) +
                                "\",\"refusal\":null,\"annotations\":[]},\"logprobs\":null,"
                                "\"finish_reason\":\"stop\"}],\"usage\":{\"prompt_tokens\":19,"
                                "\"completion_tokens\":10,\"total_tokens\":29},"
                                "\"service_tier\":\"default\"}",
                            "application/json");
        } else {
            std::string translations;
            for (const std::string& text : Strings(req.body, "text"))
                translations += (translations.empty() ? "" : ",") +
                                std::string("{\"detected_source_language\":\"EN\",\"text\":\"") +
                                Escape(TranslationOf(text)) + "\"}";
            res.set_content("{\"translations\":[" + translations + "]}", "application/json");
        }
    }

    std::mutex mutex_;
    std::map<std::string, std::string> canned_;
    std::deque<int> failures_;
    std::chrono::milliseconds pause_{0};
    std::vector<Hit> hits_;
    // Last, so that it stops before what its handlers use goes.
    TestServer server_;
};

} // namespace tamix::test
