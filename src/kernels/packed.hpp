// Descriptors in a compact byte form that workers exchange: flattened trees, operator
// sequences and behaviour vectors, with the label strings they use. Pure C++.
#pragma once

#include <string>
#include <vector>

#include "kernels/similarity.hpp"

namespace kt::kernels {

struct PackedDescriptor {
    StructureFields structure;
    BehaviourFields behaviour;  // `vector` points into `values`
    std::vector<double> values;
};

struct PackedBank {
    std::vector<std::string> labels;  // label id -> text
    std::vector<PackedDescriptor> items;
};

std::string pack(const PackedBank& bank);
// Throws std::invalid_argument for bytes that are not a packed bank, trees whose leftmost
// leaves or keyroots do not describe a tree included.
PackedBank unpack(const std::string& bytes);

// Rewrites `other`'s label ids into `base`'s table (extending it), so the two compare.
void unify_labels(PackedBank& base, PackedBank& other);
// The banks' descriptors in one bank, in order, with the labels numbered as packing them all at
// once numbers them (in the order they first occur). Throws as `unpack` does.
PackedBank join(const std::vector<std::string>& packed);

// An upper bound of alpha * structural + beta * behavioural for a pair, from the trees' labels,
// the operators the sequences share, the exact bonus and the exact behavioural term (or its
// largest value, 1.0, when `exact_behaviour` is false); never below the exact value in
// floating point (alpha, beta >= 0). `tree_weight` as for the similarity.
double similarity_bound(const PackedDescriptor& a, const PackedDescriptor& b, double alpha,
                        double beta, const double* tree_weight, bool exact_behaviour = true);
// Its structural part: an upper bound of the structural similarity.
double structural_bound(const PackedDescriptor& a, const PackedDescriptor& b,
                        const double* tree_weight);

}  // namespace kt::kernels
