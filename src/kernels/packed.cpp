#include "kernels/packed.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace kt::kernels {

namespace {

constexpr char kMagic[4] = {'K', 'T', 'P', '1'};

class Writer {
public:
    template <class T>
    void put(T v) {
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    void ints(const std::vector<int>& v) {
        put<std::int64_t>((std::int64_t)v.size());
        out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(int));
    }
    std::string out;
};

// Reads the bytes after the magic. Every length is checked against the bytes left before
// anything is allocated for it, so a crafted length fails at once instead of asking for memory.
class Reader {
public:
    Reader(const std::string& s, size_t at) : s_(s), at_(at) {}
    template <class T>
    T get() {
        need(sizeof(T));
        T v;
        std::memcpy(&v, s_.data() + at_, sizeof v);
        at_ += sizeof v;
        return v;
    }
    std::vector<int> ints() {
        const size_t n = count(sizeof(int));
        if (n > (size_t)std::numeric_limits<int>::max())
            throw std::invalid_argument("packed array too long");
        std::vector<int> v(n);
        std::memcpy(v.data(), s_.data() + at_, n * sizeof(int));
        at_ += n * sizeof(int);
        return v;
    }
    std::vector<double> doubles() {
        const size_t n = count(sizeof(double));
        std::vector<double> v(n);
        std::memcpy(v.data(), s_.data() + at_, n * sizeof(double));
        at_ += n * sizeof(double);
        return v;
    }
    std::string text() {
        const size_t n = count(1);
        std::string t = s_.substr(at_, n);
        at_ += n;
        return t;
    }
    // A length prefix for items of `size` bytes, which must all be present.
    size_t count(size_t size) {
        const std::int64_t n = get<std::int64_t>();
        if (n < 0) throw std::invalid_argument("negative length");
        if ((std::uint64_t)n > (s_.size() - at_) / size)
            throw std::invalid_argument("truncated packed descriptors");
        return (size_t)n;
    }
    void need(size_t n) const {
        if (n > s_.size() - at_) throw std::invalid_argument("truncated packed descriptors");
    }
    bool done() const { return at_ == s_.size(); }

private:
    const std::string& s_;
    size_t at_;
};

void check_label(int id, size_t labels) {
    if (id < 0 || (size_t)id >= labels) throw std::invalid_argument("label out of range");
}

}  // namespace

std::string pack(const PackedBank& bank) {
    Writer w;
    w.out.append(kMagic, 4);
    w.put<std::int64_t>((std::int64_t)bank.labels.size());
    for (const std::string& l : bank.labels) {
        w.put<std::int64_t>((std::int64_t)l.size());
        w.out += l;
    }
    w.put<std::int64_t>((std::int64_t)bank.items.size());
    for (const PackedDescriptor& d : bank.items) {
        const StructureFields& s = d.structure;
        w.ints(s.tree.labels);
        w.ints(s.tree.leftmost);
        w.ints(s.tree.keyroots);
        w.ints(s.operators);
        w.put<std::int32_t>(s.root_type);
        w.put<std::int32_t>(s.repeated_var);
        w.put<std::int64_t>(s.unary_depth);
        const BehaviourFields& b = d.behaviour;
        w.put<double>(b.frac_invalid);
        w.put<std::uint8_t>(b.has_vector ? 1 : 0);
        w.put<std::int64_t>((std::int64_t)d.values.size());
        w.out.append(reinterpret_cast<const char*>(d.values.data()),
                     d.values.size() * sizeof(double));
        w.put<std::int32_t>(b.growth_class);
        w.put<std::int32_t>(b.monotone);
        w.put<std::int32_t>(b.bounded);
        w.put<std::int32_t>(b.periodic);
    }
    return std::move(w.out);
}

namespace {

void check_tree(const FlatTree& tree) {
    if (tree.leftmost.size() != tree.labels.size())
        throw std::invalid_argument("inconsistent tree: " + std::to_string(tree.labels.size()) +
                                    " labels but " + std::to_string(tree.leftmost.size()) +
                                    " leftmost leaves");
    if (!is_post_order_tree(tree.leftmost))
        throw std::invalid_argument(
            "inconsistent tree: the leftmost leaves do not describe a tree in post-order");
    if (tree.keyroots != keyroots_of(tree.leftmost))
        throw std::invalid_argument(
            "inconsistent tree: the keyroots are not those of its leftmost leaves");
}

}  // namespace

PackedBank unpack(const std::string& bytes) {
    if (bytes.size() < 4 || std::memcmp(bytes.data(), kMagic, 4) != 0)
        throw std::invalid_argument("not packed descriptors");
    Reader in(bytes, 4);
    PackedBank bank;
    // Each label and item takes at least eight bytes, so neither loop outgrows the input.
    const size_t nlabels = in.count(8);
    for (size_t k = 0; k < nlabels; ++k) bank.labels.push_back(in.text());
    const size_t n = in.count(8);
    for (size_t k = 0; k < n; ++k) {
        PackedDescriptor d;
        StructureFields& s = d.structure;
        s.tree.labels = in.ints();
        s.tree.leftmost = in.ints();
        s.tree.keyroots = in.ints();
        s.operators = in.ints();
        s.root_type = in.get<std::int32_t>();
        s.repeated_var = in.get<std::int32_t>();
        s.unary_depth = in.get<std::int64_t>();
        check_tree(s.tree);
        lay_out(s.tree);
        for (int label : s.tree.labels) check_label(label, bank.labels.size());
        for (int op : s.operators) check_label(op, bank.labels.size());
        check_label(s.root_type, bank.labels.size());
        BehaviourFields& b = d.behaviour;
        b.frac_invalid = in.get<double>();
        b.has_vector = in.get<std::uint8_t>() != 0;
        d.values = in.doubles();
        b.growth_class = in.get<std::int32_t>();
        check_label(b.growth_class, bank.labels.size());
        b.monotone = in.get<std::int32_t>();
        b.bounded = in.get<std::int32_t>();
        b.periodic = in.get<std::int32_t>();
        bank.items.push_back(std::move(d));
    }
    if (!in.done()) throw std::invalid_argument("trailing bytes after packed descriptors");
    for (auto& d : bank.items) {
        d.behaviour.vector = d.values.data();
        d.behaviour.length = (long long)d.values.size();
    }
    return bank;
}

void unify_labels(PackedBank& base, PackedBank& other) {
    std::unordered_map<std::string, int> ids;
    for (size_t k = 0; k < base.labels.size(); ++k) ids.emplace(base.labels[k], (int)k);
    std::vector<int> remap(other.labels.size());
    for (size_t k = 0; k < other.labels.size(); ++k) {
        auto [it, added] = ids.emplace(other.labels[k], (int)base.labels.size());
        if (added) base.labels.push_back(other.labels[k]);
        remap[k] = it->second;
    }
    for (auto& d : other.items) {
        for (int& l : d.structure.tree.labels) l = remap[l];
        lay_out(d.structure.tree);
        for (int& l : d.structure.operators) l = remap[l];
        d.structure.root_type = remap[d.structure.root_type];
        d.behaviour.growth_class = remap[d.behaviour.growth_class];
    }
    other.labels = base.labels;
}

PackedBank join(const std::vector<std::string>& packed) {
    PackedBank out;
    for (const std::string& bytes : packed) {
        PackedBank next = unpack(bytes);
        unify_labels(out, next);
        for (auto& d : next.items) {
            out.items.push_back(std::move(d));
            // the vector points into `values`, which moved with it
            out.items.back().behaviour.vector = out.items.back().values.data();
        }
    }
    return out;
}

// The structural part is never below the exact structural similarity (proof beside the
// StructureFields overload). The behavioural term is the exact one or 1.0, its largest value
// (it is 0.3, 0.5 or clipped to [0, 1]), and alpha * s + beta * b does not decrease when s or b
// grows, under IEEE rounding, when alpha and beta are not negative.
double structural_bound(const PackedDescriptor& a, const PackedDescriptor& b,
                        const double* tree_weight) {
    return structural_bound(a.structure, b.structure, tree_weight);
}

double similarity_bound(const PackedDescriptor& a, const PackedDescriptor& b, double alpha,
                        double beta, const double* tree_weight, bool exact_behaviour) {
    // The behavioural similarity is at most 1.0, so the loose bound needs no vector at all.
    return alpha * structural_bound(a, b, tree_weight) +
           beta * (exact_behaviour ? behavioural_similarity(a.behaviour, b.behaviour) : 1.0);
}

}  // namespace kt::kernels
