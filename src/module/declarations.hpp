// The tables that declare every public name of the module: each function's Python signature
// and the subsystem function its arguments are bound to, the records and the classes. Only
// the module's initialisation reads them.
#pragma once

#include "runtime/classes.hpp"
#include "runtime/function.hpp"

namespace kt {

// Records.
extern const RecordDef expr_descriptor_record, generalized_candidate_record, filter_result_record,
    library_match_record;

// The module frame.
extern const FuncDef safe_print_def;

// Descriptors.
extern const FuncDef depth_def, is_unary_func_def, unary_depth_def, dfs_operators_def,
    repeated_var_def, canonicalize_expr_def, extract_structure_def, growth_class_def, eval_safe_def,
    numeric_values_def, extract_behavior_def, to_zss_def, normalize_wildcards_def,
    get_ranges_for_bank_def, get_var_ranges_def, describe_def;

// Similarity.
extern const FuncDef structural_sim_def, behavioral_sim_def, similarity_def, node_count_def,
    compositionality_score_def, log_compress_def, behavioral_distance_def, recurrence_strength_def,
    cluster_cohesion_def, compression_gain_def, pairwise_matrix_def, cluster_by_similarity_def,
    similarity_graph_def, cluster_graph_def, pack_descriptors_def, graph_block_def;

// Anti-unification.
extern const FuncDef is_wildcard_def, structural_score_def, best_commutative_pairing_def,
    is_source_variable_def, is_generalized_variable_def, canonical_pair_key_def,
    multiplicative_args_def, wildcard_density_def, is_valid_generalization_def, anti_unify_def,
    display_canonical_expr_def, anti_unify_cluster_def, merge_wildcards_def;

// Pipeline.
extern const FuncDef detect_structure_def, candidate_of_cluster_def, score_cluster_def,
    filter_candidates_def, composition_distances_def, candidate_report_def, report_strings_def,
    filter_report_strings_def, report_def, behavior_section_strings_def, composition_report_def,
    filter_report_def;

// Operators.
extern const ClassDef symbolic_operator_class, numpy_compiler_class, composition_generator_class;
extern const FuncDef behavior_def;

// Concepts.
extern const FuncDef llm_call_def, ai_def, discover_concept_def;

// Matching.
extern const FuncDef match_library_def, bind_def;

}  // namespace kt
