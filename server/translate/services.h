// Machine translation services behind the translation endpoint, the user's choice of
// option: a LibreTranslate-compatible service, an OpenAI-compatible chat service (hosted
// services, llama.cpp's server, Ollama, vLLM) and DeepL. The glossary's terms found in a
// text go with it, a long text goes in pieces cut at sentence ends, an answer that loses
// or changes a number of the text is withheld, and every answer is kept in a cache file,
// so that a text goes to a service once.
#pragma once

#include "server/translate/translate.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamix::server {

struct TranslationService {
    enum Kind { LibreTranslate, Chat, DeepL };
    Kind kind = LibreTranslate;
    std::string base;  // "https://HOST/v1" (chat), "https://api.deepl.com" (DeepL)
    std::string model; // the chat service's model
    std::string key;   // sent as the service asks; never written anywhere
    // Where answers are kept ("" for nowhere).
    std::string cache;
    // How long a translation may take in all, retries included.
    int seconds = 10;
};

// "URL" (LibreTranslate), "openai:URL", "deepl:URL": "" when it reads, else why not.
std::string ParseTranslationService(const std::string& spec, TranslationService& service);
// A name for messages and the cache: "deepl", "openai:MODEL", "libretranslate".
std::string ServiceName(const TranslationService& service);

// log receives a line for each answer withheld or service that failed (never the key or
// the text).
std::unique_ptr<Translator> MakeServiceTranslator(const TranslationService& service,
                                                  std::shared_ptr<const Glossary> glossary,
                                                  std::function<void(const std::string&)> log);

// The text in pieces of at most limit bytes, cut after a sentence's end (". ", "? ", "! ")
// where one falls within the limit, else at a space, else anywhere (between characters).
std::vector<std::string> SplitSentences(std::string_view text, std::size_t limit);
// The numbers of a text as written ("5", "71.2", "12" of "12%"), each once, thousands'
// commas left out and full-width digits read as digits.
std::vector<std::string> NumbersIn(std::string_view text);
// The numbers of the source that the translation does not hold.
std::vector<std::string> MissingNumbers(std::string_view source, std::string_view translation);
// The glossary's terms in the text and their renderings, longest first, each once.
std::vector<std::pair<std::string, std::string>> GlossaryTerms(const Glossary& glossary,
                                                                std::string_view text);

} // namespace tamix::server
