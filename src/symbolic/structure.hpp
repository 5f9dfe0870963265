// The shape of a formula as a descriptor records it: its canonical form (symbols renamed v0,
// v1, ... in order of first appearance, the tree rebuilt as xreplace rebuilds it) and that
// form's root class, depth, size, variables, shared variables, nesting of functions and
// operators; and its labelled tree for the tree distance.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/flat_tree.hpp"
#include "symbolic/build.hpp"

namespace kt::symbolic {

struct Structure {
    std::string root_type;
    long depth = 0;
    long n_nodes = 0;
    long n_vars = 0;
    bool repeated_var = false;
    long unary_depth = 0;
    std::vector<std::string> operators;
};

// `_canonicalize_expr(e, source_id)`: symbols other than wildcards (names starting with φ)
// renamed v<k>, or __KLTN_<source_id>_v<k>.
Expr canonicalize_names(Builder& builder, Expr e, const std::optional<std::string>& source_id);

Structure structure_of(Expr e);

// Label texts interned to ids in order of first use, as a packed bank's table holds them.
class LabelTable {
public:
    int of(const std::string& text);
    const std::vector<std::string>& texts() const { return texts_; }

private:
    std::unordered_map<std::string, int> ids_;
    std::vector<std::string> texts_;
};

// The labelled tree: class names of inner nodes, `str` of leaves, interned in pre-order.
kernels::FlatTree labelled_tree(Pool& pool, Oracle& oracle, Expr e, LabelTable& labels);

}  // namespace kt::symbolic
