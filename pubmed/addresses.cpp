#include "pubmed/addresses.h"

#include "pubmed/text.h"

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

std::string MakeResultPageAddress(std::string_view keywords, int page) {
    return PubmedBase() + "?term=" + EncodeAddressText(keywords, "%20") +
           "&page=" + std::to_string(page);
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
