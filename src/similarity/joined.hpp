// Descriptors packed one by one (as the native reading pass packs each row) joined into one
// packed block, as `pack_descriptors` packs them together.
#pragma once

#include "runtime/py.hpp"

namespace kt {

object join_packed(handle packed);

}  // namespace kt
