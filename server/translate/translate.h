// The translation endpoint's engines and its JSON. The default engine is a term
// glossary, not machine translation: the English text stays, and each term the glossary
// knows is followed by its Chinese rendering in full-width brackets.
#pragma once

#include <functional>
#include <memory>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tamix::server {

inline constexpr std::string_view kTranslateClientId = "Qx7TmWb2PaLk9RcVz4NsJd6E";

class Glossary {
public:
    // Reads "english<TAB>chinese" lines ('#' starts a comment); false with a message
    // when the file cannot be read or holds no term.
    bool Load(const std::string& path, std::string& error);
    void Add(std::string english, std::string chinese);
    const std::string* Find(const std::string& lowerEnglish) const;
    std::size_t Size() const { return terms_.size(); }

private:
    std::unordered_map<std::string, std::string> terms_;
};

// "Heart failure is a common disease" -> "Heart failure（心力衰竭）is a common
// disease（疾病）". Longest runs of up to five words win; plurals and -ed/-ing forms are
// found from their base form; numbers and abbreviations (PCR, IL-6) stay as they are.
std::string AnnotateTerms(const Glossary& glossary, std::string_view text);
// Each term AnnotateTerms finds: where it stands in the text, and its rendering.
void ForEachTerm(const Glossary& glossary, std::string_view text,
                 const std::function<void(std::size_t begin, std::size_t end,
                                          const std::string& chinese)>& each);

class Translator {
public:
    virtual ~Translator() = default;
    // The translation, or nothing when the engine failed.
    virtual std::optional<std::string> Translate(std::string_view english) = 0;
};

std::unique_ptr<Translator> MakeGlossaryTranslator(std::shared_ptr<const Glossary> glossary);

// Every character as \uXXXX, surrogate pairs above U+FFFF, so that a client reading
// escapes gets the whole text; bytes that are not UTF-8 become U+FFFD.
std::string EscapeEveryCharacter(std::string_view utf8);
// {"from":"en","to":"zh","trans_result":[{"dst":"\u....","src":"..."}]}: the translation
// stands before any other "\u" of the response.
std::string TranslationJson(std::string_view translation, std::string_view source);
// An error carries no "\u".
std::string ErrorJson(std::string_view code, std::string_view message);
// The string value of a top-level key of a JSON object, unescaped; nothing when absent.
std::optional<std::string> JsonStringField(std::string_view json, std::string_view key);

// A step into a JSON document: a key of an object, or an item of an array.
struct JsonStep {
    JsonStep(const char* name) : key(name) {}
    JsonStep(int n) : index(n) {}
    const char* key = nullptr;
    int index = 0;
};
// The string at a path of a JSON document ({"choices", 0, "message", "content"}),
// unescaped; nothing when the path is not there, holds no string, or does not read.
std::optional<std::string> JsonPath(std::string_view json, std::initializer_list<JsonStep> path);

} // namespace tamix::server
