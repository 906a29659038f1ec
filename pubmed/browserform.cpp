#include "pubmed/browserform.h"

#include "pubmed/text.h"

#include <algorithm>
#include <array>

namespace tamix {

namespace {

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsNameChar(char c) {
    return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == ':' || c == '_' ||
           c == '.';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char ToUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Elements whose content is text to the parser: a '<' inside is not a tag.
bool IsRawTextElement(std::string_view lowerName) {
    static constexpr std::array<std::string_view, 9> kRaw = {"script",  "style",    "textarea",
                                                             "title",   "xmp",      "iframe",
                                                             "noembed", "noframes", "plaintext"};
    return std::find(kRaw.begin(), kRaw.end(), lowerName) != kRaw.end();
}

// Copies the rest of a tag after its name through its '>', leaving quoted attribute
// values alone; returns the position after the tag.
std::size_t CopyTagRest(std::string_view html, std::size_t i, std::string& out) {
    char quote = 0;
    bool afterEquals = false;
    for (; i < html.size(); ++i) {
        const char c = html[i];
        out.push_back(c);
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '>') {
            return i + 1;
        } else if (afterEquals && (c == '"' || c == '\'')) {
            quote = c;
            afterEquals = false;
        } else if (c == '=') {
            afterEquals = true;
        } else if (!IsSpace(c)) {
            afterEquals = false;
        }
    }
    return i;
}

std::size_t FindEndTag(std::string_view html, std::size_t from, std::string_view lowerName) {
    for (std::size_t at = html.find("</", from); at != std::string_view::npos;
         at = html.find("</", at + 2)) {
        if (ToLowerAscii(html.substr(at + 2, lowerName.size())) == lowerName) return at;
    }
    return html.size();
}

} // namespace

std::string ToBrowserForm(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    std::size_t i = 0;
    while (i < html.size()) {
        const std::size_t lt = html.find('<', i);
        if (lt == std::string_view::npos) {
            out.append(html.substr(i));
            break;
        }
        out.append(html.substr(i, lt - i));
        i = lt;
        if (html.substr(i, 4) == "<!--") {
            const std::size_t close = html.find("-->", i + 4);
            const std::size_t next = close == std::string_view::npos ? html.size() : close + 3;
            out.append(html.substr(i, next - i));
            i = next;
            continue;
        }
        const bool endTag = i + 1 < html.size() && html[i + 1] == '/';
        std::size_t name = i + 1 + (endTag ? 1 : 0);
        if (name >= html.size() || !IsAsciiLetter(html[name])) {
            // Not a tag ("a < b", "<!DOCTYPE", "<?xml"): copied through its '<' alone.
            out.push_back('<');
            ++i;
            continue;
        }
        out.append(html.substr(i, name - i));
        const std::size_t nameStart = name;
        for (; name < html.size() && IsNameChar(html[name]); ++name)
            out.push_back(ToUpper(html[name]));
        const std::string lowerName = ToLowerAscii(html.substr(nameStart, name - nameStart));
        i = CopyTagRest(html, name, out);
        if (!endTag && IsRawTextElement(lowerName)) {
            // Raw text runs to the element's end tag, in any case.
            const std::size_t next = FindEndTag(html, i, lowerName);
            out.append(html.substr(i, next - i));
            i = next;
        }
    }
    return out;
}

} // namespace tamix
