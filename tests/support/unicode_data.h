// Unicode's character database as the tests read it (Debian's unicode-data), to judge the
// reduction to ASCII by data that its own generator does not interpret for it.
#pragma once

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamix::test {

struct UnicodeChar {
    std::string name, category;
    std::string tag; // "<font>", "<compat>" ...; "" for a canonical decomposition
    std::vector<char32_t> parts;
};

class UnicodeData {
public:
    explicit UnicodeData(const std::string& path) {
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read " + path);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::stringstream split(line);
            for (std::string field; std::getline(split, field, ';');)
                fields.push_back(field);
            if (fields.size() < 6) continue;
            UnicodeChar c{fields[1], fields[2], "", {}};
            std::stringstream decomposition(fields[5]);
            for (std::string part; decomposition >> part;) {
                if (part[0] == '<') {
                    c.tag = part;
                } else {
                    c.parts.push_back(static_cast<char32_t>(std::stoul(part, nullptr, 16)));
                }
            }
            chars_[static_cast<char32_t>(std::stoul(fields[0], nullptr, 16))] = std::move(c);
        }
    }

    const std::map<char32_t, UnicodeChar>& All() const { return chars_; }

    // The ASCII letter that a character's canonical decomposition, followed all the way
    // down, is made of together with combining marks only (é, ṩ, ǖ); 0 for any other.
    char BaseLetter(char32_t cp) const {
        const auto it = chars_.find(cp);
        if (it == chars_.end() || !it->second.tag.empty() || it->second.parts.empty()) return 0;
        char base = 0;
        for (const char32_t part : it->second.parts) {
            const bool letter = (part >= 'a' && part <= 'z') || (part >= 'A' && part <= 'Z');
            const char inner = letter ? static_cast<char>(part) : BaseLetter(part);
            if (inner != 0 && base == 0) {
                base = inner;
            } else if (!IsMark(part)) {
                return 0;
            }
        }
        return base;
    }

    bool IsMark(char32_t cp) const {
        const auto it = chars_.find(cp);
        return it != chars_.end() && it->second.category[0] == 'M';
    }

private:
    std::map<char32_t, UnicodeChar> chars_;
};

} // namespace tamix::test
