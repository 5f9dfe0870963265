#include "runtime/labels.hpp"

#include "runtime/state.hpp"

namespace kt {

int Labels::of(std::string_view text) {
    std::string key(text);
    if (base_) {
        auto it = base_->ids_.find(key);
        if (it != base_->ids_.end()) return it->second;
    }
    auto [it, added] = ids_.try_emplace(key, next_);
    if (added) {
        ++next_;
        own_texts_.push_back(std::move(key));
    }
    return it->second;
}

const std::string& Labels::text(int id) const {
    const int first_own = base_ ? base_->next_ : 0;
    if (id < first_own) return base_->text(id);
    return own_texts_[(size_t)(id - first_own)];
}

std::vector<std::string> Labels::texts() const {
    std::vector<std::string> out(ids_.size());
    for (const auto& [text, id] : ids_) out[(size_t)id] = text;
    return out;
}

int Labels::of_type(handle expr) {
    PyTypeObject* type = Py_TYPE(expr.ptr());
    if (base_) {
        auto it = base_->types_.find(type);
        if (it != base_->types_.end()) return it->second;
    }
    auto it = types_.find(type);
    if (it != types_.end()) return it->second;
    int id = of(utf8(class_name(expr)));
    kept_.push_back(nb::borrow((PyObject*)type));  // the address stays this type's
    types_.emplace(type, id);
    return id;
}

int Labels::of_leaf(handle leaf) {
    if (base_) {
        auto it = base_->leaves_.find(leaf.ptr());
        if (it != base_->leaves_.end()) return it->second;
    }
    auto it = leaves_.find(leaf.ptr());
    if (it != leaves_.end()) return it->second;
    int id = of(utf8(printed(leaf)));
    kept_.push_back(nb::borrow(leaf));
    leaves_.emplace(leaf.ptr(), id);
    return id;
}

namespace {

int add_subtree(handle expr, Labels& labels, kernels::FlatTreeBuilder& builder) {
    RecursionGuard guard(" while building a labelled tree");
    Items args(get_attr(expr, state().s_args), "expr.args is not a sequence");
    if (args.size() == 0) return builder.finish(labels.of_leaf(expr), -1);
    const int label = labels.of_type(expr);
    int first = -1;
    for (Py_ssize_t i = 0; i < args.size(); ++i) {
        int child = add_subtree(args[i], labels, builder);
        if (i == 0) first = child;
    }
    return builder.finish(label, first);
}

}  // namespace

kernels::FlatTree flat_tree(handle expr, Labels& labels) {
    kernels::FlatTreeBuilder builder;
    add_subtree(expr, labels, builder);
    return builder.take();
}

}  // namespace kt
