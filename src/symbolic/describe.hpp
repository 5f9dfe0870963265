// A formula's whole descriptor computed natively: the canonical form and its structure, the
// behaviour of the formula as given, and the packed bytes `pack_descriptors` writes for it.
// No Python but what the backend and the oracle do.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/packed.hpp"
#include "symbolic/behaviour.hpp"
#include "symbolic/structure.hpp"

namespace kt::symbolic {

struct Description {
    Expr canonical = nullptr;  // the descriptor's `expr`
    Structure structure;
    Behaviour behaviour;
};

// `describe(expr, var_ranges)` after `np.random.seed(in.seed)`. Throws Unsupported where a
// step is left to sympy or numpy.
Description describe(Builder& builder, const Backend& math, const BehaviourInput& in,
                     const std::optional<std::string>& source_id);

// numpy's seed for describing one formula (`formula_seed(seed, expr, text)`): the run's seed
// and the first two little-endian words of the 8-byte BLAKE2b of the text's UTF-8.
std::vector<std::uint32_t> formula_seed(std::uint32_t seed, std::string_view text);

// The packed bank of this one descriptor, as `pack_descriptors([d])` writes it.
kernels::PackedBank packed(Pool& pool, Oracle& oracle, const Description& d);

}  // namespace kt::symbolic
