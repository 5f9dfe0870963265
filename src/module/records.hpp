// The three records passed between the stages of the pipeline.
#pragma once

#include "runtime/classes.hpp"

namespace kt {

extern const RecordDef expr_descriptor_record, generalized_candidate_record, filter_result_record;

}  // namespace kt
