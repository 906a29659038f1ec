#include "server/index/rank.h"

#include "server/index/sqlite.h"
#include "server/rank/tokenizer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tamix::server {

namespace {

// The plan: the parts' count, then for each its first copied phrase, how many phrases it
// has, and its weight (0: not ranked); then the tree in prefix order, "A n", "O n", "N n"
// followed by n operands, "L i" for part i.
struct Plan {
    struct Part {
        int first = 0, phrases = 0;
        double weight = 0;
    };
    struct Node {
        char kind = 'L';
        int part = 0;
        std::vector<Node> operands;
    };
    std::vector<Part> parts;
    Node root;
    std::unique_ptr<Bm25> bm25;
    // Per row.
    std::vector<char> present;
    std::vector<char> counted;
};

bool ReadNode(std::istringstream& in, Plan::Node& node, std::size_t parts, int depth) {
    std::string kind;
    int n = 0;
    if (depth > 64 || !(in >> kind >> n) || kind.size() != 1) return false;
    node.kind = kind[0];
    if (node.kind == 'L') {
        node.part = n;
        return n >= 0 && static_cast<std::size_t>(n) < parts;
    }
    if ((node.kind != 'A' && node.kind != 'O' && node.kind != 'N') || n < 1 || n > 64) return false;
    node.operands.resize(n);
    for (Plan::Node& operand : node.operands)
        if (!ReadNode(in, operand, parts, depth + 1)) return false;
    return true;
}

void FreePlan(void* p) {
    delete static_cast<Plan*>(p);
}

// Parsed once per query: FTS5 keeps it with the query's cursor.
Plan* PlanOf(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_value* text, double average) {
    auto* plan = static_cast<Plan*>(api->xGetAuxdata(fts, 0));
    if (plan) return plan;
    auto made = std::make_unique<Plan>();
    const char* bytes = reinterpret_cast<const char*>(sqlite3_value_text(text));
    std::istringstream in(bytes ? bytes : "");
    in.imbue(std::locale::classic());
    std::size_t count = 0;
    if (!(in >> count) || count > 4096) return nullptr;
    made->parts.resize(count);
    for (Plan::Part& part : made->parts)
        if (!(in >> part.first >> part.phrases >> part.weight) || part.first < 0 ||
            part.phrases < 0 || !std::isfinite(part.weight))
            return nullptr;
    if (!ReadNode(in, made->root, count, 0)) return nullptr;
    made->bm25 = std::make_unique<Bm25>(average);
    made->present.assign(count, 0);
    made->counted.assign(count, 0);
    plan = made.release();
    if (api->xSetAuxdata(fts, plan, &FreePlan) != SQLITE_OK) return nullptr;
    return plan;
}

bool Matches(const Plan& plan, const Plan::Node& node) {
    switch (node.kind) {
    case 'L':
        return plan.present[node.part] != 0;
    case 'A':
        for (const Plan::Node& operand : node.operands)
            if (!Matches(plan, operand)) return false;
        return true;
    case 'O':
        for (const Plan::Node& operand : node.operands)
            if (Matches(plan, operand)) return true;
        return false;
    default:
        if (!Matches(plan, node.operands[0])) return false;
        for (std::size_t i = 1; i < node.operands.size(); ++i)
            if (Matches(plan, node.operands[i])) return false;
        return true;
    }
}

// A part counts for the score when it and every node above it match the row.
void Count(Plan& plan, const Plan::Node& node, bool above) {
    const bool here = above && Matches(plan, node);
    if (node.kind == 'L') {
        plan.counted[node.part] = here;
        return;
    }
    for (std::size_t i = 0; i < node.operands.size(); ++i)
        Count(plan, node.operands[i], here && (node.kind != 'N' || i == 0));
}

void Rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* out, int argc,
          sqlite3_value** argv) {
    if (argc != 3) {
        sqlite3_result_error(out, "tamix_rank(article_fts, plan, averageLength, top)", -1);
        return;
    }
    Plan* plan = PlanOf(api, fts, argv[0], sqlite3_value_double(argv[1]));
    auto* top = static_cast<TopMatches*>(sqlite3_value_pointer(argv[2], TopMatches::kPointerType));
    if (!plan || !top) {
        sqlite3_result_error(out, "tamix_rank: no plan or no top to offer to", -1);
        return;
    }
    const int phrases = api->xPhraseCount(fts);
    const std::int64_t rowid = api->xRowid(fts);
    // Rowids are negated keys: the class is the low part of the key.
    const int lengthClass = static_cast<int>(-(rowid % kLengthClasses));
    std::vector<std::uint32_t> f2(plan->parts.size(), 0);
    for (std::size_t i = 0; i < plan->parts.size(); ++i) {
        const Plan::Part& part = plan->parts[i];
        plan->present[i] = 0;
        for (int p = part.first; p < part.first + part.phrases && p < phrases; ++p) {
            Fts5PhraseIter it;
            int column = 0, offset = 0;
            if (api->xPhraseFirst(fts, p, &it, &column, &offset) != SQLITE_OK) continue;
            for (; column >= 0; api->xPhraseNext(fts, &it, &column, &offset)) {
                plan->present[i] = 1;
                if (column < kColumns) f2[i] += kColumnF2[column];
            }
        }
    }
    Count(*plan, plan->root, true);
    // Part by part, as the engine sums its terms.
    double score = 0;
    for (std::size_t i = 0; i < plan->parts.size(); ++i)
        if (plan->counted[i] && plan->parts[i].weight > 0 && f2[i] > 0)
            score += plan->parts[i].weight * plan->bm25->Impact(f2[i], lengthClass);
    top->Offer(score, rowid);
    sqlite3_result_int(out, 1);
}

void AddParts(const SearchNode& node, const std::vector<double>& weights, int phrasesBefore,
              std::string& copies, int& copied, std::vector<std::string>& parts,
              std::string& tree) {
    if (node.kind == SearchNode::Phrase || node.kind == SearchNode::Other) {
        // The number of phrases FTS5 makes of the part: its quoted strings.
        int phrases = 0;
        bool quoted = false;
        for (std::size_t i = 0; i < node.expression.size(); ++i) {
            if (node.expression[i] != '"') continue;
            if (quoted && i + 1 < node.expression.size() && node.expression[i + 1] == '"') {
                ++i;
                continue;
            }
            if (!quoted) ++phrases;
            quoted = !quoted;
        }
        const double weight =
            node.kind == SearchNode::Phrase && static_cast<std::size_t>(node.phrase) < weights.size()
                ? weights[node.phrase]
                : 0.0;
        char entry[64];
        std::snprintf(entry, sizeof entry, "%d %d %.17g", phrasesBefore + copied, phrases, weight);
        tree += "L " + std::to_string(parts.size()) + " ";
        parts.emplace_back(entry);
        copies += (copies.empty() ? "" : " OR ") + node.expression;
        copied += phrases;
        return;
    }
    tree += std::string(node.kind == SearchNode::And  ? "A "
                        : node.kind == SearchNode::Or ? "O "
                                                      : "N ") +
            std::to_string(node.operands.size()) + " ";
    for (const SearchNode& operand : node.operands)
        AddParts(operand, weights, phrasesBefore, copies, copied, parts, tree);
}

} // namespace

ScoringQuery MakeScoringQuery(const Search& search, const std::vector<double>& weights) {
    ScoringQuery query;
    if (search.tree.empty()) return query;
    std::string copies, tree;
    std::vector<std::string> parts;
    int copied = 0;
    AddParts(search.tree[0], weights, static_cast<int>(search.phrases.size()), copies, copied,
             parts, tree);
    query.match = "(" + search.match + ") AND (" + copies + ")";
    query.plan = std::to_string(parts.size());
    for (const std::string& part : parts)
        query.plan += " " + part;
    query.plan += " " + tree;
    return query;
}

void RegisterRankFunction(sqlite3* db) {
    fts5_api* api = Fts5Of(db);
    if (!api || api->iVersion < 2 ||
        api->xCreateFunction(api, "tamix_rank", nullptr, &Rank, nullptr) != SQLITE_OK)
        throw SqliteError("this SQLite has no FTS5 to rank with");
}

} // namespace tamix::server
