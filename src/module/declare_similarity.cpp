// The public functions of similarity: joint similarity, candidate scores, the matrix, the graph.
#include "module/declarations.hpp"

#include "module/calls.hpp"
#include "similarity/clustering.hpp"
#include "similarity/graph.hpp"
#include "similarity/joined.hpp"
#include "similarity/matrix.hpp"
#include "similarity/scores.hpp"
#include "similarity/similarity.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {

struct CompressionCall {
    handle cluster, formula;
};

struct RecurrenceCall {
    handle cluster, all_count;
};

struct CohesionCall {
    handle cluster;
};

struct BehaviouralDistanceCall {
    handle cluster, lib_descs;
};

struct LogCompressCall {
    double x;
};

struct CompositionalityCall {
    handle formula, lib_exprs;
};

struct ClusterCall {
    handle descriptors, sim_matrix;
    double threshold;
};

struct PairwiseMatrixCall {
    handle descriptors, sim_kwargs;
};

struct GraphBlockCall {
    handle rows_packed, cols_packed;
    double threshold, alpha, beta;
    bool same;
};

struct PackedListCall {
    handle packed;
};

struct GraphOfBlocksCall {
    handle blocks, offsets;
    double threshold, alpha, beta;
    handle fresh, progress, counts;
};

struct DescriptorsCall {
    handle descriptors;
};

struct ClusterGraphCall {
    handle descriptors, rows, cols;
};

struct SimilarityGraphCall {
    handle descriptors;
    double threshold, alpha, beta;
};

struct SimilarityCall {
    handle a, b;
    double alpha, beta;
};

}  // namespace

const Section similarity_section{
    Declaration<PairCall>{
        .name = "_structural_sim",
        .params = {{"a", &PairCall::a, "ExprDescriptor"}, {"b", &PairCall::b, "ExprDescriptor"}},
        .returns = "float",
        .body = [](const PairCall& c) { return pyfloat(structural_sim(c.a, c.b)); },
    },
    Declaration<PairCall>{
        .name = "_behavioral_sim",
        .params = {{"a", &PairCall::a, "ExprDescriptor"}, {"b", &PairCall::b, "ExprDescriptor"}},
        .returns = "float",
        .doc = "Scale-invariant behavioral similarity using normalized curve shapes.",
        .body = [](const PairCall& c) { return pyfloat(behavioral_sim(c.a, c.b)); },
    },
    Declaration<SimilarityCall>{
        .name = "similarity",
        .params = {{"a", &SimilarityCall::a, "ExprDescriptor"},
                   {"b", &SimilarityCall::b, "ExprDescriptor"},
                   {"alpha", &SimilarityCall::alpha, "float", kDefaultAlpha},
                   {"beta", &SimilarityCall::beta, "float", kDefaultBeta}},
        .returns = "float",
        .body =
            [](const SimilarityCall& c) { return pyfloat(similarity(c.a, c.b, c.alpha, c.beta)); },
    },
    Declaration<ExprCall>{
        .name = "_node_count",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "int",
        .body = [](const ExprCall& c) { return node_count(c.expr); },
    },
    Declaration<CompositionalityCall>{
        .name = "compositionality_score",
        .params = {{"formula", &CompositionalityCall::formula, "sp.Expr"},
                   {"lib_exprs", &CompositionalityCall::lib_exprs, "list[sp.Expr]", Check::List}},
        .returns = "float",
        .doc =
            "\n"
            "    Estimate how easily `formula` can be reconstructed from library expressions.\n"
            "\n"
            "    Returns a score in [0, 1] where 1.0 = trivially composable, 0.0 = irreducible.\n"
            "    We attempt simple reconstructions: direct match, sum, product and pairwise\n"
            "    compositions. The minimum tree-edit distance found is mapped to [0,1].\n"
            "    ",
        .body =
            [](const CompositionalityCall& c) {
                return compositionality_score(c.formula, c.lib_exprs);
            },
    },
    Declaration<LogCompressCall>{
        .name = "_log_compress",
        .params = {{"x", &LogCompressCall::x, "float"}},
        .returns = "float",
        .doc = "\n"
               "    Map an unbounded, possibly-astronomical magnitude into a comparable\n"
               "    scale via signed log1p. Keeps ordering (bigger raw diff -> bigger\n"
               "    compressed diff) without letting a 1e150-scale term swamp every other\n"
               "    contribution to a weighted sum.\n"
               "    ",
        .body = [](const LogCompressCall& c) { return log_compress(c.x); },
    },
    Declaration<BehaviouralDistanceCall>{
        .name = "behavioral_distance_between_cluster_and_library",
        .params = {{"cluster", &BehaviouralDistanceCall::cluster, "list[ExprDescriptor]",
                    Check::List},
                   {"lib_descs", &BehaviouralDistanceCall::lib_descs, "dict[str, ExprDescriptor]",
                    Check::Dict}},
        .returns = "float",
        .doc =
            "\n"
            "    Compute a behavioral distance between a cluster and the closest library element.\n"
            "\n"
            "    Lower is more similar behaviorally. We return the minimal weighted distance "
            "found.\n"
            "    All raw magnitude differences are log-compressed before weighting, so an\n"
            "    expression that overflows to astronomical scale (e.g. nested exp()) doesn't\n"
            "    swamp every other term in the score.\n"
            "    ",
        .body =
            [](const BehaviouralDistanceCall& c) {
                return behavioral_distance(c.cluster, c.lib_descs);
            },
    },
    Declaration<RecurrenceCall>{
        .name = "recurrence_strength",
        .params = {{"cluster", &RecurrenceCall::cluster, "list[ExprDescriptor]", Check::List},
                   {"all_count", &RecurrenceCall::all_count, "int", Check::Int}},
        .returns = "float",
        .doc = "\n"
               "    Estimate recurrence strength of a cluster within the population.\n"
               "\n"
               "    Uses cluster size and mean internal similarity as signals. Larger, tight\n"
               "    clusters score higher.\n"
               "    ",
        .body = [](const RecurrenceCall& c) { return recurrence_strength(c.cluster, c.all_count); },
    },
    Declaration<CohesionCall>{
        .name = "_cluster_cohesion",
        .params = {{"cluster", &CohesionCall::cluster, "list[ExprDescriptor]", Check::List}},
        .returns = "float",
        .doc =
            "\n"
            "    The mean similarity of a cluster's pairs, as recurrence_strength measures it "
            "(0.0\n"
            "    for fewer than two). Kept with a cluster's scoring parts ('cohesion'), it gives\n"
            "    the recurrence in a bank of any size without the cluster's trees.\n"
            "    ",
        .body = [](const CohesionCall& c) { return cluster_cohesion(c.cluster); },
    },
};

// Bound after `describe`.
const Section similarity_matrix_section{
    Declaration<CompressionCall>{
        .name = "compression_gain",
        .params = {{"cluster", &CompressionCall::cluster, "list[ExprDescriptor]", Check::List},
                   {"formula", &CompressionCall::formula, "sp.Expr"}},
        .returns = "float",
        .doc = "\n"
               "    Estimate how much description length is saved by the generalized formula.\n"
               "\n"
               "    Returns a ratio in [0,1] where larger means the generalization compresses "
               "members.\n"
               "    ",
        .body = [](const CompressionCall& c) { return compression_gain(c.cluster, c.formula); },
    },
    Declaration<PairwiseMatrixCall>{
        .name = "pairwise_matrix",
        .params =
            {{"descriptors", &PairwiseMatrixCall::descriptors, "list[ExprDescriptor]", Check::List},
             {"sim_kwargs", &PairwiseMatrixCall::sim_kwargs, nullptr, Check::Any, {}, Kind::VarKw}},
        .returns = "np.ndarray",
        .body =
            [](const PairwiseMatrixCall& c) {
                return pairwise_matrix(c.descriptors, c.sim_kwargs, true);
            },
    },
    Declaration<ClusterCall>{
        .name = "cluster_by_similarity",
        .params = {{"descriptors", &ClusterCall::descriptors, "list[ExprDescriptor]", Check::List},
                   {"sim_matrix", &ClusterCall::sim_matrix, "np.ndarray"},
                   {"threshold", &ClusterCall::threshold, "float", 0.8}},
        .returns = "list[list[ExprDescriptor]]",
        .doc = "\n"
               "    Complete-linkage clustering on pairwise similarity.\n"
               "    A candidate joins a cluster only if its similarity to every existing\n"
               "    member is >= threshold (the cluster's minimum internal similarity\n"
               "    stays above threshold as members are added).\n"
               "    ",
        .body =
            [](const ClusterCall& c) {
                return cluster_by_similarity(c.descriptors, c.sim_matrix, c.threshold);
            },
    },
};

// The similarity graph of large banks, bound after concept discovery.
const Section similarity_graph_section{
    Declaration<SimilarityGraphCall>{
        .name = "similarity_graph",
        .params = {{"descriptors", &SimilarityGraphCall::descriptors, "list[ExprDescriptor]",
                    Check::List},
                   {"threshold", &SimilarityGraphCall::threshold, "float",
                    kDefaultClusterThreshold},
                   {"alpha", &SimilarityGraphCall::alpha, "float", kDefaultAlpha},
                   {"beta", &SimilarityGraphCall::beta, "float", kDefaultBeta}},
        .returns = "tuple[np.ndarray, np.ndarray, np.ndarray, int]",
        .doc = "\n"
               "    The pairs i < j whose similarity reaches `threshold`, as arrays (rows, cols,\n"
               "    similarities), and how many pairs an exact upper bound ruled out unmeasured.\n"
               "    The similarities are the numbers `pairwise_matrix` holds at [i, j].\n"
               "    ",
        .body =
            [](const SimilarityGraphCall& c) {
                return similarity_graph(c.descriptors, c.threshold, c.alpha, c.beta);
            },
    },
    Declaration<ClusterGraphCall>{
        .name = "cluster_graph",
        .params = {{"descriptors", &ClusterGraphCall::descriptors, "list[ExprDescriptor]",
                    Check::List},
                   {"rows", &ClusterGraphCall::rows, "np.ndarray"},
                   {"cols", &ClusterGraphCall::cols, "np.ndarray"}},
        .returns = "list[list[ExprDescriptor]]",
        .doc = "\n"
               "    `cluster_by_similarity` on a similarity graph: the same clusters, in the same\n"
               "    order, as on the dense matrix thresholded where the graph was.\n"
               "    ",
        .body =
            [](const ClusterGraphCall& c) { return cluster_graph(c.descriptors, c.rows, c.cols); },
    },
    Declaration<DescriptorsCall>{
        .name = "pack_descriptors",
        .params = {{"descriptors", &DescriptorsCall::descriptors, "list[ExprDescriptor]",
                    Check::List}},
        .returns = "bytes",
        .doc = "Descriptors as compact bytes (trees, operators, behaviour) for graph blocks on "
               "workers.",
        .body = [](const DescriptorsCall& c) { return pack_descriptors(c.descriptors); },
    },
    Declaration<PackedListCall>{
        .name = "_join_packed",
        .params = {{"packed", &PackedListCall::packed, "list[bytes]", Check::List}},
        .returns = "bytes",
        .doc = "Descriptors packed one by one, joined as pack_descriptors packs them together.",
        .body = [](const PackedListCall& c) { return join_packed(c.packed); },
    },
    Declaration<GraphOfBlocksCall>{
        .name = "graph_of_blocks",
        .params = {{"blocks", &GraphOfBlocksCall::blocks, "list[bytes]", Check::List},
                   {"offsets", &GraphOfBlocksCall::offsets, "list[int]", Check::List},
                   {"threshold", &GraphOfBlocksCall::threshold, "float"},
                   {"alpha", &GraphOfBlocksCall::alpha, "float", kDefaultAlpha},
                   {"beta", &GraphOfBlocksCall::beta, "float", kDefaultBeta},
                   {"fresh", &GraphOfBlocksCall::fresh, "list[bool] | None", kNone},
                   {"progress", &GraphOfBlocksCall::progress, "Callable[[int, int], object] | None",
                    kNone},
                   {"counts", &GraphOfBlocksCall::counts, "dict | None", Check::DictOrNone, kNone}},
        .returns = "tuple[np.ndarray, np.ndarray, np.ndarray, int]",
        .doc =
            "\n"
            "    The similarity graph of a bank packed in blocks (`pack_descriptors`; block k's\n"
            "    rows numbered from offsets[k]), as `similarity_graph` gives it: the blocks are\n"
            "    unpacked once and one index over all rows offers the candidate pairs. With\n"
            "    `fresh` (a flag per row), only the pairs holding a fresh row are measured and\n"
            "    counted. `progress(done, total)` follows the rows; `counts`, a dict, gets the\n"
            "    pairs the index offered (\"offered\") and those measured past every bound\n"
            "    (\"measured\").\n"
            "    ",
        .body =
            [](const GraphOfBlocksCall& c) {
                return graph_of_blocks(c.blocks, c.offsets, c.threshold, c.alpha, c.beta, c.fresh,
                                       c.progress, c.counts);
            },
    },
    Declaration<GraphBlockCall>{
        .name = "graph_block",
        .params = {{"rows_packed", &GraphBlockCall::rows_packed, "bytes"},
                   {"cols_packed", &GraphBlockCall::cols_packed, "bytes | None"},
                   {"threshold", &GraphBlockCall::threshold, "float"},
                   {"alpha", &GraphBlockCall::alpha, "float", kDefaultAlpha},
                   {"beta", &GraphBlockCall::beta, "float", kDefaultBeta},
                   {"same", &GraphBlockCall::same, "bool", false}},
        .returns = "tuple[np.ndarray, np.ndarray, np.ndarray, int]",
        .doc = "\n"
               "    One block of the similarity graph between two packed lists (block-local "
               "indices);\n"
               "    with `same`, the pairs i < j of the first list alone.\n"
               "    ",
        .body =
            [](const GraphBlockCall& c) {
                return graph_block(c.rows_packed, c.cols_packed, c.threshold, c.alpha, c.beta,
                                   c.same);
            },
    },
};

}  // namespace kt
