#include "server/index/details.h"

#include <map>

namespace tamix::server {

namespace {

// Bumped with any change of the layout below (which also raises kSchemaVersion).
constexpr unsigned kLayout = 1;

class Writer {
public:
    void Number(std::uint64_t n) {
        while (n >= 0x80) {
            out_.push_back(static_cast<char>((n & 0x7F) | 0x80));
            n >>= 7;
        }
        out_.push_back(static_cast<char>(n));
    }
    void Text(const std::string& text) {
        Number(text.size());
        out_ += text;
    }
    void Texts(const std::vector<std::string>& texts) {
        Number(texts.size());
        for (const std::string& text : texts)
            Text(text);
    }
    std::string Take() { return std::move(out_); }

private:
    std::string out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool Number(std::uint64_t& n) {
        n = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (in_.empty()) return false;
            const auto b = static_cast<unsigned char>(in_[0]);
            in_.remove_prefix(1);
            n |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (b < 0x80) return true;
        }
        return false;
    }
    bool Small(int& n, std::uint64_t limit) {
        std::uint64_t value = 0;
        if (!Number(value) || value > limit) return false;
        n = static_cast<int>(value);
        return true;
    }
    bool Text(std::string& text) {
        std::uint64_t size = 0;
        if (!Number(size) || size > in_.size()) return false;
        text.assign(in_.substr(0, size));
        in_.remove_prefix(size);
        return true;
    }
    // A count of items that each take at least one byte: never more than remain.
    bool Count(std::size_t& n) {
        std::uint64_t value = 0;
        if (!Number(value) || value > in_.size()) return false;
        n = static_cast<std::size_t>(value);
        return true;
    }
    bool Texts(std::vector<std::string>& texts) {
        std::size_t n = 0;
        if (!Count(n)) return false;
        texts.resize(n);
        for (std::string& text : texts)
            if (!Text(text)) return false;
        return true;
    }
    bool AtEnd() const { return in_.empty(); }

private:
    std::string_view in_;
};

} // namespace

std::string EncodeDetails(const Article& a) {
    Writer w;
    w.Number(kLayout);
    w.Number(static_cast<std::uint64_t>(a.year));
    w.Number(static_cast<std::uint64_t>(a.month));
    w.Number(static_cast<std::uint64_t>(a.day));
    w.Number(static_cast<std::uint64_t>(a.electronicYear));
    w.Number(static_cast<std::uint64_t>(a.electronicMonth));
    w.Number(static_cast<std::uint64_t>(a.electronicDay));
    for (const std::string* text : {&a.journalTitle, &a.isoAbbreviation, &a.medlineTa, &a.issnPrint,
                                    &a.issnElectronic, &a.volume, &a.issue, &a.pages})
        w.Text(*text);
    w.Texts(a.languages);
    w.Texts(a.publicationTypes);
    w.Texts(a.keywords);
    w.Number(a.mesh.size());
    for (const MeshHeading& heading : a.mesh) {
        w.Text(heading.descriptor);
        w.Number(heading.major ? 1 : 0);
        w.Number(heading.qualifiers.size());
        for (const MeshQualifier& q : heading.qualifiers) {
            w.Text(q.name);
            w.Number(q.major ? 1 : 0);
        }
    }
    // Co-authors often share an affiliation word for word: each is written once.
    std::vector<std::string> affiliations;
    std::map<std::string, std::size_t> numbers;
    for (const Author& author : a.authorList)
        for (const std::string& affiliation : author.affiliations)
            if (numbers.emplace(affiliation, affiliations.size()).second)
                affiliations.push_back(affiliation);
    w.Texts(affiliations);
    w.Number(a.authorList.size());
    for (const Author& author : a.authorList) {
        for (const std::string* text : {&author.lastName, &author.foreName, &author.initials,
                                        &author.suffix, &author.collectiveName})
            w.Text(*text);
        w.Number(author.affiliations.size());
        for (const std::string& affiliation : author.affiliations)
            w.Number(numbers[affiliation]);
    }
    return w.Take();
}

bool DecodeDetails(std::string_view bytes, Article& a) {
    Reader r(bytes);
    std::uint64_t layout = 0;
    if (!r.Number(layout) || layout != kLayout) return false;
    if (!r.Small(a.year, 9999) || !r.Small(a.month, 12) || !r.Small(a.day, 31) ||
        !r.Small(a.electronicYear, 9999) || !r.Small(a.electronicMonth, 12) ||
        !r.Small(a.electronicDay, 31))
        return false;
    for (std::string* text : {&a.journalTitle, &a.isoAbbreviation, &a.medlineTa, &a.issnPrint,
                              &a.issnElectronic, &a.volume, &a.issue, &a.pages})
        if (!r.Text(*text)) return false;
    if (!r.Texts(a.languages) || !r.Texts(a.publicationTypes) || !r.Texts(a.keywords)) return false;
    std::size_t headings = 0;
    if (!r.Count(headings)) return false;
    a.mesh.resize(headings);
    for (MeshHeading& heading : a.mesh) {
        int major = 0;
        std::size_t qualifiers = 0;
        if (!r.Text(heading.descriptor) || !r.Small(major, 1) || !r.Count(qualifiers)) return false;
        heading.major = major != 0;
        heading.qualifiers.resize(qualifiers);
        for (MeshQualifier& q : heading.qualifiers) {
            if (!r.Text(q.name) || !r.Small(major, 1)) return false;
            q.major = major != 0;
        }
    }
    std::vector<std::string> affiliations;
    std::size_t authors = 0;
    if (!r.Texts(affiliations) || !r.Count(authors)) return false;
    a.authorList.resize(authors);
    for (Author& author : a.authorList) {
        for (std::string* text : {&author.lastName, &author.foreName, &author.initials,
                                  &author.suffix, &author.collectiveName})
            if (!r.Text(*text)) return false;
        std::size_t count = 0;
        if (!r.Count(count)) return false;
        author.affiliations.resize(count);
        for (std::string& affiliation : author.affiliations) {
            std::uint64_t number = 0;
            if (!r.Number(number) || number >= affiliations.size()) return false;
            affiliation = affiliations[number];
        }
    }
    return r.AtEnd();
}

} // namespace tamix::server
