#include "similarity/bank_graph.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include "kernels/bank_index.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/pair_judge.hpp"

namespace kt {

using kernels::PackedBank;
using kernels::PackedDescriptor;

// Beyond the budget, the structural bound with the exact behavioural term, which every pair
// is pruned with, is below the threshold: that bound is at most
// alpha * structural_ceiling(weight of the distance bound) + beta, and neither the weights nor
// these operations increase with the distance.
int distance_budget(double threshold, double alpha, double beta, const std::vector<double>& w,
                    int largest) {
    if (!std::isfinite(threshold) || !(alpha >= 0) || !(beta >= 0)) return -1;
    int d = 0;
    while (d < (int)w.size() && alpha * kernels::structural_ceiling(w[d]) + beta * 1.0 >= threshold)
        ++d;
    const int budget = d - 1;
    return budget + 1 >= largest ? -1 : budget;
}

namespace {

int cores() { return pair_workers(1 << 16); }

// Rewrites a descriptor's label ids through `remap` and lays its tree out again.
void relabel(PackedDescriptor& d, const std::vector<int>& remap) {
    for (int& l : d.structure.tree.labels) l = remap[(size_t)l];
    kernels::lay_out(d.structure.tree);
    for (int& l : d.structure.operators) l = remap[(size_t)l];
    d.structure.root_type = remap[(size_t)d.structure.root_type];
    d.behaviour.growth_class = remap[(size_t)d.behaviour.growth_class];
}

// Calls `each(k)` for k < count on every core, off the GIL.
template <class Each>
void on_cores(size_t count, Each&& each) {
    std::atomic<size_t> next{0};
    run_released(std::max(1, std::min(cores(), (int)count)), [&](int, const Stop& stop) {
        for (size_t k = next++; k < count && !stop.load(std::memory_order_relaxed); k = next++)
            each(k);
    });
}

}  // namespace

PackedBank read_blocks(const std::vector<std::string>& blocks, std::vector<int>& sizes) {
    std::vector<PackedBank> parts(blocks.size());
    std::vector<std::string> errors(blocks.size());
    on_cores(blocks.size(), [&](size_t k) {
        try {
            parts[k] = kernels::unpack(blocks[k]);
        } catch (const std::invalid_argument& e) {
            errors[k] = e.what();
        }
    });
    for (const std::string& e : errors)
        if (!e.empty()) raise(PyExc_ValueError, e.c_str());
    PackedBank bank;
    std::unordered_map<std::string, int> ids;
    std::vector<std::vector<int>> remaps(parts.size());
    std::vector<char> moved(parts.size(), 0);
    for (size_t k = 0; k < parts.size(); ++k) {
        for (const std::string& label : parts[k].labels) {
            auto [it, added] = ids.emplace(label, (int)bank.labels.size());
            if (added) bank.labels.push_back(label);
            remaps[k].push_back(it->second);
        }
        for (size_t l = 0; l < remaps[k].size(); ++l) moved[k] |= remaps[k][l] != (int)l;
    }
    on_cores(parts.size(), [&](size_t k) {
        if (moved[k])
            for (PackedDescriptor& d : parts[k].items) relabel(d, remaps[k]);
    });
    sizes.clear();
    for (PackedBank& part : parts) {
        sizes.push_back((int)part.items.size());
        // A moved vector keeps its buffer: the behaviour views stay valid.
        for (PackedDescriptor& d : part.items) bank.items.push_back(std::move(d));
    }
    return bank;
}

GraphResult bank_graph(const PackedBank& bank, const std::vector<char>* fresh, double threshold,
                       double alpha, double beta, const Progress& progress) {
    GraphResult out;
    const int n = (int)bank.items.size();
    std::vector<const PackedDescriptor*> items;
    int largest = 0;
    for (const PackedDescriptor& d : bank.items) {
        items.push_back(&d);
        largest = std::max(largest, d.structure.tree.size());
    }
    const std::vector<double> weights = tree_weights(2 * largest);
    const kernels::GraphTerms terms{threshold, alpha, beta, weights.data()};
    const int budget = distance_budget(threshold, alpha, beta, weights, largest);
    // Asked from: every row, or the fresh ones (each pair holding one, once).
    std::vector<int> queries;
    for (int i = 0; i < n; ++i)
        if (!fresh || (*fresh)[(size_t)i]) queries.push_back(i);
    // Distinct trees (banks of variants repeat them), for the memo of their distances.
    std::vector<int> tree_ids;
    std::unique_ptr<DistanceMemo> memo;
    std::unique_ptr<kernels::BankIndex> index;
    {
        nb::gil_scoped_release release;
        kernels::TreeInterner interner;
        for (const auto* d : items) tree_ids.push_back(interner.id(d->structure.tree));
        memo = std::make_unique<DistanceMemo>(interner.size());
        if (budget >= 0) index = std::make_unique<kernels::BankIndex>(items, budget, terms);
    }
    const bool heavy = (long long)largest * largest > kLongTreePair;
    const int workers = pair_workers(n, 0, heavy);
    std::vector<std::vector<Edge>> found(workers);
    std::vector<long long> pruned(workers, 0), offered_pairs(workers, 0), measured(workers, 0);
    std::vector<kernels::SimilarityScratch> scratch(workers);
    std::vector<std::vector<int>> offered(workers), mark(workers);
    const long long total = (long long)queries.size();
    const long long chunk = std::clamp<long long>(total / 64, 256, 16384);
    for (long long start = 0; start < total; start += chunk) {
        const long long end = std::min(total, start + chunk);
        std::atomic<long long> next{start};
        auto work = [&](int w, const Stop& stop) {
            std::vector<int>& js = offered[(size_t)w];
            for (long long q = next++; q < end; q = next++) {
                const int i = queries[(size_t)q];
                // The pairs asked from row i: the later rows, or every row but the fresh
                // ones before it (q of them).
                const long long every = fresh ? n - 1 - q : n - 1 - i;
                if (index) {
                    index->candidates(i, fresh, js, mark[(size_t)w]);
                } else {
                    js.clear();
                    for (int j = fresh ? 0 : i + 1; j < n; ++j)
                        if (j != i && !(fresh && (*fresh)[(size_t)j] && j < i)) js.push_back(j);
                }
                pruned[(size_t)w] += every - (long long)js.size();
                offered_pairs[(size_t)w] += (long long)js.size();
                for (int j : js) {
                    if (stop.load(std::memory_order_relaxed)) return;
                    // The earlier row first: the operators' ratio is not symmetric.
                    const int a = std::min(i, j), b = std::max(i, j);
                    double value = 0.0;
                    const Verdict v =
                        judge_pair(*items[(size_t)a], *items[(size_t)b], terms,
                                   memo->cell(tree_ids[(size_t)a], tree_ids[(size_t)b]),
                                   scratch[(size_t)w], &stop, value);
                    if (v == Verdict::pruned) {
                        ++pruned[(size_t)w];
                        continue;
                    }
                    ++measured[(size_t)w];
                    if (v == Verdict::edge) found[(size_t)w].push_back({a, b, value});
                }
            }
        };
        if (workers == 1 && !heavy) {
            const Stop never{false};
            work(0, never);
        } else {
            run_released(workers, work);
        }
        for (auto& f : found) {
            out.edges.insert(out.edges.end(), f.begin(), f.end());
            f.clear();
        }
        if (progress) progress(end, total);
    }
    for (int w = 0; w < workers; ++w) {
        out.pruned += pruned[(size_t)w];
        out.offered += offered_pairs[(size_t)w];
        out.measured += measured[(size_t)w];
    }
    return out;
}

}  // namespace kt
