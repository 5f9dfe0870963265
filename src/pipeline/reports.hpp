// Plain-text reports of candidates, of a filter result and of a compiled composition.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// One candidate as an 11-line block: its formula, behaviour, members and score.
object candidate_report(handle index, handle candidate);

struct StructureReportCall {
    handle index, candidate, seed, formula_text, members;
};

// candidate_report's block for a candidate of a run after np.random.seed(formula_seed(seed,
// formula)), made without sympy: the formula printed as `formula_text` (its str) and described
// natively, the members as printed (`members`, their str in order). None where the formula is
// not described natively, or the seed is no 32-bit unsigned integer.
object structure_report(const StructureReportCall& call);
// One block per candidate, numbered from 0; ["  (none)"] for an empty list.
object report_strings(handle candidates);
// The counts, then the novel, repeated and discarded sections of a filter result.
object filter_report_strings(handle result);
// The same report as one text from blocks rendered elsewhere: `blocks` holds the reported
// sections' blocks in order (novel, then repeated), numbered for their section, and `formulas`
// is None or, for each discarded candidate, its formula as printed (None: the formula itself).
// With a category ('novel' or 'repeated') only its count and blocks, each block followed by an
// empty line.
object filter_report_text(handle result, handle blocks, handle category, handle formulas);
// The raw candidates, then the filter result, under their own headings.
object behavior_section_strings(handle candidates, handle result);
// Five lines describing one compiled composition and its values.
object composition_report(handle expr, handle vars, handle np_expr, handle eval_result,
                          handle vec_result);
// Prints every candidate block, each followed by an empty line.
object report(handle candidates);
// Prints the lines of a filter result.
object filter_report(handle result);

}  // namespace kt
