#include "symbolic/describe.hpp"

#include "kernels/blake2b.hpp"

namespace kt::symbolic {

Description describe(Builder& builder, const Backend& math, const BehaviourInput& in,
                     const std::optional<std::string>& source_id) {
    Description d;
    d.canonical = canonicalize_names(builder, in.expr, source_id);
    d.structure = structure_of(d.canonical);
    d.behaviour = extract_behaviour(builder, math, in);
    return d;
}

std::vector<std::uint32_t> formula_seed(std::uint32_t seed, std::string_view text) {
    const std::string digest = kernels::blake2b(text, 8);
    auto word = [&](int at) {
        std::uint32_t w = 0;
        for (int k = 3; k >= 0; --k) w = (w << 8) | (std::uint8_t)digest[at + k];
        return w;
    };
    return {seed, word(0), word(4)};
}

// Labels are interned as the packer reads a descriptor: the tree, the operators, the root
// class, the growth class.
kernels::PackedBank packed(Pool& pool, Oracle& oracle, const Description& d) {
    LabelTable labels;
    kernels::PackedDescriptor p;
    p.structure.tree = labelled_tree(pool, oracle, d.canonical, labels);
    for (const std::string& op : d.structure.operators)
        p.structure.operators.push_back(labels.of(op));
    p.structure.root_type = labels.of(d.structure.root_type);
    p.structure.repeated_var = d.structure.repeated_var ? 1 : 0;
    p.structure.unary_depth = d.structure.unary_depth;
    const Behaviour& b = d.behaviour;
    p.behaviour.frac_invalid = b.frac_invalid;
    p.behaviour.has_vector = true;
    p.values = b.behavior_vec;
    p.behaviour.vector = p.values.data();
    p.behaviour.length = (long long)p.values.size();
    p.behaviour.growth_class = labels.of(b.growth_class);
    p.behaviour.monotone = b.is_monotone;
    p.behaviour.bounded = b.is_bounded;
    p.behaviour.periodic = b.is_periodic;
    kernels::PackedBank bank;
    bank.labels = labels.texts();
    bank.items.push_back(std::move(p));
    return bank;
}

}  // namespace kt::symbolic
