#include "matching/form_match.hpp"

#include <algorithm>

#include "kernels/tree_distance.hpp"

namespace kt {

const char* kind_name(MatchKind kind) {
    static const char* const names[] = {"identical", "scaled", "instance", "near"};
    return names[(int)kind];
}

bool better(const Hit& a, const Hit& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    if (a.support != b.support) return a.support > b.support;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.law < b.law;
}

void record(std::vector<Hit>& hits, Hit hit) {
    for (Hit& h : hits)
        if (h.kind == hit.kind && h.law == hit.law) {
            ++h.support;
            h.distance = std::min(h.distance, hit.distance);
            return;
        }
    hits.push_back(std::move(hit));
}

double blind_distance(const Shaped& a, const Shaped& b, int wildcard_label) {
    kernels::TreeDistanceScratch scratch;
    const int d = kernels::tree_distance_wildcard(a.blind, b.blind, wildcard_label, scratch);
    return (double)d / (double)std::max(a.blind.size(), b.blind.size());
}

Mapping mapping_of(const Matcher& m, const ExprTree& pattern, const ExprTree& target,
                   bool law_is_pattern) {
    Mapping mapping;
    const std::vector<int>& to = m.variables();
    for (size_t s = 0; s < to.size(); ++s) {
        if (to[s] < 0) continue;
        const std::string& p = pattern.names[s];
        const std::string& t = target.names[(size_t)to[s]];
        mapping.emplace_back(law_is_pattern ? t : p, law_is_pattern ? p : t);
    }
    return mapping;
}

void match_member(const Shaped& member, const PreparedLibrary& lib, std::vector<Hit>& hits) {
    auto [first, last] = lib.by_shape.equal_range(member.tree.nodes.back().shape);
    bool identical = false;
    for (auto it = first; it != last; ++it) {
        const Shaped& law = *lib.laws[(size_t)it->second];
        Matcher m(law.tree, member.tree);
        if (!m.match()) continue;
        record(hits,
               {MatchKind::Identical, it->second, 0.0, mapping_of(m, law.tree, member.tree, true)});
        identical = true;
    }
    if (identical) return;
    for (bool sum : {false, true}) {
        const Rest& ours = sum ? member.sum_rest : member.product_rest;
        const auto& index = sum ? lib.by_sum_rest : lib.by_product_rest;
        auto [lo, hi] = index.equal_range(ours.shape);
        for (auto it = lo; it != hi; ++it) {
            const Shaped& law = *lib.laws[(size_t)it->second];
            Matcher m(law.tree, member.tree);
            if (!m.match_bags(sum ? law.sum_rest.nodes : law.product_rest.nodes, ours.nodes, sum))
                continue;
            record(hits,
                   {MatchKind::Scaled, it->second, blind_distance(member, law, lib.wildcard_label),
                    mapping_of(m, law.tree, member.tree, true)});
        }
    }
}

std::optional<Hit> match_form(const PreparedLibrary& lib, symbolic::Expr expr, symbolic::Pool& pool,
                              symbolic::Oracle& oracle) {
    Labels labels(&lib.labels);
    const Shaped shaped(read_tree(expr, labels, true, pool, oracle), labels, lib.variable_label,
                        lib.wildcard_label);
    if (shaped.tree.wildcards() > 0) return std::nullopt;
    std::vector<Hit> hits;
    match_member(shaped, lib, hits);
    if (hits.empty()) return std::nullopt;
    return *std::min_element(hits.begin(), hits.end(), better);
}

}  // namespace kt
