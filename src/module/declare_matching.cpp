// Library matching: the LibraryMatch record, match_library and bind; the affine fit of law
// fitting.
#include "module/declarations.hpp"

#include "matching/law_fit_arrays.hpp"
#include "matching/library_match.hpp"

namespace kt {

namespace {

struct MatchCall {
    handle candidate_or_formula, library;
    double near_threshold;
};

struct BindCall {
    handle formula, expression;
};

struct AffineFitCall {
    handle y, z;
    double min_valid;
};

void bind_near_threshold(handle m) { bind_global(m, "NEAR_THRESHOLD", pyfloat(kNearThreshold)); }

}  // namespace

const RecordDef library_match_record{
    "LibraryMatch",
    {
        {"law", "str"},
        {"kind", "str"},
        {"distance", "float"},
        {"mapping", "dict[str, str] | None"},
    },
};

const Section matching_section{
    library_match_record,
    Step{bind_near_threshold},
    Declaration<MatchCall>{
        .name = "match_library",
        .params = {{"candidate_or_formula", &MatchCall::candidate_or_formula,
                    "GeneralizedCandidate | sp.Expr"},
                   {"library", &MatchCall::library, "dict[str, sp.Expr]", Check::Dict},
                   {"near_threshold", &MatchCall::near_threshold, "float", kNearThreshold}},
        .returns = "LibraryMatch | None",
        .doc =
            "\n"
            "    The known law a structure is, or None for a new structure.\n"
            "\n"
            "    Kinds, strongest first: 'identical' (a member, or the formula, is a law with its\n"
            "    variables renamed one to one), 'scaled' (the same up to a constant factor or an\n"
            "    added constant), 'instance' (the law is the formula with its wildcards bound to\n"
            "    parts of the law), 'near' (the tree distance from a member, or from a formula\n"
            "    given alone, with all variables one label and a wildcard matching any leaf for\n"
            "    free, over the larger tree's size, is at most `near_threshold`).\n"
            "    `mapping` maps our variables to the law's where the kind has one.\n"
            "    ",
        .body =
            [](const MatchCall& c) {
                return match_library(c.candidate_or_formula, c.library, c.near_threshold);
            },
    },
    Declaration<BindCall>{
        .name = "bind",
        .params = {{"formula", &BindCall::formula, "sp.Expr"},
                   {"expression", &BindCall::expression, "sp.Expr"}},
        .returns = "dict | None",
        .doc =
            "\n"
            "    What each wildcard and variable of `formula` stands for in `expression`: a dict\n"
            "    under which the formula becomes the expression (up to sympy's normalisation),\n"
            "    or None when the expression is not an instance of the formula.\n"
            "    ",
        .body = [](const BindCall& c) { return bind(c.formula, c.expression); },
    },
    Declaration<AffineFitCall>{
        .name = "_affine_fit",
        .params = {{"y", &AffineFitCall::y, "np.ndarray"},
                   {"z", &AffineFitCall::z, "np.ndarray"},
                   {"min_valid", &AffineFitCall::min_valid, "float"}},
        .returns = "tuple[np.ndarray, np.ndarray, np.ndarray]",
        .doc =
            "\n"
            "    (r2, a, b) of the least-squares fit y ~ a*z + b of every row of z (float64,\n"
            "    rows x points) against y (float64, points), over the points where both are\n"
            "    finite: R^2 is 0 where fewer than `min_valid` of the points are, where z does "
            "not\n"
            "    vary, or where it is not finite, and at most 1. Sums are numpy's pairwise sums\n"
            "    over each row, undefined points counting 0 in their places.\n"
            "    ",
        .body = [](const AffineFitCall& c) { return affine_fit_arrays(c.y, c.z, c.min_valid); },
    },
};

}  // namespace kt
