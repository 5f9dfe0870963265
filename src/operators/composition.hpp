// Random nestings of an operator to a controlled depth, drawn from Python's own `random`
// generator, and the nesting depth of a text: the methods of ControlledCompositionGenerator.
#pragma once

#include "runtime/py.hpp"

namespace kt::composition {

object init(handle self, handle seed, handle atoms, handle level_probs);
// One primitive, drawn from the generator's atoms.
object primitive(handle self);
// A random nesting of `op` up to `max_level`, or with one given level per argument.
object compose(handle self, handle op, handle max_level, handle slot_levels);
// A composition of exactly `level`, its arguments drawn from the lower levels.
object build(handle self, handle op, handle level);
// The nesting depth of `op`'s calls in `expr` (0 for a primitive).
object compute_level(handle expr, handle op);
// `count` compositions, in generation order.
object generate_multiple(handle self, handle op, handle count, handle max_level,
                         handle slot_levels);

}  // namespace kt::composition
