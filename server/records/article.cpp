#include "server/records/article.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tamix::server {

std::string Author::DisplayName() const {
    if (lastName.empty()) return collectiveName;
    const std::string& given = initials.empty() ? foreName : initials;
    return given.empty() ? lastName : lastName + ' ' + given;
}

bool Author::operator==(const Author& o) const {
    return lastName == o.lastName && foreName == o.foreName && initials == o.initials &&
           suffix == o.suffix && collectiveName == o.collectiveName &&
           affiliations == o.affiliations;
}

std::string AuthorsDisplay(const std::vector<Author>& authors) {
    std::string out;
    for (const Author& author : authors) {
        const std::string name = author.DisplayName();
        if (name.empty()) continue;
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

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

const char* MonthName(int month) {
    static const char* const kNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return month >= 1 && month <= 12 ? kNames[month - 1] : "";
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
