#include "pipeline/structure_match.hpp"

#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "matching/library_match.hpp"
#include "matching/native_bind.hpp"
#include "pipeline/row_record.hpp"
#include "runtime/native_trees.hpp"
#include "symbolic/codec.hpp"
#include "symbolic/print.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

std::string_view bytes_view(handle b) {
    if (!PyBytes_Check(b.ptr())) raise(PyExc_TypeError, "a member's trees are bytes");
    return {PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr())};
}

object bytes_of(const std::string& s) {
    return check(PyBytes_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
}

struct Member {
    sym::Expr formula, core;
};

class StructureMatch {
public:
    StructureMatch(handle candidate, handle library, double near)
        : lib_(prepared(library)), formula_(get_attr(candidate, "formula")), near_(near) {}

    sym::Pool& pool() { return pool_; }

    object operator()(const std::vector<Member>& members) {
        // The distinct members in order of first appearance: one pointer per tree.
        std::vector<sym::Expr> distinct;
        std::unordered_map<sym::Expr, size_t> slot;
        for (const Member& m : members)
            if (slot.emplace(m.formula, distinct.size()).second) distinct.push_back(m.formula);

        // A member given alone is read with its φ-named symbols as wildcards; as a member of
        // the structure, without.
        Labels labels(&lib_->labels);
        const Shaped formula(read_tree(formula_, labels, true), labels, lib_->variable_label,
                             lib_->wildcard_label);
        std::deque<Shaped> alone, as_members;
        for (sym::Expr e : distinct) {
            alone.emplace_back(read(e, labels, true));
            if (alone.back().tree.wildcards() == 0)
                as_members.push_back(alone.back());
            else
                as_members.emplace_back(read(e, labels, false));
        }
        const std::optional<Hit> hit = structure_hit(*lib_, formula, as_members, near_);
        object match = match_record(*lib_, hit);
        object inherited = hit && hit->kind == MatchKind::Instance ? match : none();
        std::vector<object> own;
        for (const Shaped& m : alone) {
            const std::optional<Hit> found = formula_hit(*lib_, m, near_);
            own.push_back(found ? match_record(*lib_, *found) : inherited);
        }

        object member_matches = new_list(), bindings = new_list(), texts = new_list();
        for (const Member& m : members) {
            append(member_matches, own[slot.at(m.formula)]);
            auto [binding, text] = bound(m);
            append(bindings, binding);
            append(texts, text);
        }
        return nb::make_tuple(match, member_matches, bindings, texts);
    }

private:
    Shaped read(sym::Expr e, Labels& labels, bool wildcards) {
        return Shaped(read_tree(e, labels, wildcards, pool_, oracle_), labels, lib_->variable_label,
                      lib_->wildcard_label);
    }

    // A member's bindings and their texts, or (None, None): those of its formula, else of its
    // canonical core where that differs (a formula of canonical forms binds the core).
    std::pair<object, object> bound(const Member& m) {
        const std::pair<sym::Expr, sym::Expr> key{m.formula, m.core};
        auto known = bound_.find(key);
        if (known != bound_.end()) return known->second;
        if (!pattern_) pattern_.emplace(read_tree(formula_, bind_labels_, true));
        std::optional<TreeBinding> b = bind_tree(*pattern_, m.formula, bind_labels_, builder_);
        if (!b && m.core != m.formula) b = bind_tree(*pattern_, m.core, bind_labels_, builder_);
        std::pair<object, object> out{none(), none()};
        if (b) {
            object pairs = new_list(), text = check(PyDict_New());
            for (const auto& [s, value] : *b) {
                append(pairs, nb::make_tuple(pattern_->symbols[s], bytes_of(sym::encode(value))));
                check_status(PyDict_SetItem(text.ptr(), pystr(pattern_->names[s]).ptr(),
                                            pystr(sym::str(pool_, oracle_, value)).ptr()));
            }
            out = {pairs, text};
        }
        bound_.emplace(key, out);
        return out;
    }

    std::shared_ptr<const PreparedLibrary> lib_;
    object formula_;
    double near_;
    sym::Pool pool_;
    SympyOracle oracle_;
    sym::Builder builder_{pool_, oracle_};
    Labels bind_labels_;  // bind's own table: the formula and the trees it binds
    std::optional<ExprTree> pattern_;
    std::map<std::pair<sym::Expr, sym::Expr>, std::pair<object, object>> bound_;
};

}  // namespace

object match_structure(const StructureMatchCall& call) {
    StructureMatch match(call.candidate, call.library, call.near_threshold);
    Items given(call.trees);
    std::vector<Member> members;
    try {
        for (Py_ssize_t k = 0; k < given.size(); ++k) {
            auto [record, core] = unpack2(given[k]);
            members.push_back({sym::decode(match.pool(), record_tree(bytes_view(record), true)),
                               sym::decode(match.pool(), bytes_view(core))});
        }
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
    try {
        return match(members);
    } catch (const sym::Unsupported&) {
        return none();  // a tree too deep to match natively: the sympy path decides
    }
}

}  // namespace kt
