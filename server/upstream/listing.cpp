#include "server/upstream/listing.h"

#include "pubmed/text.h"

#include <algorithm>
#include <set>

namespace tamix::upstream {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHex(char c) {
    return HexDigitValue(c) >= 0;
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// 32 hex digits, lower-cased; empty when text is not exactly that.
std::string Digest(std::string_view text) {
    if (text.size() != 32 || !std::all_of(text.begin(), text.end(), IsHex)) return {};
    std::string digest(text);
    for (char& c : digest)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return digest;
}

} // namespace

bool ParsePubmedFileName(std::string_view name, PubmedFile& file) {
    constexpr std::string_view kPrefix = "pubmed", kSuffix = ".xml.gz";
    if (name.size() < kPrefix.size() + 3 + 4 + kSuffix.size()) return false;
    if (name.substr(0, kPrefix.size()) != kPrefix) return false;
    if (name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
    const std::string_view middle =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    // "26n0001"
    if (middle.size() < 7 || middle.size() > 11 || !IsDigit(middle[0]) || !IsDigit(middle[1]) ||
        middle[2] != 'n')
        return false;
    const std::string_view digits = middle.substr(3);
    if (!std::all_of(digits.begin(), digits.end(), IsDigit)) return false;
    // Four digits, zero-padded, or more without padding: one name a number, as NLM writes
    // them, so that no plan holds a file twice under two names.
    if (digits.size() > 4 && digits[0] == '0') return false;
    file.name = std::string(name);
    file.year = (middle[0] - '0') * 10 + (middle[1] - '0');
    file.number = std::stoi(std::string(digits));
    return true;
}

std::vector<PubmedFile> ParseListing(std::string_view html, bool update) {
    std::vector<PubmedFile> files;
    std::set<std::string> seen;
    constexpr std::string_view kHref = "href=";
    for (std::size_t at = html.find(kHref); at != std::string_view::npos;
         at = html.find(kHref, at + kHref.size())) {
        std::size_t begin = at + kHref.size();
        if (begin >= html.size()) break;
        const char quote = html[begin];
        std::size_t end;
        if (quote == '"' || quote == '\'') {
            ++begin;
            end = html.find(quote, begin);
        } else {
            end = html.find_first_of(" \t\r\n>", begin);
        }
        if (end == std::string_view::npos) break;
        std::string_view link = html.substr(begin, end - begin);
        link = link.substr(0, link.find_first_of("?#"));
        const auto slash = link.rfind('/');
        if (slash != std::string_view::npos) link = link.substr(slash + 1);
        PubmedFile file;
        if (!ParsePubmedFileName(link, file) || !seen.insert(file.name).second) continue;
        file.update = update;
        files.push_back(std::move(file));
    }
    return files;
}

std::string ParseMd5File(std::string_view text, std::string_view name) {
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = Trim(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        // NLM: "MD5(pubmed26n0001.xml.gz)= 0123..."
        if (line.substr(0, 4) == "MD5(") {
            const auto close = line.find(")=");
            if (close == std::string_view::npos || line.substr(4, close - 4) != name) continue;
            const std::string digest = Digest(Trim(line.substr(close + 2)));
            if (!digest.empty()) return digest;
            continue;
        }
        // md5sum: "0123...  pubmed26n0001.xml.gz", or " *name" in binary mode.
        if (line.size() > 33 && (line[32] == ' ' || line[32] == '\t')) {
            std::string_view rest = Trim(line.substr(33));
            if (!rest.empty() && rest[0] == '*') rest.remove_prefix(1);
            if (rest == name) {
                const std::string digest = Digest(line.substr(0, 32));
                if (!digest.empty()) return digest;
            }
        }
    }
    return {};
}

MirrorPlan PlanImports(const std::vector<PubmedFile>& baseline,
                       const std::vector<PubmedFile>& updates,
                       const std::vector<std::string>& imported) {
    MirrorPlan plan;
    const std::set<std::string> done(imported.begin(), imported.end());
    for (const std::string& name : imported) {
        PubmedFile file;
        if (ParsePubmedFileName(name, file)) plan.year = std::max(plan.year, file.year);
    }
    if (plan.year == 0)
        for (const PubmedFile& file : baseline)
            plan.year = std::max(plan.year, file.year);
    if (plan.year == 0) return plan;

    std::set<std::string> planned;
    std::vector<PubmedFile> base, later;
    for (const auto* listing : {&baseline, &updates}) {
        for (const PubmedFile& file : *listing) {
            if (file.year > plan.year) {
                plan.newerYear = std::max(plan.newerYear, file.year);
            } else if (file.year < plan.year) {
                ++plan.olderFiles;
            } else if (!done.count(file.name) && planned.insert(file.name).second) {
                (file.update ? later : base).push_back(file);
            }
        }
    }
    const auto byNumber = [](const PubmedFile& a, const PubmedFile& b) {
        return a.number < b.number;
    };
    std::sort(base.begin(), base.end(), byNumber);
    std::sort(later.begin(), later.end(), byNumber);
    plan.files = std::move(base);
    plan.files.insert(plan.files.end(), later.begin(), later.end());
    return plan;
}

} // namespace tamix::upstream
