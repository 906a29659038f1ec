// The mirror's reading of NLM's download area: the Apache index pages, the .md5 files and
// the plan of imports made from them. The input is up to four parts split by NUL bytes:
// the baseline/ page, the updatefiles/ page, an .md5 file, and the names already
// imported, one a line.
#include "check.h"

#include "server/upstream/listing.h"

#include <set>
#include <vector>

using namespace tamix;
using upstream::PubmedFile;

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// pubmedYYnNNNN.xml.gz, four digits of number or more without a leading zero (at most
// nine: NLM's run to four), read without the parser.
bool IsPubmedFileName(std::string_view name, int& year, long& number) {
    constexpr std::string_view kPrefix = "pubmed", kSuffix = ".xml.gz";
    if (name.size() < kPrefix.size() + 7 + kSuffix.size()) return false;
    if (name.substr(0, kPrefix.size()) != kPrefix ||
        name.substr(name.size() - kSuffix.size()) != kSuffix)
        return false;
    const std::string_view middle =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    if (!IsDigit(middle[0]) || !IsDigit(middle[1]) || middle[2] != 'n') return false;
    if (middle.size() > 3 + 9 || (middle.size() > 3 + 4 && middle[3] == '0')) return false;
    year = (middle[0] - '0') * 10 + (middle[1] - '0');
    number = 0;
    for (char c : middle.substr(3)) {
        if (!IsDigit(c)) return false;
        number = number * 10 + (c - '0');
    }
    return middle.size() >= 7;
}

void CheckListing(std::string_view html, bool update, const std::vector<PubmedFile>& files) {
    std::set<std::string> names;
    for (const PubmedFile& file : files) {
        int year = 0;
        long number = 0;
        FUZZ_CHECK(IsPubmedFileName(file.name, year, number));
        FUZZ_CHECK(file.year == year && file.number == number && file.update == update);
        FUZZ_CHECK(names.insert(file.name).second);
        FUZZ_CHECK(html.find(file.name) != std::string_view::npos);
    }
    // The names as links of a page of our own read back the same, in the same order.
    std::string page = "<html><body><pre>\n";
    for (const PubmedFile& file : files)
        page += "<a href=\"" + file.name + "\">" + file.name + "</a>\n";
    const auto again = upstream::ParseListing(page + "</pre></body></html>\n", update);
    FUZZ_CHECK(again.size() == files.size());
    for (std::size_t i = 0; i < again.size() && i < files.size(); ++i)
        FUZZ_CHECK(again[i].name == files[i].name);
}

bool IsDigest(const std::string& digest) {
    if (digest.size() != 32) return false;
    for (char c : digest)
        if (!IsDigit(c) && !(c >= 'a' && c <= 'f')) return false;
    return true;
}

// For a file's name, as the mirror asks.
void CheckMd5(std::string_view text, const std::string& name) {
    int year = 0;
    long number = 0;
    if (!IsPubmedFileName(name, year, number)) return;
    const std::string digest = upstream::ParseMd5File(text, name);
    if (digest.empty()) return;
    FUZZ_CHECK(IsDigest(digest));
    FUZZ_CHECK(ToLowerAscii(text).find(digest) != std::string::npos);
    FUZZ_CHECK(text.find(name) != std::string_view::npos);
    // Both forms of the line give it back.
    FUZZ_CHECK(upstream::ParseMd5File("MD5(" + name + ")= " + digest + "\n", name) == digest);
    FUZZ_CHECK(upstream::ParseMd5File(digest + "  " + name + "\n", name) == digest);
}

void CheckPlan(const std::vector<PubmedFile>& baseline, const std::vector<PubmedFile>& updates,
               const std::vector<std::string>& imported) {
    const upstream::MirrorPlan plan = upstream::PlanImports(baseline, updates, imported);
    const std::set<std::string> done(imported.begin(), imported.end());
    int importedYear = 0, listedYear = 0;
    for (const std::string& name : imported) {
        PubmedFile file;
        if (upstream::ParsePubmedFileName(name, file))
            importedYear = std::max(importedYear, file.year);
    }
    for (const PubmedFile& file : baseline)
        listedYear = std::max(listedYear, file.year);
    FUZZ_CHECK(plan.year == (importedYear ? importedYear : listedYear));
    if (plan.year == 0) {
        FUZZ_CHECK(plan.files.empty());
        return;
    }

    // Each planned file once, of the index's year, not imported yet, listed; the baseline
    // by number, then the update files by number.
    std::set<std::string> planned;
    bool inUpdates = false;
    const PubmedFile* previous = nullptr;
    for (const PubmedFile& file : plan.files) {
        int year = 0;
        long number = 0;
        FUZZ_CHECK(IsPubmedFileName(file.name, year, number));
        FUZZ_CHECK(file.year == plan.year);
        FUZZ_CHECK(planned.insert(file.name).second);
        FUZZ_CHECK(!done.count(file.name));
        FUZZ_CHECK(!inUpdates || file.update);
        if (previous && previous->update == file.update)
            FUZZ_CHECK(previous->number < file.number);
        inUpdates = file.update;
        previous = &file;
    }
    // Nothing of that year left out; the others counted.
    std::size_t older = 0;
    int newer = 0;
    for (const auto* listing : {&baseline, &updates})
        for (const PubmedFile& file : *listing) {
            if (file.year == plan.year && !done.count(file.name))
                FUZZ_CHECK(planned.count(file.name));
            older += file.year < plan.year;
            if (file.year > plan.year) newer = std::max(newer, file.year);
        }
    FUZZ_CHECK(plan.olderFiles == older);
    FUZZ_CHECK(plan.newerYear == newer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::Bytes(data, size);
    std::string_view parts[4];
    for (auto& part : parts) {
        const std::size_t nul = input.find('\0');
        part = input.substr(0, nul);
        input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    }

    const auto baseline = upstream::ParseListing(parts[0], false);
    const auto updates = upstream::ParseListing(parts[1], true);
    CheckListing(parts[0], false, baseline);
    CheckListing(parts[1], true, updates);

    std::vector<std::string> imported;
    for (std::string_view names = parts[3]; !names.empty();) {
        const std::size_t newline = names.find('\n');
        imported.emplace_back(names.substr(0, newline));
        names = newline == std::string_view::npos ? std::string_view() : names.substr(newline + 1);
    }
    for (const PubmedFile& file : baseline)
        CheckMd5(parts[2], file.name);
    for (const std::string& name : imported)
        CheckMd5(parts[2], name);

    CheckPlan(baseline, updates, imported);
    return 0;
}
