#include "server/gateway/requests.h"

#include "pubmed/text.h"

#include <expat.h>

#include <memory>

namespace tamix::gateway {

namespace {

void AddParameter(std::string& address, const char* name, const std::string& value) {
    if (value.empty()) return;
    address += '&';
    address += name;
    address += '=';
    address += EncodeQueryValue(value, "+");
}

// Who is asking, as NCBI wants every request to say.
void AddIdentity(std::string& address, const EutilsOptions& options) {
    AddParameter(address, "tool", options.tool);
    AddParameter(address, "email", options.email);
    AddParameter(address, "api_key", options.apiKey);
}

struct SearchReader {
    SearchAnswer* answer = nullptr;
    std::vector<std::string> path; // open elements, root first
    std::string text;
    bool sawRoot = false, sawCount = false;
    std::vector<std::string> notFound, errors, warnings;
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char**) {
    auto& r = *static_cast<SearchReader*>(data);
    if (r.path.empty()) r.sawRoot = std::string(name) == "eSearchResult";
    r.path.emplace_back(name);
    r.text.clear();
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
    static_cast<SearchReader*>(data)->text.append(text, static_cast<std::size_t>(length));
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void XMLCALL OnEnd(void* data, const XML_Char* name) {
    auto& r = *static_cast<SearchReader*>(data);
    const std::string element = name;
    const std::size_t depth = r.path.size();
    const std::string parent = depth >= 2 ? r.path[depth - 2] : std::string();
    const std::string value = Trimmed(r.text);
    // Count and IdList sit right under the root; the translation stack has counts of its own.
    if (depth == 2 && element == "Count") {
        r.sawCount = !value.empty() && value.size() <= 12 &&
                     value.find_first_not_of("0123456789") == std::string::npos;
        if (r.sawCount) {
            const long long count = std::stoll(value);
            r.answer->count = count > 2000000000 ? 2000000000 : static_cast<int>(count);
        }
    } else if (depth == 3 && parent == "IdList" && element == "Id") {
        if (!value.empty() && value.size() <= 18 &&
            value.find_first_not_of("0123456789") == std::string::npos)
            r.answer->ids.push_back(std::stoll(value));
    } else if (depth == 2 && element == "ERROR") {
        r.errors.push_back(value);
    } else if (parent == "ErrorList" && !value.empty()) {
        // PhraseNotFound, FieldNotFound, QuotedPhraseNotFound...
        r.notFound.push_back(value);
    } else if (parent == "WarningList" && !value.empty()) {
        r.warnings.push_back(value);
    }
    r.path.pop_back();
    r.text.clear();
}

std::string Joined(const std::vector<std::string>& parts, const char* between) {
    std::string out;
    for (const std::string& part : parts)
        out += (out.empty() ? "" : between) + part;
    return out;
}

} // namespace

std::string SearchAddress(const EutilsOptions& options, const std::string& term,
                          const std::string& sort, int retstart, int retmax) {
    std::string address = options.base + "esearch.fcgi?db=pubmed";
    AddParameter(address, "term", term);
    address += "&retstart=" + std::to_string(retstart) + "&retmax=" + std::to_string(retmax);
    AddParameter(address, "sort", sort);
    address += "&retmode=xml";
    AddIdentity(address, options);
    return address;
}

std::string FetchAddress(const EutilsOptions& options, const std::vector<std::int64_t>& ids) {
    std::string list;
    for (const std::int64_t id : ids)
        list += (list.empty() ? "" : ",") + std::to_string(id);
    // NCBI's own examples write the list with plain commas.
    std::string address = options.base + "efetch.fcgi?db=pubmed&id=" + list + "&retmode=xml";
    AddIdentity(address, options);
    return address;
}

std::string LoggedAddress(std::string address) {
    const std::string marker = "api_key=";
    for (std::size_t at = address.find(marker); at != std::string::npos;
         at = address.find(marker, at + 1)) {
        if (at > 0 && address[at - 1] != '&' && address[at - 1] != '?') continue;
        const std::size_t start = at + marker.size();
        const std::size_t end = address.find('&', start);
        address.replace(start, end == std::string::npos ? std::string::npos : end - start,
                        "(hidden)");
    }
    return address;
}

bool ParseSearchAnswer(std::string_view xml, SearchAnswer& answer, std::string& why) {
    answer = SearchAnswer{};
    SearchReader reader;
    reader.answer = &answer;
    const std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate("UTF-8"),
                                                                         XML_ParserFree);
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser.get(), OnText);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK) {
        why = std::string("esearch's answer is not XML: ") +
              XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
              std::to_string(XML_GetCurrentLineNumber(parser.get()));
        return false;
    }
    if (!reader.sawRoot) {
        why = "esearch's answer is not an eSearchResult";
        return false;
    }
    if (!reader.errors.empty()) {
        answer.rejected = true;
        answer.message = "PubMed could not search for this: " + Joined(reader.errors, "; ");
    } else if (!reader.notFound.empty()) {
        answer.rejected = true;
        answer.message = "PubMed did not find: " + Joined(reader.notFound, ", ");
    } else if (!reader.sawCount) {
        why = "esearch's answer holds no count";
        return false;
    }
    if (!reader.warnings.empty())
        answer.message += (answer.message.empty() ? "" : ". ") + Joined(reader.warnings, " ");
    if (answer.rejected) {
        answer.count = 0;
        answer.ids.clear();
    }
    return true;
}

} // namespace tamix::gateway
