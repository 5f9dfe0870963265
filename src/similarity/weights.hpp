// The weights of the joint similarity S = alpha * S_structure + beta * S_behavior where a caller
// gives none, and the similarity at which detection clusters by default: every declaration and
// path reads them here.
#pragma once

namespace kt {

inline constexpr double kDefaultAlpha = 0.85;
inline constexpr double kDefaultBeta = 0.15;
inline constexpr double kDefaultClusterThreshold = 0.85;

}  // namespace kt
