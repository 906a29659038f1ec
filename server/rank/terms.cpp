#include "server/rank/terms.h"

#include "server/rank/postings.h"

#include <algorithm>
#include <cstring>

namespace tamix::server {

namespace {

// The index's markers, U+E000..U+E00F, start with these bytes in UTF-8.
bool HoldsMarker(std::string_view term) {
    for (std::size_t at = term.find("\xEE\x80"); at != std::string_view::npos;
         at = term.find("\xEE\x80", at + 1))
        if (at + 2 < term.size() && (static_cast<unsigned char>(term[at + 2]) & 0xF0) == 0x80)
            return true;
    return false;
}

// A record's terms counted in one buffer and an open-addressed table: a record has some
// hundreds of words and a hundred distinct terms, and a map of strings made the counting
// cost four times the tokenizing. One a thread, reused record after record.
class TermCounter {
public:
    void Clear() {
        bytes_.clear();
        entries_.clear();
        std::fill(slots_.begin(), slots_.end(), -1);
    }

    void Add(std::string_view term, std::uint32_t weight) {
        if (slots_.size() < 2 * (entries_.size() + 1)) Grow();
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : term)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const int index = slots_[slot];
            if (index < 0) {
                slots_[slot] = static_cast<int>(entries_.size());
                entries_.push_back({static_cast<std::uint32_t>(bytes_.size()),
                                    static_cast<std::uint32_t>(term.size()), weight, hash});
                bytes_.append(term);
                return;
            }
            Entry& e = entries_[index];
            if (e.hash == hash && Term(e) == term) {
                e.f2 += weight;
                return;
            }
        }
    }

    // Each term once, in the order first met.
    template <typename Each> void ForEach(Each each) {
        for (const Entry& e : entries_)
            each(Term(e), e.f2);
    }

private:
    struct Entry {
        std::uint32_t offset, length, f2;
        std::uint64_t hash;
    };
    std::string_view Term(const Entry& e) const {
        return std::string_view(bytes_).substr(e.offset, e.length);
    }
    void Grow() {
        slots_.assign(std::max<std::size_t>(256, slots_.size() * 2), -1);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            std::size_t slot = entries_[i].hash & mask;
            while (slots_[slot] >= 0)
                slot = (slot + 1) & mask;
            slots_[slot] = static_cast<int>(i);
        }
    }

    std::string bytes_;
    std::vector<Entry> entries_;
    std::vector<int> slots_;
};

template <typename Each>
void ForEachRecordTerm(Tokenizer& tokenizer, std::string_view title, std::string_view abstract,
                       std::string_view authors, std::string_view mesh, std::string_view keywords,
                       Each each) {
    thread_local TermCounter counter;
    counter.Clear();
    // Doubled weights: title 3, abstract 1, headings and keywords 1.5, authors 0.
    const std::pair<std::string_view, std::uint32_t> fields[] = {
        {title, 6}, {abstract, 2}, {authors, 0}, {mesh, 3}, {keywords, 3}};
    for (const auto& [text, weight] : fields) {
        tokenizer.ForEachTerm(text, [&, weight = weight](std::string_view term) {
            if (!HoldsMarker(term)) counter.Add(term, weight);
        });
    }
    counter.ForEach(each);
}

} // namespace

std::vector<TermFrequency> RecordTerms(Tokenizer& tokenizer, std::string_view title,
                                       std::string_view abstract, std::string_view authors,
                                       std::string_view mesh, std::string_view keywords) {
    std::vector<TermFrequency> terms;
    ForEachRecordTerm(tokenizer, title, abstract, authors, mesh, keywords,
                      [&](std::string_view term, std::uint32_t f2) {
                          terms.push_back({std::string(term), f2});
                      });
    return terms;
}

std::string EncodedRecordTerms(Tokenizer& tokenizer, std::string_view title,
                               std::string_view abstract, std::string_view authors,
                               std::string_view mesh, std::string_view keywords) {
    std::string out;
    ForEachRecordTerm(tokenizer, title, abstract, authors, mesh, keywords,
                      [&](std::string_view term, std::uint32_t f2) {
                          PutVarint(out, term.size());
                          out += term;
                          PutVarint(out, f2);
                      });
    return out;
}

std::string EncodeTerms(const std::vector<TermFrequency>& terms) {
    std::string out;
    for (const TermFrequency& t : terms) {
        PutVarint(out, t.term.size());
        out += t.term;
        PutVarint(out, t.f2);
    }
    return out;
}

} // namespace tamix::server
