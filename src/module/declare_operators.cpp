// The classes of the operators subsystem (SymbolicOperator, NumpyCompiler,
// ControlledCompositionGenerator) and the behaviour report driver `behavior`.
#include "module/declarations.hpp"

#include "operators/behavior_report.hpp"
#include "operators/composition.hpp"
#include "operators/numpy_compiler.hpp"
#include "operators/symbolic_operator.hpp"
#include "pipeline/score_weights.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {

// ---- SymbolicOperator -------------------------------------------------------------------------

struct Self {
    handle self;
};

struct OperatorInit {
    handle self, name, params, body;
};

struct OperatorCall {
    handle self, args;
};

struct OperatorExpand {
    handle self, expr;
};

struct SplitArgs {
    handle self, arg_str;
};

struct FromStructure {
    handle cls, name, structure;
};

const FuncDef operator_init_def = Declaration<OperatorInit>{
    .name = "__init__",
    .params = {{"self", &OperatorInit::self},
               {"name", &OperatorInit::name, "str", Check::Str},
               {"params", &OperatorInit::params, "List[str]", Check::List},
               {"body", &OperatorInit::body, "str", Check::Str}},
    .body =
        [](const OperatorInit& c) {
            return symbolic_operator::init(c.self, c.name, c.params, c.body);
        },
    .qualname = "SymbolicOperator.__init__",
};

const FuncDef operator_call_def = Declaration<OperatorCall>{
    .name = "__call__",
    .params = {{"self", &OperatorCall::self},
               {"args",
                &OperatorCall::args,
                "Union[str, 'SymbolicOperator']",
                Check::Any,
                {},
                Kind::VarArgs}},
    .returns = "str",
    .body = [](const OperatorCall& c) { return symbolic_operator::call(c.self, c.args); },
    .qualname = "SymbolicOperator.__call__",
};

const FuncDef operator_expand_def = Declaration<OperatorExpand>{
    .name = "expand",
    .params = {{"self", &OperatorExpand::self}, {"expr", &OperatorExpand::expr, "str"}},
    .returns = "str",
    .doc = "Inline every call of this operator, outermost first, until none is left.",
    .body = [](const OperatorExpand& c) { return symbolic_operator::expand(c.self, c.expr); },
    .qualname = "SymbolicOperator.expand",
};

const FuncDef operator_split_args_def = Declaration<SplitArgs>{
    .name = "_split_args",
    .params = {{"self", &SplitArgs::self}, {"arg_str", &SplitArgs::arg_str, "str"}},
    .returns = "List[str]",
    .doc = "Split an argument string at top-level commas.",
    .body = [](const SplitArgs& c) { return symbolic_operator::split_args(c.arg_str); },
    .qualname = "SymbolicOperator._split_args",
};

const FuncDef operator_from_structure_def = Declaration<FromStructure>{
    .name = "from_structure",
    .params = {{"cls", &FromStructure::cls},
               {"name", &FromStructure::name, "str"},
               {"structure", &FromStructure::structure}},
    .returns = "'SymbolicOperator'",
    .doc = "An operator over p0, p1, ... from a formula whose variables are v<k> or \xcf\x86<k>.",
    .body =
        [](const FromStructure& c) {
            return symbolic_operator::from_structure(c.cls, c.name, c.structure);
        },
    .qualname = "SymbolicOperator.from_structure",
};

const FuncDef operator_repr_def = Declaration<Self>{
    .name = "__repr__",
    .params = {{"self", &Self::self}},
    .body = [](const Self& c) { return symbolic_operator::repr(c.self); },
    .qualname = "SymbolicOperator.__repr__",
};

// ---- NumpyCompiler ----------------------------------------------------------------------------

struct CompileText {
    handle cls, expr, op;
};

struct NumpyText {
    handle cls, numpy_expr;
};

struct CleanResult {
    handle cls, result;
};

struct Evaluate {
    handle cls, expr, op, kwargs;
};

const FuncDef to_numpy_expr_def = Declaration<CompileText>{
    .name = "to_numpy_expr",
    .params = {{"cls", &CompileText::cls},
               {"expr", &CompileText::expr, "str"},
               {"op", &CompileText::op, "SymbolicOperator"}},
    .returns = "str",
    .body = [](const CompileText& c) { return numpy_compiler::to_numpy_expr(c.cls, c.expr, c.op); },
    .qualname = "NumpyCompiler.to_numpy_expr",
};

const FuncDef extract_variables_def = Declaration<NumpyText>{
    .name = "extract_variables",
    .params = {{"cls", &NumpyText::cls}, {"numpy_expr", &NumpyText::numpy_expr, "str"}},
    .returns = "List[str]",
    .body =
        [](const NumpyText& c) { return numpy_compiler::extract_variables(c.cls, c.numpy_expr); },
    .qualname = "NumpyCompiler.extract_variables",
};

const FuncDef clean_result_def = Declaration<CleanResult>{
    .name = "_clean_result",
    .params = {{"cls", &CleanResult::cls}, {"result", &CleanResult::result}},
    .body = [](const CleanResult& c) { return numpy_compiler::clean_result(c.result); },
    .qualname = "NumpyCompiler._clean_result",
};

const FuncDef compile_def = Declaration<CompileText>{
    .name = "compile",
    .params = {{"cls", &CompileText::cls},
               {"expr", &CompileText::expr, "str"},
               {"op", &CompileText::op, "SymbolicOperator"}},
    .returns = "Tuple[Callable, List[str], str]",
    .doc = "Compile composition text into a numpy function; returns (function, variables, numpy "
           "text).",
    .body = [](const CompileText& c) { return numpy_compiler::compile(c.cls, c.expr, c.op); },
    .qualname = "NumpyCompiler.compile",
};

const FuncDef evaluate_def = Declaration<Evaluate>{
    .name = "evaluate",
    .params = {{"cls", &Evaluate::cls},
               {"expr", &Evaluate::expr, "str"},
               {"op", &Evaluate::op, "SymbolicOperator"},
               {"kwargs", &Evaluate::kwargs, nullptr, Check::Any, {}, Kind::VarKw}},
    .doc = "Compile and evaluate at the given variable values: a float, or the cleaned array.",
    .body =
        [](const Evaluate& c) { return numpy_compiler::evaluate(c.cls, c.expr, c.op, c.kwargs); },
    .qualname = "NumpyCompiler.evaluate",
};

// ---- ControlledCompositionGenerator ---------------------------------------------------------

struct GeneratorInit {
    handle self, seed, atoms, level_probs;
};

struct Compose {
    handle self, op, max_level, slot_levels;
};

struct Build {
    handle self, op, level;
};

struct ComputeLevel {
    handle self, expr, op;
};

struct BehaviorBlocksCall {
    handle result, category;
};

struct GenerateMultiple {
    handle self, op, count, max_level, slot_levels;
};

const FuncDef generator_init_def = Declaration<GeneratorInit>{
    .name = "__init__",
    .params = {{"self", &GeneratorInit::self},
               {"seed", &GeneratorInit::seed, nullptr, kNone},
               {"atoms", &GeneratorInit::atoms, nullptr, kNone},
               {"level_probs", &GeneratorInit::level_probs, nullptr, kNone}},
    .body =
        [](const GeneratorInit& c) {
            return composition::init(c.self, c.seed, c.atoms, c.level_probs);
        },
    .qualname = "ControlledCompositionGenerator.__init__",
};

const FuncDef generator_primitive_def = Declaration<Self>{
    .name = "_primitive",
    .params = {{"self", &Self::self}},
    .body = [](const Self& c) { return composition::primitive(c.self); },
    .qualname = "ControlledCompositionGenerator._primitive",
};

const FuncDef generator_compose_def = Declaration<Compose>{
    .name = "compose",
    .params = {{"self", &Compose::self},
               {"op", &Compose::op, "SymbolicOperator"},
               {"max_level", &Compose::max_level, "int", Check::Int, 2},
               {"slot_levels", &Compose::slot_levels, "Optional[List[int]]", kNone}},
    .returns = "str",
    .doc = "A random nesting of `op` up to `max_level`, or with one given level per argument.",
    .body =
        [](const Compose& c) {
            return composition::compose(c.self, c.op, c.max_level, c.slot_levels);
        },
    .qualname = "ControlledCompositionGenerator.compose",
};

const FuncDef generator_build_def = Declaration<Build>{
    .name = "_build",
    .params = {{"self", &Build::self},
               {"op", &Build::op, "SymbolicOperator"},
               {"level", &Build::level, "int"}},
    .returns = "str",
    .body = [](const Build& c) { return composition::build(c.self, c.op, c.level); },
    .qualname = "ControlledCompositionGenerator._build",
};

const FuncDef generator_compute_level_def = Declaration<ComputeLevel>{
    .name = "compute_level",
    .params = {{"self", &ComputeLevel::self},
               {"expr", &ComputeLevel::expr, "str"},
               {"op", &ComputeLevel::op, "SymbolicOperator"}},
    .returns = "int",
    .doc = "The nesting depth of `op`'s calls in `expr` (0 for a primitive).",
    .body = [](const ComputeLevel& c) { return composition::compute_level(c.expr, c.op); },
    .qualname = "ControlledCompositionGenerator.compute_level",
};

const FuncDef generator_generate_multiple_def = Declaration<GenerateMultiple>{
    .name = "generate_multiple",
    .params = {{"self", &GenerateMultiple::self},
               {"op", &GenerateMultiple::op},
               {"count", &GenerateMultiple::count, "int", Check::Int, 5},
               {"max_level", &GenerateMultiple::max_level, "int", Check::Int, 2},
               {"slot_levels", &GenerateMultiple::slot_levels, nullptr, kNone}},
    .doc = "`count` compositions, in generation order.",
    .body =
        [](const GenerateMultiple& c) {
            return composition::generate_multiple(c.self, c.op, c.count, c.max_level,
                                                  c.slot_levels);
        },
    .qualname = "ControlledCompositionGenerator.generate_multiple",
};

// What the operator classes' code reads from the module namespace.
void bind_operator_imports(handle m) {
    bind_global(m, "random", import_module("random"));
    bind_global(m, "re", import_module("re"));
    bind_global(m, "ast", import_module("ast"));
    import_from(m, "typing", {"List", "Union", "Optional", "Callable", "Tuple"});
}

}  // namespace

const ClassDef symbolic_operator_class{
    .name = "SymbolicOperator",
    .doc = "\n    A named symbolic operator defined by parameters and a body.\n\n"
           "    Composition produces nested calls: O(O(x, p, w), z, y)\n"
           "    Expansion inlines the body: m*(m*(x + p - w) + z - y)\n    ",
    .methods = {{&operator_init_def},
                {&operator_call_def},
                {&operator_expand_def},
                {&operator_split_args_def},
                {&operator_from_structure_def, true},
                {&operator_repr_def}},
};

const ClassDef numpy_compiler_class{
    .name = "NumpyCompiler",
    .doc = "\n    Compiles compositional expressions into executable numpy functions.\n\n"
           "    Usage:\n        expr = \"MulSum(x, y, z, w)\"\n"
           "        func, vars, np_expr = NumpyCompiler.compile(expr, MulSum)\n"
           "        result = func(x=1.0, y=2.0, z=3.0, w=4.0)\n"
           "        # or with arrays:\n"
           "        result = func(x=np.array([1,2]), y=np.array([3,4]), ...)\n    ",
    .methods = {{&to_numpy_expr_def, true},
                {&extract_variables_def, true},
                {&clean_result_def, true},
                {&compile_def, true},
                {&evaluate_def, true}},
    .attributes = {{"MATH_FUNCS", numpy_compiler::math_funcs},
                   {"CONSTANTS", numpy_compiler::constants}},
};

const ClassDef composition_generator_class{
    .name = "ControlledCompositionGenerator",
    .doc = "\n    Controlled composition with strict typed argument levels.\n\n    Levels:\n"
           "      Level 0: primitives (x, y, constants)\n"
           "      Level 1: operator applied to ALL primitives\n"
           "      Level 2: operator applied to mix of Level-0 and Level-1\n"
           "      Level N: operator applied to mix of Level-0 ... Level-(N-1)\n\n"
           "    By default, max_level=2 \xe2\x80\x94 shallow nesting only.\n    ",
    .methods = {{&generator_init_def},
                {&generator_primitive_def},
                {&generator_compose_def},
                {&generator_build_def},
                {&generator_compute_level_def},
                {&generator_generate_multiple_def}},
};

const Section operators_section{
    Step{bind_operator_imports},
    symbolic_operator_class,
    Step{init_compiler_namespace},
    numpy_compiler_class,
    composition_generator_class,
    // Thresholds and weights are passed on to detection as given, so their defaults are Python
    // objects of detection's values.
    Declaration<BehaviorCall>{
        .name = "behavior",
        .params = {{"bank", &BehaviorCall::bank},
                   {"alpha", &BehaviorCall::alpha},
                   {"beta", &BehaviorCall::beta},
                   {"library", &BehaviorCall::library},
                   {"var_ranges_bank", &BehaviorCall::var_ranges_bank, nullptr, kNone},
                   {"sim_threshold", &BehaviorCall::sim_threshold, nullptr,
                    kDefaultClusterThreshold},
                   {"novelty_threshold", &BehaviorCall::novelty_threshold, nullptr,
                    kDefaultNoveltyThreshold},
                   {"verbose", &BehaviorCall::verbose, nullptr, true},
                   {"category", &BehaviorCall::category, "str | None", Check::StrOrNone, kNone},
                   {"index", &BehaviorCall::index, "int | None", Check::IntOrNone, kNone}},
        .doc =
            "\n"
            "    Detect, filter and report every kept structure with ten compiled compositions.\n"
            "\n"
            "    Returns all blocks, the blocks of one category ('novel' or 'repeated'), or one\n"
            "    block when `index` is given.\n"
            "    ",
        .body = [](const BehaviorCall& c) { return behavior(c); },
    },
    Declaration<BehaviorBlocksCall>{
        .name = "_behavior_blocks",
        .params = {{"result", &BehaviorBlocksCall::result, "FilterResult"},
                   {"category", &BehaviorBlocksCall::category, "str | None", Check::StrOrNone,
                    kNone}},
        .returns = "list[str]",
        .doc = "The blocks behavior renders for a filter result's kept structures (novel, then "
               "repeated,\nor one category): a header, the report and ten compiled "
               "compositions.",
        .body = [](const BehaviorBlocksCall& c) { return behavior_blocks(c.result, c.category); },
    },
};

}  // namespace kt
