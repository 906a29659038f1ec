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

    // The term's entry, numbered in the order first met. A term not ranked (one holding a
    // marker) is kept only for where it stands in the texts.
    std::uint32_t Add(std::string_view term, std::uint32_t weight, bool ranked = true) {
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
                                    static_cast<std::uint32_t>(term.size()), weight, hash, ranked});
                bytes_.append(term);
                return static_cast<std::uint32_t>(entries_.size() - 1);
            }
            Entry& e = entries_[index];
            if (e.hash == hash && Term(e) == term) {
                e.f2 += weight;
                return static_cast<std::uint32_t>(index);
            }
        }
    }

    // Each ranked term once, in the order first met.
    template <typename Each> void ForEach(Each each) {
        for (const Entry& e : entries_)
            if (e.ranked) each(Term(e), e.f2);
    }

    // The entries' numbers as ForEach gives the ranked terms (0, 1 ...), the others after
    // them; and those others' texts, in that order.
    void Renumber(std::vector<std::uint32_t>& number, std::vector<std::string_view>& others) const {
        number.resize(entries_.size());
        others.clear();
        std::uint32_t ranked = 0;
        for (const Entry& e : entries_)
            ranked += e.ranked;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].ranked) {
                number[i] = static_cast<std::uint32_t>(i - others.size());
            } else {
                number[i] = ranked + static_cast<std::uint32_t>(others.size());
                others.push_back(Term(entries_[i]));
            }
        }
    }

private:
    struct Entry {
        std::uint32_t offset, length, f2;
        std::uint64_t hash;
        bool ranked;
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

// tokens, when given, gets each field's tokens as EncodedRecordTerms tells.
template <typename Each>
void ForEachRecordTerm(Tokenizer& tokenizer, std::string_view title, std::string_view abstract,
                       std::string_view authors, std::string_view mesh, std::string_view keywords,
                       Each each, std::string* tokens = nullptr) {
    thread_local TermCounter counter;
    thread_local std::vector<std::uint32_t> found, number;
    thread_local std::vector<std::string_view> others;
    counter.Clear();
    found.clear();
    std::size_t ends[kRankedFields] = {};
    bool plain = true; // no token stands with another at one place
    // Doubled weights: title 3, abstract 1, headings and keywords 1.5, authors 0.
    const std::pair<std::string_view, std::uint32_t> fields[kRankedFields] = {
        {title, 6}, {abstract, 2}, {authors, 0}, {mesh, 3}, {keywords, 3}};
    for (int field = 0; field < kRankedFields; ++field) {
        const std::uint32_t weight = fields[field].second;
        tokenizer.ForEachToken(fields[field].first, [&](std::string_view term, int flags) {
            const bool ranked = !HoldsMarker(term);
            if (!tokens) {
                if (ranked) counter.Add(term, weight);
                return;
            }
            plain = plain && flags == 0;
            found.push_back(counter.Add(term, ranked ? weight : 0, ranked));
        });
        ends[field] = found.size();
    }
    counter.ForEach(each);
    if (!tokens) return;
    tokens->clear();
    if (!plain) return;
    counter.Renumber(number, others);
    std::size_t at = 0;
    for (const std::size_t end : ends) {
        PutVarint(*tokens, end - at);
        for (; at < end; ++at)
            PutVarint(*tokens, number[found[at]]);
    }
    PutVarint(*tokens, others.size());
    for (const std::string_view other : others) {
        PutVarint(*tokens, other.size());
        *tokens += other;
    }
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
                               std::string_view mesh, std::string_view keywords,
                               std::string* tokens) {
    std::string out;
    ForEachRecordTerm(
        tokenizer, title, abstract, authors, mesh, keywords,
        [&](std::string_view term, std::uint32_t f2) {
            PutVarint(out, term.size());
            out += term;
            PutVarint(out, f2);
        },
        tokens);
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
