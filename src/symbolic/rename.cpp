#include "symbolic/rename.hpp"

#include <vector>

namespace kt::symbolic {

namespace {

class Renamer {
public:
    Renamer(Builder& builder, const Renaming& mapping) : b_(builder), mapping_(mapping) {}

    Expr operator()(Expr e, int depth) {
        if (depth > kMaxDepth) throw Unsupported("a tree too deep to rename");
        if (e->kind == Kind::Symbol) {
            auto found = mapping_.find(e);
            return found == mapping_.end() ? e : found->second;
        }
        if (e->is_atom()) return e;
        auto known = done_.find(e);
        if (known != done_.end()) return known->second;
        std::vector<Expr> kids;
        bool changed = false;
        for (Expr a : e->args) {
            kids.push_back((*this)(a, depth + 1));
            changed = changed || kids.back() != a;
        }
        Expr out = e;
        if (changed) {
            switch (e->kind) {
                case Kind::Add:
                    out = b_.add(kids);
                    break;
                case Kind::Mul:
                    out = b_.mul(kids);
                    break;
                case Kind::Pow:
                    out = b_.pow(kids[0], kids[1]);
                    break;
                default:
                    out = b_.call(e->fn, kids[0]);
            }
        }
        done_.emplace(e, out);
        return out;
    }

private:
    Builder& b_;
    const Renaming& mapping_;
    std::unordered_map<Expr, Expr> done_;
};

}  // namespace

Expr rename(Builder& builder, Expr e, const Renaming& mapping) {
    return Renamer(builder, mapping)(e, 0);
}

}  // namespace kt::symbolic
