// A search tree of AND, OR and NOT evaluated plainly, record by record: what the ranked
// paths' oracles score against. Node is the index's SearchNode or the engine's RankNode.
#pragma once

#include <algorithm>

namespace tamix::test {

// Whether the record matches node; leaf(node) says whether it matches a leaf.
template <class Node, class Leaf> bool PlainlyMatches(const Node& node, const Leaf& leaf) {
    if (node.operands.empty()) return leaf(node);
    const auto matches = [&](const Node& operand) { return PlainlyMatches(operand, leaf); };
    const auto& operands = node.operands;
    if (node.kind == Node::And) return std::all_of(operands.begin(), operands.end(), matches);
    if (node.kind == Node::Or) return std::any_of(operands.begin(), operands.end(), matches);
    return matches(operands[0]) && std::none_of(operands.begin() + 1, operands.end(), matches);
}

// Calls counted(leaf node, whether it counts) for each leaf: a leaf counts for a record when
// it and every node above it match the record (what NOT takes away never counts).
template <class Node, class Leaf, class Counted>
void PlainlyCounted(const Node& node, const Leaf& leaf, const Counted& counted, bool above = true) {
    const bool here = above && PlainlyMatches(node, leaf);
    if (node.operands.empty()) return counted(node, here);
    for (std::size_t i = 0; i < node.operands.size(); ++i)
        PlainlyCounted(node.operands[i], leaf, counted, here && (node.kind != Node::Not || i == 0));
}

} // namespace tamix::test
