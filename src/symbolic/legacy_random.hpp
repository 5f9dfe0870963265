// numpy's legacy global generator: MT19937 seeded as `np.random.seed(key)` seeds it from an
// array of 32-bit words, and the normal deviates of `np.random.randn` (the polar method, one
// deviate kept for the next call).
#pragma once

#include <cstdint>
#include <span>

namespace kt::symbolic {

class LegacyNormal {
public:
    // `np.random.seed(key)` for a non-empty array of words (init_by_array).
    explicit LegacyNormal(std::span<const std::uint32_t> key);
    // The next value of `np.random.randn`.
    double gauss();

private:
    std::uint32_t next32();
    double next_double();

    std::uint32_t mt_[624];
    int pos_ = 624;
    bool has_gauss_ = false;
    double gauss_ = 0.0;
};

}  // namespace kt::symbolic
