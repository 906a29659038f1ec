#include "server/translate/translate.h"

#include "pubmed/text.h"


#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace tamix::server {

namespace {

constexpr int kMaxTermWords = 5;
constexpr std::string_view kOpen = "\xEF\xBC\x88";  // （
constexpr std::string_view kClose = "\xEF\xBC\x89"; // ）

bool IsWordByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b >= 0x80;
}

// Numbers and abbreviations (PCR, IL-6, HbA1c) are left as written.
bool KeepsItsForm(std::string_view word) {
    int upper = 0;
    for (char c : word) {
        if (c >= '0' && c <= '9') return true;
        if (c >= 'A' && c <= 'Z') ++upper;
    }
    return upper >= 2;
}

bool EndsWith(const std::string& s, std::string_view tail) {
    return s.size() > tail.size() + 1 && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "controll" -> "control", "runn" -> "run".
std::string Undouble(std::string stem) {
    const std::size_t n = stem.size();
    if (n >= 3 && stem[n - 1] == stem[n - 2] &&
        std::string_view("aeiou").find(stem[n - 1]) == std::string_view::npos)
        stem.pop_back();
    return stem;
}

// Base forms a word may have come from, most likely first.
std::vector<std::string> BaseForms(const std::string& w) {
    std::vector<std::string> forms;
    const auto cut = [&](std::size_t n) { return w.substr(0, w.size() - n); };
    if (EndsWith(w, "ies")) forms.push_back(cut(3) + "y");
    if (EndsWith(w, "es")) forms.push_back(cut(2));
    if (EndsWith(w, "s") && !EndsWith(w, "ss") && !EndsWith(w, "us") && !EndsWith(w, "is"))
        forms.push_back(cut(1));
    if (EndsWith(w, "ied")) forms.push_back(cut(3) + "y");
    if (EndsWith(w, "ed")) {
        forms.push_back(cut(1));
        forms.push_back(cut(2));
        forms.push_back(Undouble(cut(2)));
    }
    if (EndsWith(w, "ing")) {
        forms.push_back(cut(3));
        forms.push_back(cut(3) + "e");
        forms.push_back(Undouble(cut(3)));
    }
    return forms;
}

struct Span {
    std::size_t begin, end;
};

std::vector<Span> Words(std::string_view text) {
    std::vector<Span> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!IsWordByte(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        // Hyphens and apostrophes inside a word belong to it ("follow-up", "Crohn's").
        while (end < text.size() &&
               (IsWordByte(text[end]) || ((text[end] == '-' || text[end] == '\'') &&
                                          end + 1 < text.size() && IsWordByte(text[end + 1]))))
            ++end;
        words.push_back({i, end});
        i = end;
    }
    return words;
}

class GlossaryTranslator : public Translator {
public:
    explicit GlossaryTranslator(std::shared_ptr<const Glossary> glossary)
        : glossary_(std::move(glossary)) {}
    std::optional<std::string> Translate(std::string_view english) override {
        return AnnotateTerms(*glossary_, english);
    }

private:
    std::shared_ptr<const Glossary> glossary_;
};

void AppendEscape(std::string& out, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(value >> shift) & 0xF];
}

// Reads four hex digits at json[i]; -1 when they are not there.
long Hex4(std::string_view json, std::size_t i) {
    if (i + 4 > json.size()) return -1;
    long value = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
        const int h = HexDigitValue(json[k]);
        if (h < 0) return -1;
        value = value * 16 + h;
    }
    return value;
}

} // namespace

bool Glossary::Load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0 || tab + 1 == line.size()) continue;
        terms_.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
    if (terms_.empty()) {
        error = path + ": no terms";
        return false;
    }
    return true;
}

void Glossary::Add(std::string english, std::string chinese) {
    terms_[ToLowerAscii(english)] = std::move(chinese);
}

const std::string* Glossary::Find(const std::string& lowerEnglish) const {
    const auto found = terms_.find(lowerEnglish);
    return found == terms_.end() ? nullptr : &found->second;
}

void ForEachTerm(const Glossary& glossary, std::string_view text,
                 const std::function<void(std::size_t begin, std::size_t end,
                                          const std::string& chinese)>& each) {
    const std::vector<Span> words = Words(text);
    for (std::size_t i = 0; i < words.size();) {
        const std::string* chinese = nullptr;
        int length = 0;
        for (int n = std::min<int>(kMaxTermWords, static_cast<int>(words.size() - i));
             n >= 1 && !chinese; --n) {
            if (n == 1 && KeepsItsForm(text.substr(words[i].begin, words[i].end - words[i].begin)))
                break;
            // A term's words stand one space apart.
            std::string key;
            bool joined = true;
            for (int k = 0; k < n && joined; ++k) {
                const Span& w = words[i + k];
                if (k > 0) {
                    joined =
                        text.substr(words[i + k - 1].end, w.begin - words[i + k - 1].end) == " ";
                    key += ' ';
                }
                key += ToLowerAscii(text.substr(w.begin, w.end - w.begin));
            }
            if (!joined) continue;
            chinese = glossary.Find(key);
            if (!chinese) {
                const std::size_t lastStart =
                    key.rfind(' ') == std::string::npos ? 0 : key.rfind(' ') + 1;
                for (const std::string& base : BaseForms(key.substr(lastStart))) {
                    if ((chinese = glossary.Find(key.substr(0, lastStart) + base))) break;
                }
            }
            if (chinese) length = n;
        }
        if (!chinese) {
            ++i;
            continue;
        }
        each(words[i].begin, words[i + length - 1].end, *chinese);
        i += length;
    }
}

std::string AnnotateTerms(const Glossary& glossary, std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    std::size_t copied = 0;
    ForEachTerm(glossary, text, [&](std::size_t, std::size_t end, const std::string& chinese) {
        out.append(text.substr(copied, end - copied));
        out.append(kOpen).append(chinese).append(kClose);
        // The bracket stands in for the space after the term.
        copied = end < text.size() && text[end] == ' ' ? end + 1 : end;
    });
    out.append(text.substr(copied));
    return out;
}

std::unique_ptr<Translator> MakeGlossaryTranslator(std::shared_ptr<const Glossary> glossary) {
    return std::make_unique<GlossaryTranslator>(std::move(glossary));
}

std::string EscapeEveryCharacter(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 6);
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        if (!DecodeUtf8(utf8, i, cp)) cp = 0xFFFD;
        if (cp >= 0x10000) {
            AppendEscape(out, 0xD800 + ((cp - 0x10000) >> 10));
            AppendEscape(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            AppendEscape(out, cp);
        }
    }
    return out;
}

std::string TranslationJson(std::string_view translation, std::string_view source) {
    return "{\"from\":\"en\",\"to\":\"zh\",\"trans_result\":[{\"dst\":\"" +
           EscapeEveryCharacter(translation) + "\",\"src\":\"" + JsonEscape(source) + "\"}]}";
}

std::string ErrorJson(std::string_view code, std::string_view message) {
    // Codes and messages are the server's own ASCII words, so no escape can appear.
    return "{\"error_code\":\"" + std::string(code) + "\",\"error_msg\":\"" + std::string(message) +
           "\"}";
}

namespace {

void SkipSpace(std::string_view json, std::size_t& i) {
    while (i < json.size() &&
           (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r'))
        ++i;
}

// The string that starts at json[i] (a quote), unescaped; i moves past it.
std::optional<std::string> ReadString(std::string_view json, std::size_t& i) {
    if (i >= json.size() || json[i] != '"') return std::nullopt;
    std::string value;
    for (++i; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            ++i;
            return value;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i >= json.size()) return std::nullopt;
        switch (json[i]) {
        case '"':
            value += '"';
            break;
        case '\\':
            value += '\\';
            break;
        case '/':
            value += '/';
            break;
        case 'b':
            value += '\b';
            break;
        case 'f':
            value += '\f';
            break;
        case 'n':
            value += '\n';
            break;
        case 'r':
            value += '\r';
            break;
        case 't':
            value += '\t';
            break;
        case 'u': {
            long unit = Hex4(json, i + 1);
            if (unit < 0) return std::nullopt;
            i += 4;
            char32_t cp = static_cast<char32_t>(unit);
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < json.size() && json[i + 1] == '\\' &&
                json[i + 2] == 'u') {
                const long low = Hex4(json, i + 3);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
            }
            AppendUtf8(value, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Moves i past the value that starts there; false when it does not read. Nesting deeper
// than a service's answer has is refused.
bool SkipValue(std::string_view json, std::size_t& i, int depth) {
    SkipSpace(json, i);
    if (i >= json.size() || depth > 64) return false;
    const char c = json[i];
    if (c == '"') return ReadString(json, i).has_value();
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++i;
        SkipSpace(json, i);
        if (i < json.size() && json[i] == close) {
            ++i;
            return true;
        }
        while (true) {
            if (c == '{') {
                SkipSpace(json, i);
                if (!ReadString(json, i)) return false;
                SkipSpace(json, i);
                if (i >= json.size() || json[i++] != ':') return false;
            }
            if (!SkipValue(json, i, depth + 1)) return false;
            SkipSpace(json, i);
            if (i >= json.size()) return false;
            if (json[i] == close) {
                ++i;
                return true;
            }
            if (json[i++] != ',') return false;
        }
    }
    // Numbers, true, false, null: their characters.
    const std::size_t start = i;
    while (i < json.size() && std::string_view("0123456789+-.eEtrufalsn").find(json[i]) !=
                                  std::string_view::npos)
        ++i;
    return i > start;
}

// Moves i to the value of key in the object at i, or of item n in the array at i.
bool Enter(std::string_view json, std::size_t& i, const JsonStep& step) {
    SkipSpace(json, i);
    if (i >= json.size()) return false;
    if (step.key) {
        if (json[i] != '{') return false;
        ++i;
        while (true) {
            SkipSpace(json, i);
            if (i < json.size() && json[i] == '}') return false;
            const std::optional<std::string> name = ReadString(json, i);
            if (!name) return false;
            SkipSpace(json, i);
            if (i >= json.size() || json[i++] != ':') return false;
            if (*name == step.key) return true;
            if (!SkipValue(json, i, 1)) return false;
            SkipSpace(json, i);
            if (i >= json.size() || json[i++] != ',') return false;
        }
    }
    if (json[i] != '[') return false;
    ++i;
    for (int n = 0;; ++n) {
        SkipSpace(json, i);
        if (i >= json.size() || json[i] == ']') return false;
        if (n == step.index) return true;
        if (!SkipValue(json, i, 1)) return false;
        SkipSpace(json, i);
        if (i >= json.size() || json[i++] != ',') return false;
    }
}

} // namespace

std::optional<std::string> JsonStringField(std::string_view json, std::string_view key) {
    const std::string quoted = "\"" + std::string(key) + "\"";
    std::size_t i = json.find(quoted);
    if (i == std::string_view::npos) return std::nullopt;
    i += quoted.size();
    SkipSpace(json, i);
    if (i >= json.size() || json[i] != ':') return std::nullopt;
    ++i;
    SkipSpace(json, i);
    return ReadString(json, i);
}

std::optional<std::string> JsonPath(std::string_view json, std::initializer_list<JsonStep> path) {
    std::size_t i = 0;
    for (const JsonStep& step : path)
        if (!Enter(json, i, step)) return std::nullopt;
    SkipSpace(json, i);
    return ReadString(json, i);
}

} // namespace tamix::server
