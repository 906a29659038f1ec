#include "pubmed/addresses.h"

#include "pubmed/text.h"

#include <algorithm>
#include <cstdlib>

namespace tamix {

namespace {

std::string HostFrom(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value ? std::string(value) : std::string(kDefaultHost);
}

std::string PubmedBase() {
    return "http://" + PubmedHost() + "/m/pubmed/";
}

} // namespace

std::string PubmedHost() {
    return HostFrom(kPubmedHostVariable);
}
std::string TranslateHost() {
    return HostFrom(kTranslateHostVariable);
}

std::string MakeSearchAddress(std::string_view keywords) {
    return PubmedBase() + "?term=" + EncodeAddressText(keywords, "+");
}

std::string MakeResultPageAddress(std::string_view keywords, int page, std::string_view sort) {
    std::string address = PubmedBase() + "?term=" + EncodeAddressText(keywords, "%20") +
                          "&page=" + std::to_string(page);
    if (!sort.empty()) address += "&sort=" + EncodeAddressText(sort, "%20");
    return address;
}

std::string MakeArticleAddress(std::string_view id) {
    return PubmedBase() + EncodeAddressText(id, "%20");
}

std::string MakeTranslateAddress(std::string_view source) {
    return "http://" + TranslateHost() +
           "/public/2.0/bmt/translate?client_id=" + std::string(kClientId) +
           "&q=" + EncodeQueryValue(source) + "&from=en&to=zh";
}

} // namespace tamix

namespace tamix {

namespace {

// A query value: '+' is a space, %XX a byte; a '%' that starts no escape stays.
std::string DecodeQueryValue(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::optional<ResultPageQuery> ParseResultPageAddress(std::string_view address) {
    const std::string prefix = PubmedBase() + "?";
    if (address.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view query = address.substr(prefix.size());
    query = query.substr(0, query.find('#'));
    ResultPageQuery result;
    bool hasTerm = false;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = field.find('=');
        const std::string_view key = field.substr(0, eq);
        const std::string value =
            eq == std::string_view::npos ? "" : DecodeQueryValue(field.substr(eq + 1));
        if (key == "term" && !hasTerm) {
            result.keywords = value;
            hasTerm = true;
        } else if (key == "sort") {
            result.sort = value;
        } else if (key == "page") {
            const bool digits = !value.empty() && value.size() <= 7 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            if (digits) result.page = std::max(1, std::stoi(value));
        }
    }
    if (!hasTerm) return std::nullopt;
    return result;
}

} // namespace tamix
