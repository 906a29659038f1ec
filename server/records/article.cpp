#include "server/records/article.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tamix::server {

bool ParsePmid(const std::string& text, std::int64_t& pmid) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    const std::string digits = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    pmid = std::strtoll(digits.c_str(), nullptr, 10);
    return pmid > 0;
}

std::string TooLongPmid(std::int64_t pmid) {
    return "PMID " + std::to_string(pmid) + " has more than 8 digits";
}

int MonthNumber(const std::string& text) {
    static const char* const kNames[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.empty()) return 0;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        const int n = std::atoi(text.c_str());
        return n >= 1 && n <= 12 ? n : 0;
    }
    if (text.size() < 3) return 0;
    char lower[4] = {0};
    for (int i = 0; i < 3; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(lower, kNames[i]) == 0) return i + 1;
    return 0;
}

void ParsePubDate(Article& article) {
    const std::string& d = article.pubdate;
    std::size_t i = 0;
    auto word = [&]() {
        while (i < d.size() && (d[i] == ' ' || d[i] == '/' || d[i] == '-'))
            ++i;
        const std::size_t start = i;
        while (i < d.size() && d[i] != ' ' && d[i] != '/' && d[i] != '-')
            ++i;
        return d.substr(start, i - start);
    };
    const std::string year = word();
    if (year.size() == 4 && std::isdigit(static_cast<unsigned char>(year[0])))
        article.year = std::atoi(year.c_str());
    if (article.year == 0) return;
    article.month = MonthNumber(word());
    if (article.month == 0) return;
    const std::string day = word();
    if (!day.empty() && std::isdigit(static_cast<unsigned char>(day[0]))) {
        const int n = std::atoi(day.c_str());
        article.day = n >= 1 && n <= 31 ? n : 0;
    }
}

} // namespace tamix::server
