// The three records passed between the stages of the pipeline.
#include "module/declarations.hpp"

namespace kt {

const RecordDef expr_descriptor_record{
    "ExprDescriptor",
    {
        {"expr", "sp.Expr"},
        {"numeric_expr", "sp.Expr"},
        {"root_type", "str"},
        {"depth", "int"},
        {"n_nodes", "int"},
        {"n_vars", "int"},
        {"repeated_var", "bool"},
        {"unary_depth", "int"},
        {"operators", "list[str]"},
        {"behavior_vec", "np.ndarray"},
        {"is_bounded", "bool"},
        {"boundedness", "float"},
        {"is_periodic", "bool"},
        {"is_monotone", "bool"},
        {"variance", "float"},
        {"derivative_vec", "np.ndarray"},
        {"integral_vec", "np.ndarray"},
        {"derivative_approx", "float"},
        {"integral_approx", "float"},
        {"stability_score", "float"},
        {"sensitivity_perturbation", "float"},
        {"growth_class", "str"},
        {"frac_invalid", "float", 0.0},
    },
};

const RecordDef generalized_candidate_record{
    "GeneralizedCandidate",
    {
        {"formula", "sp.Expr"},
        {"members", "list[sp.Expr]"},
        {"growth_class", "str"},
        {"novelty", "float"},
        {"closest_lib", "str"},
    },
};

const RecordDef filter_result_record{
    "FilterResult",
    {
        {"novel", "list[GeneralizedCandidate]"},
        {"repeated", "list[GeneralizedCandidate]"},
        {"discarded", "list[tuple[str, GeneralizedCandidate]]"},
    },
};

}  // namespace kt
