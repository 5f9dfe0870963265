// How the module's public names are declared. Each declare_<subsystem>.cpp holds the sections
// of the module body its subsystem binds: tables of its public functions (declared in place),
// records, classes and the steps that bind other names, in binding order. init.cpp binds the
// sections in the module's order. A new public function is one more entry in its subsystem's
// table; `make stubs` then rewrites the stub.
#pragma once

#include <initializer_list>
#include <variant>
#include <vector>

#include "runtime/classes.hpp"
#include "runtime/function.hpp"

namespace kt {

// Code of the module body that binds names other than definitions: constants, imports.
struct Step {
    void (*run)(handle module);
};

// One entry of a section: a function, a record, a class or a step.
class Entry {
public:
    template <class F>
    Entry(const Declaration<F>& function) : what_(FuncDef(function)) {}
    Entry(const RecordDef& record) : what_(&record) {}
    Entry(const ClassDef& cls) : what_(&cls) {}
    Entry(Step step) : what_(step) {}

    // Functions keep pointing at their definitions, which sections hold for the process's life.
    void bind(handle module) const;

private:
    std::variant<FuncDef, const RecordDef*, const ClassDef*, Step> what_;
};

using Section = std::vector<Entry>;

// Binds `value` as the module attribute `name`.
void bind_global(handle module, const char* name, handle value);

// `from <module> import name, ...`, bound as module attributes.
void import_from(handle module, const char* from, std::initializer_list<const char*> names);

// The records of records.cpp.
extern const RecordDef expr_descriptor_record, generalized_candidate_record, filter_result_record;

// The sections, by subsystem; init.cpp lists them in the module's order.
extern const Section frame_section;
extern const Section descriptors_section, describe_section;
extern const Section similarity_section, similarity_matrix_section, similarity_graph_section;
extern const Section antiunify_section;
extern const Section pipeline_section, cluster_scoring_section;
extern const Section operators_section;
extern const Section llm_section, concepts_section;
extern const Section matching_section;

}  // namespace kt
