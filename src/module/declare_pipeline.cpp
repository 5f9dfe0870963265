// The public functions of the pipeline: detection, the candidate filter, the reports.
#include "module/declarations.hpp"

#include "antiunify/cluster.hpp"
#include "matching/library_match.hpp"
#include "pipeline/detect.hpp"
#include "pipeline/filter.hpp"
#include "pipeline/native_scoring.hpp"
#include "pipeline/reports.hpp"
#include "pipeline/row_record.hpp"
#include "pipeline/rows.hpp"
#include "pipeline/structure_match.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {

struct FilterResultCall {
    handle result;
};

struct CompositionReportCall {
    handle expr, vars, np_expr, eval_result, vec_result;
};

struct BehaviorSectionCall {
    handle candidates, result;
};

struct CandidatesCall {
    handle candidates;
};

struct CandidateReportCall {
    handle index, c;
};

struct FilterReportTextCall {
    handle result, blocks, category, formulas;
};

struct ValuesCall {
    handle values;
};

struct RecordCall {
    handle record;
};

struct RecordExpressionCall {
    handle record;
    bool numeric;
};

}  // namespace

using Detect = DetectCall;
using ClusterCandidate = ClusterCandidateCall;
constexpr ScoreWeights kW = kDefaultScoreWeights;

// The score weights and scales of detect_structure, and the validity check's density limit,
// keyword-only.
template <class Call>
std::vector<Arg<Call>> weight_params() {
    return {
        keyword_only<Call>({"w_structural", &Call::structural, "float", kW.structural}),
        keyword_only<Call>({"w_behavioral", &Call::behavioral, "float", kW.behavioral}),
        keyword_only<Call>({"w_irreducibility", &Call::irreducibility, "float", kW.irreducibility}),
        keyword_only<Call>({"w_recurrence", &Call::recurrence, "float", kW.recurrence}),
        keyword_only<Call>({"w_compression", &Call::compression, "float", kW.compression}),
        keyword_only<Call>(
            {"scale_irreducible", &Call::scale_irreducible, "float", kW.scale_irreducible}),
        keyword_only<Call>(
            {"scale_recurrence", &Call::scale_recurrence, "float", kW.scale_recurrence}),
        keyword_only<Call>(
            {"scale_compression", &Call::scale_compression, "float", kW.scale_compression}),
        keyword_only<Call>(
            {"max_wildcard_density", &Call::max_wildcard_density, "float", kMaxWildcardDensity})};
}

// The per-cluster step's parameters.
std::vector<Arg<ClusterCandidate>> cluster_params() {
    std::vector<Arg<ClusterCandidate>> params = {
        {"cluster", &ClusterCandidate::cluster, "list[ExprDescriptor]", Check::List},
        {"library", &ClusterCandidate::library, "dict[str, sp.Expr]", Check::Dict},
        {"lib_descs", &ClusterCandidate::lib_descs, "dict[str, ExprDescriptor]", Check::Dict},
        {"bank_size", &ClusterCandidate::bank_size, "int", Check::Int},
        {"novelty_threshold", &ClusterCandidate::novelty_threshold, "float",
         kDefaultNoveltyThreshold}};
    for (auto& p : weight_params<ClusterCandidate>()) params.push_back(std::move(p));
    return params;
}

// _score_native_clusters: the clusters' members as records, and the same weights, merging as
// _score_cluster may.
std::vector<Arg<NativeScoringCall>> native_scoring_params() {
    using Call = NativeScoringCall;
    std::vector<Arg<Call>> params = {
        {"clusters", &Call::clusters, "list[list[tuple[bytes, bytes]]]", Check::List},
        {"library", &Call::library, "dict[str, sp.Expr]", Check::Dict},
        {"lib_descs", &Call::lib_descs, "dict[str, ExprDescriptor]", Check::Dict},
        {"bank_size", &Call::bank_size, "int", Check::Int},
        {"novelty_threshold", &Call::novelty_threshold, "float", kDefaultNoveltyThreshold}};
    for (auto& p : weight_params<Call>()) params.push_back(std::move(p));
    params.push_back(
        keyword_only<Call>({"merge_wildcards", &Call::merge_wildcards, "bool", false}));
    return params;
}

// _score_cluster also takes the parts of an earlier account of the same cluster, and may merge
// the wildcards of one sum or product.
std::vector<Arg<ClusterCandidate>> with_parts(std::vector<Arg<ClusterCandidate>> params) {
    params.push_back(keyword_only<ClusterCandidate>(
        {"parts", &ClusterCandidate::parts, "dict[str, object] | None", Check::DictOrNone, kNone}));
    params.push_back(keyword_only<ClusterCandidate>(
        {"merge_wildcards", &ClusterCandidate::merge_wildcards, "bool", false}));
    return params;
}

// filter_candidates' parameters; _filter_with_distances takes the distances after the library.
std::vector<Arg<FilterCall>> filter_params(bool distances) {
    std::vector<Arg<FilterCall>> params = {
        {"candidates", &FilterCall::candidates, "list[GeneralizedCandidate]", Check::List},
        {"library", &FilterCall::library, "dict[str, sp.Expr]", Check::Dict},
        {"min_members", &FilterCall::min_members, "int", Check::Int, kDefaultMinMembers},
        {"novel_threshold", &FilterCall::novel_threshold, "float", kDefaultNovelThreshold},
        {"repeated_threshold", &FilterCall::repeated_threshold, "float", kDefaultRepeatedThreshold},
        {"composition_threshold", &FilterCall::composition_threshold, "float",
         kDefaultCompositionThreshold},
        {"max_wildcard_density", &FilterCall::max_wildcard_density, "float", kMaxWildcardDensity}};
    if (distances)
        params.insert(params.begin() + 2, {"distances", &FilterCall::distances,
                                           "list[float | None] | None", Check::ListOrNone});
    return params;
}

const Section pipeline_section{
    generalized_candidate_record,
    Declaration<Detect>{
        .name = "detect_structure",
        .params = {{"expression_bank", &Detect::expression_bank, "list", Check::List},
                   {"library", &Detect::library, "dict[str, sp.Expr]", Check::Dict},
                   {"var_ranges_bank", &Detect::var_ranges_bank, "list", Check::ListOrNone, kNone},
                   {"sim_threshold", &Detect::sim_threshold, "float", kDefaultClusterThreshold},
                   {"novelty_threshold", &Detect::novelty_threshold, "float",
                    kDefaultNoveltyThreshold},
                   {"alpha", &Detect::alpha, "float", kDefaultAlpha},
                   {"beta", &Detect::beta, "float", kDefaultBeta},
                   {"verbose", &Detect::verbose, "bool", true},
                   {"w_structural", &Detect::structural, "float", kW.structural},
                   {"w_behavioral", &Detect::behavioral, "float", kW.behavioral},
                   {"w_irreducibility", &Detect::irreducibility, "float", kW.irreducibility},
                   {"w_recurrence", &Detect::recurrence, "float", kW.recurrence},
                   {"w_compression", &Detect::compression, "float", kW.compression},
                   {"scale_irreducible", &Detect::scale_irreducible, "float", kW.scale_irreducible},
                   {"scale_recurrence", &Detect::scale_recurrence, "float", kW.scale_recurrence},
                   {"scale_compression", &Detect::scale_compression, "float", kW.scale_compression},
                   {"seed", &Detect::seed, "int | None", Check::IntOrNone, kNone}},
        .returns = "list[GeneralizedCandidate]",
        .doc =
            "\n"
            "    Describe a bank of expressions, cluster it by joint similarity, generalise each\n"
            "    cluster into a formula with wildcards and score it against the library.\n"
            "\n"
            "    Returns the formulas scoring at least `novelty_threshold`, in cluster order.\n"
            "    With `seed`, numpy's global generator is seeded first, so that identical calls\n"
            "    give identical scores.\n"
            "    ",
        .body = [](const Detect& c) { return detect_structure(c); },
    },
    Declaration<ValuesCall>{
        .name = "_similarity_line",
        .params = {{"values", &ValuesCall::values, "np.ndarray"}},
        .returns = "str",
        .doc = "The line a verbose detect_structure prints of the similarities between distinct "
               "formulas\n(the matrix's strict upper triangle): their min, mean and max.",
        .body = [](const ValuesCall& c) { return similarity_line(c.values); },
    },
    filter_result_record,
    Declaration<FilterCall>{
        .name = "filter_candidates",
        .params = filter_params(false),
        .returns = "FilterResult",
        .doc =
            "\n"
            "    Split candidates into novel structures, repeated patterns and discarded ones.\n"
            "\n"
            "    A candidate is discarded when it does not recur, is a bare wildcard, is mostly\n"
            "    wildcards or is already a sum or product of two library expressions; the rest\n"
            "    are novel or repeated by their score, highest first.\n"
            "    ",
        .body = [](const FilterCall& c) { return filter_candidates(c); },
    },
    Declaration<FilterPendingCall>{
        .name = "_filter_pending",
        .params = {{"candidates", &FilterPendingCall::candidates, "list[GeneralizedCandidate]",
                    Check::List},
                   {"min_members", &FilterPendingCall::min_members, "int", Check::Int,
                    kDefaultMinMembers},
                   {"max_wildcard_density", &FilterPendingCall::max_wildcard_density, "float",
                    kMaxWildcardDensity}},
        .returns = "list[bool]",
        .doc = "For each candidate, whether filter_candidates measures its composition distance: "
               "it\npasses the tests before that one.",
        .body = [](const FilterPendingCall& c) { return filter_pending(c); },
    },
    Declaration<FilterCall>{
        .name = "_filter_with_distances",
        .params = filter_params(true),
        .returns = "FilterResult",
        .doc = "filter_candidates with composition distances measured elsewhere: `distances` "
               "holds\none entry per candidate, its distance or None to measure it here.",
        .body = [](const FilterCall& c) { return filter_candidates(c); },
    },
    Declaration<CandidateReportCall>{
        .name = "candidate_report",
        .params = {{"index", &CandidateReportCall::index, "int", Check::IntNotBool},
                   {"c", &CandidateReportCall::c, "GeneralizedCandidate"}},
        .returns = "str",
        .doc = "One candidate as an 11-line block: its formula, behaviour, members and score.",
        .body = [](const CandidateReportCall& c) { return candidate_report(c.index, c.c); },
    },
    Declaration<StructureReportCall>{
        .name = "_structure_report",
        .params = {{"index", &StructureReportCall::index, "int", Check::IntNotBool},
                   {"candidate", &StructureReportCall::candidate, "GeneralizedCandidate"},
                   {"seed", &StructureReportCall::seed, "int", Check::Int},
                   {"formula_text", &StructureReportCall::formula_text, "str", Check::Str},
                   {"members", &StructureReportCall::members, "list[str]", Check::List}},
        .returns = "str | None",
        .doc = "candidate_report's block after np.random.seed(formula_seed(seed, formula)), "
               "the formula\nprinted as `formula_text` and described natively, the members "
               "printed as `members`;\nNone where the formula is not described natively.",
        .body = [](const StructureReportCall& c) { return structure_report(c); },
    },
    Declaration<CandidatesCall>{
        .name = "report_strings",
        .params = {{"candidates", &CandidatesCall::candidates, "list[GeneralizedCandidate]",
                    Check::List}},
        .returns = "list[str]",
        .doc = "One block per candidate, numbered from 0; [\"  (none)\"] for an empty list.",
        .body = [](const CandidatesCall& c) { return report_strings(c.candidates); },
    },
    Declaration<FilterResultCall>{
        .name = "filter_report_strings",
        .params = {{"result", &FilterResultCall::result, "FilterResult"}},
        .returns = "list[str]",
        .doc = "The counts, then the novel, repeated and discarded sections of a filter result.",
        .body = [](const FilterResultCall& c) { return filter_report_strings(c.result); },
    },
    Declaration<FilterReportTextCall>{
        .name = "_filter_report_text",
        .params = {{"result", &FilterReportTextCall::result, "FilterResult"},
                   {"blocks", &FilterReportTextCall::blocks, "list[str]", Check::List},
                   {"category", &FilterReportTextCall::category, "str", Check::Str, "all"},
                   {"formulas", &FilterReportTextCall::formulas, "list[str | None] | None",
                    Check::ListOrNone, kNone}},
        .returns = "str",
        .doc = "filter_report_strings as one text, from the reported sections' blocks rendered "
               "elsewhere\n(novel, then repeated, numbered for their section) and the discarded "
               "candidates'\nformulas as printed (None: the formula); with 'novel' or "
               "'repeated', only that\ncategory's count and blocks, each followed by an empty "
               "line.",
        .body =
            [](const FilterReportTextCall& c) {
                return filter_report_text(c.result, c.blocks, c.category, c.formulas);
            },
    },
    Declaration<CandidatesCall>{
        .name = "report",
        .params = {{"candidates", &CandidatesCall::candidates, "list[GeneralizedCandidate]",
                    Check::List}},
        .returns = "None",
        .doc = "Print every candidate block, each followed by an empty line.",
        .body = [](const CandidatesCall& c) { return report(c.candidates); },
    },
    Declaration<BehaviorSectionCall>{
        .name = "behavior_section_strings",
        .params = {{"candidates", &BehaviorSectionCall::candidates, "list[GeneralizedCandidate]",
                    Check::List},
                   {"result", &BehaviorSectionCall::result, "FilterResult"}},
        .returns = "list[str]",
        .doc = "The raw candidates, then the filter result, under their own headings.",
        .body =
            [](const BehaviorSectionCall& c) {
                return behavior_section_strings(c.candidates, c.result);
            },
    },
    Declaration<CompositionReportCall>{
        .name = "composition_report",
        .params = {{"expr", &CompositionReportCall::expr, "str"},
                   {"vars", &CompositionReportCall::vars, "list"},
                   {"np_expr", &CompositionReportCall::np_expr, "str"},
                   {"eval_result", &CompositionReportCall::eval_result},
                   {"vec_result", &CompositionReportCall::vec_result}},
        .returns = "str",
        .doc = "Five lines describing one compiled composition and its values.",
        .body =
            [](const CompositionReportCall& c) {
                return composition_report(c.expr, c.vars, c.np_expr, c.eval_result, c.vec_result);
            },
    },
    Declaration<FilterResultCall>{
        .name = "filter_report",
        .params = {{"result", &FilterResultCall::result, "FilterResult"}},
        .returns = "None",
        .doc = "Print the lines of a filter result.",
        .body = [](const FilterResultCall& c) { return filter_report(c.result); },
    },
};

// Scoring one cluster at a time, bound after the similarity graph.
const Section cluster_scoring_section{
    Declaration<ClusterCandidate>{
        .name = "_candidate_of_cluster",
        .params = cluster_params(),
        .returns = "GeneralizedCandidate | None",
        .doc = "The candidate `detect_structure` makes of one cluster with these weights, or None.",
        .body = [](const ClusterCandidate& c) { return candidate_of_cluster(c); },
    },
    Declaration<ClusterCandidate>{
        .name = "_score_cluster",
        .params = with_parts(cluster_params()),
        .returns = "dict[str, object]",
        .doc = "The candidate of one cluster with its account: a dict of the candidate (or None), "
               "the\n"
               "cluster's generalisation (or None), whether it was kept and scored, the weighted "
               "terms "
               "of\n"
               "its score by name, the score, the closest library entry, and its parts: what was "
               "measured\n"
               "before the bank's size entered, which `parts` takes back for the same cluster and "
               "library.",
        .body = [](const ClusterCandidate& c) { return score_of_cluster(c); },
    },
    Declaration<NativeScoringCall>{
        .name = "_score_native_clusters",
        .params = native_scoring_params(),
        .returns = "list[dict[str, object] | None]",
        .doc = "For clusters of rows read natively, given as their members' (record, packed) "
               "pairs, the\naccount _score_cluster gives each, with the candidate's formula as "
               "printed (\"text\") and,\nwhen kept, the cluster's cohesion in its parts; None "
               "where the native path leaves\nthe cluster to _score_cluster.",
        .body = [](const NativeScoringCall& c) { return score_native_clusters(c); },
    },
    Declaration<RowsCall>{
        .name = "_read_rows",
        .params = {{"texts", &RowsCall::texts, "list[str]", Check::List},
                   {"bounds", &RowsCall::bounds, "list[dict[str, tuple[float, float]] | None]",
                    Check::List},
                   {"seed", &RowsCall::seed, "int", Check::Int},
                   {"snap", &RowsCall::snap, "float"},
                   {"library", &RowsCall::library, "dict[str, sp.Expr] | None", Check::DictOrNone},
                   {"forms", &RowsCall::forms, "list[Any] | None", Check::ListOrNone},
                   {"threshold", &RowsCall::threshold, "float"}},
        .returns = "list[Any]",
        .doc = "Bank rows read natively: for each formula text with its ranges by name, None "
               "(the Python\npath reads it) or (lhs, formula as printed, descriptor record, packed "
               "descriptor,\n(core as printed, intercept, scale, changes, core tree), judged or "
               "None); judged, with a\nlibrary and its law forms, is (form match as written, form "
               "match of the core, law fits).",
        .body = [](const RowsCall& c) { return read_rows(c); },
    },
    Declaration<RecordCall>{
        .name = "_record_fields",
        .params = {{"record", &RecordCall::record, "bytes"}},
        .returns = "dict[str, object]",
        .doc = "The fields of a row's descriptor record but its expressions.",
        .body = [](const RecordCall& c) { return record_fields(c.record); },
    },
    Declaration<RecordExpressionCall>{
        .name = "_record_expression",
        .params = {{"record", &RecordExpressionCall::record, "bytes"},
                   {"numeric", &RecordExpressionCall::numeric, "bool"}},
        .returns = "sp.Expr",
        .doc = "A row record's canonical renaming, or with `numeric` its formula.",
        .body =
            [](const RecordExpressionCall& c) { return record_expression(c.record, c.numeric); },
    },
    Declaration<RecordCall>{
        .name = "_tree_expression",
        .params = {{"record", &RecordCall::record, "bytes"}},
        .returns = "sp.Expr",
        .doc = "The expression of an encoded tree.",
        .body = [](const RecordCall& c) { return tree_expression(c.record); },
    },
    Declaration<StructureMatchCall>{
        .name = "_match_structure",
        .params = {{"candidate", &StructureMatchCall::candidate, "GeneralizedCandidate"},
                   {"library", &StructureMatchCall::library, "dict[str, sp.Expr]", Check::Dict},
                   {"trees", &StructureMatchCall::trees, "list[tuple[bytes, bytes]]", Check::List},
                   {"near_threshold", &StructureMatchCall::near_threshold, "float",
                    kNearThreshold}},
        .returns = "tuple[Any, list[Any], list[Any], list[Any]] | None",
        .doc = "(match, member_matches, bindings, binding_texts) of a candidate whose members are "
               "given\nas their rows' (record, canonical core tree), as match_library and bind "
               "make them; a\nmember's bindings as [(symbol, encoded value tree)] or None. None "
               "where a tree is not\nmatched natively.",
        .body = [](const StructureMatchCall& c) { return match_structure(c); },
    },
    Declaration<CompositionDistancesCall>{
        .name = "_composition_distances",
        .params = {{"formulas", &CompositionDistancesCall::formulas, "list[sp.Expr]", Check::List},
                   {"library", &CompositionDistancesCall::library, "dict[str, sp.Expr]",
                    Check::Dict},
                   keyword_only<CompositionDistancesCall>(
                       {"native", &CompositionDistancesCall::native, "bool", true})},
        .returns = "list[float]",
        .doc = "For each formula, filter_candidates' smallest tree edit distance from the formula "
               "(its\n"
               "wildcards normalised) to a sum or product of two library expressions; inf where "
               "none.\n"
               "Measured on native trees where they hold the formula, unless `native` is false.",
        .body = [](const CompositionDistancesCall& c) { return composition_distances(c); },
    },
};

}  // namespace kt
