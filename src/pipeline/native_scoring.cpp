#include "pipeline/native_scoring.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "antiunify/native_cluster.hpp"
#include "kernels/packed.hpp"
#include "pipeline/cluster_account.hpp"
#include "pipeline/row_record.hpp"
#include "runtime/native_trees.hpp"
#include "runtime/numpy.hpp"
#include "runtime/state.hpp"
#include "similarity/scores.hpp"
#include "symbolic/codec.hpp"
#include "symbolic/print.hpp"
#include "symbolic/structure.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

// What the clusters of one call share: the library, its trees and behaviour, and the pool
// their trees are made in.
struct Batch {
    explicit Batch(const NativeScoringCall& call) : call(call) {}

    const NativeScoringCall& call;
    Py_ssize_t bank_size = 0;
    Library lib;
    std::shared_ptr<const LibraryTrees> trees;  // none for an empty library
    std::optional<LibraryBehaviour> behaviour;  // none when the library's descriptors are not
                                                // as `describe` makes them
    std::size_t grid = 0;  // the grid's length; 0 when it is not 1-d
    sym::Pool pool;
    SympyOracle oracle;
    sym::Builder builder{pool, oracle};
};

struct Member {
    RecordContents record;
    std::string packed;
};

std::string_view bytes_view(handle b) {
    if (!PyBytes_Check(b.ptr())) raise(PyExc_TypeError, "a member is (record bytes, packed bytes)");
    return {PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr())};
}

std::vector<Member> members_of(handle cluster) {
    Items items(cluster);
    std::vector<Member> out;
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        auto [record, packed] = unpack2(items[k]);
        std::string_view record_bytes = bytes_view(record), packed_bytes = bytes_view(packed);
        out.push_back({read_record(record_bytes), std::string(packed_bytes)});
    }
    return out;
}

// The labelled tree of a tree (`to_zss`), its labels those of the library's table.
kernels::FlatTree library_tree(Batch& b, sym::Expr e, Labels& labels) {
    sym::LabelTable table;
    kernels::FlatTree tree = sym::labelled_tree(b.pool, b.oracle, e, table);
    for (int& label : tree.labels) label = labels.of(table.texts()[(size_t)label]);
    kernels::lay_out(tree);
    return tree;
}

double behavioural(const Batch& b, const std::vector<Member>& members) {
    if (!b.behaviour) throw sym::Unsupported("library descriptors not as describe makes them");
    std::vector<MemberBehaviour> behaviours;
    for (const Member& m : members) {
        const RecordContents& r = m.record;
        behaviours.push_back({r.behavior_vec, r.derivative_approx, r.integral_approx,
                              r.stability_score, r.sensitivity_perturbation,
                              std::string(r.growth_class)});
    }
    std::optional<double> d = behavioural_distance_of(behaviours, *b.behaviour, b.grid);
    if (!d) throw sym::Unsupported("behaviour vectors off the grid");
    return *d;
}

double cohesion(const std::vector<Member>& members) {
    if (members.size() <= 1) return 0.0;
    std::vector<std::string> packed;
    for (const Member& m : members) packed.push_back(m.packed);
    const kernels::PackedBank bank = kernels::join(packed);
    std::vector<const kernels::StructureFields*> structures;
    std::vector<const kernels::BehaviourFields*> behaviours;
    for (const auto& d : bank.items) {
        structures.push_back(&d.structure);
        behaviours.push_back(&d.behaviour);
    }
    return cohesion_of(structures, behaviours);
}

// The measures of a kept generalisation (cluster_parts in detect.cpp).
void measure(Batch& b, sym::Expr formula, const std::vector<Member>& members, ClusterParts& parts) {
    if (b.trees) {
        const sym::Expr normalized = normalize_wildcards(b.builder, formula);
        Labels labels(&b.trees->labels);
        const std::optional<kernels::FlatTree> tree = library_tree(b, normalized, labels);
        auto [structural, closest] = closest_entry(tree, *b.trees, b.lib.names);
        parts.structural = structural;
        parts.closest = closest;
        // The closest law's distance is the smallest to any law: the sums and products of two
        // are measured only as far as they could be closer.
        parts.compositionality = pyfloat(compositionality_of(
            tree, *b.trees, std::isinf(structural) ? -1 : (long long)structural));
    } else {
        parts.closest = pystr("none");
        parts.compositionality = pyfloat(0.0);
    }
    parts.behavioral = pyfloat(behavioural(b, members));
    long long total = 0;
    for (const Member& m : members) total += (long long)m.record.n_nodes;
    parts.compression_gain = pyfloat(compression_of(total, (long long)sym::node_count(formula)));
    parts.cohesion = cohesion(members);
}

object score_cluster(Batch& b, handle cluster) {
    const std::vector<Member> members = members_of(cluster);
    std::vector<sym::Expr> canonical;
    for (const Member& m : members) {
        canonical.push_back(sym::decode(b.pool, m.record.canonical));
        // Names the fold gives meaning to are left to the sympy path where a member has them.
        if (holds_wildcard(canonical.back()))
            throw sym::Unsupported("a member with a wildcard's name");
    }
    ClusterParts parts;
    std::optional<sym::Expr> formula = generalize_cluster(b.builder, canonical);
    if (formula && b.call.merge_wildcards) formula = merge_wildcards(b.builder, *formula);
    if (!formula) {
        parts.formula = none();
    } else if (!is_valid_generalization(*formula, b.call.max_wildcard_density)) {
        parts.formula = b.oracle.trees()(*formula);
    } else {
        formula = display_canonical(b.builder, *formula);
        parts.kept = true;
        parts.formula = b.oracle.trees()(*formula);
        measure(b, *formula, members, parts);
    }
    const ClusterScore score =
        parts.kept ? score_of_parts(parts,
                                    pyfloat(recurrence_from(
                                        *parts.cohesion, (Py_ssize_t)members.size(), b.bank_size)),
                                    b.call)
                   : score_of_parts(parts, handle(), b.call);
    if (!is_candidate(score, b.call.novelty_threshold))
        return account(parts, score, Py_None, b.call);
    // Members as the bank gave them, not in their canonical form.
    object exprs = new_list();
    for (const Member& m : members)
        append(exprs, b.oracle.trees()(sym::decode(b.pool, m.record.formula)));
    object found = candidate(score, exprs, pystr(members[0].record.growth_class));
    object out = account(parts, score, found, b.call);
    check_status(
        PyDict_SetItemString(out.ptr(), "text", pystr(sym::str(b.pool, b.oracle, *formula)).ptr()));
    return out;
}

}  // namespace

object score_native_clusters(const NativeScoringCall& call) {
    Batch b(call);
    b.bank_size = (Py_ssize_t)PyLong_AsLongLong(call.bank_size.ptr());
    if (b.bank_size == -1 && PyErr_Occurred()) throw nb::python_error();
    b.lib = library_of(call.library, call.lib_descs);
    if (PyList_GET_SIZE(b.lib.exprs.ptr()) > 0) b.trees = library_trees(b.lib.exprs);
    b.behaviour = library_behaviour(call.lib_descs);
    Float64View grid(module_global("GRID"));
    if (grid.valid()) b.grid = (std::size_t)grid.size();

    object out = new_list();
    Items clusters(call.clusters);
    for (Py_ssize_t k = 0; k < clusters.size(); ++k) {
        object account;
        try {
            account = score_cluster(b, clusters[k]);
        } catch (const nb::python_error&) {
            throw;  // KeyboardInterrupt, MemoryError, a malformed call: the run's, not the
                    // cluster's
        } catch (const std::exception&) {
            account = none();  // what the native path does not decide: the sympy path scores it
        }
        append(out, account);
    }
    if (call.delegated) *call.delegated += b.builder.delegated();
    return out;
}

}  // namespace kt
