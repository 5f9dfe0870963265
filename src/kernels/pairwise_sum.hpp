// numpy's sum of float64 values (`np.sum`, `np.add.reduce` along a contiguous axis): pairwise
// summation in blocks of at most 128 with eight accumulators, added to the reduction's identity,
// so that a native sum equals numpy's to the last bit.
#pragma once

#include <cstddef>

namespace kt::kernels {

inline double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = -0.0;  // keeps a sum of negative zeros negative, as numpy does
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// `np.sum`: the reduction starts from 0.0, so a sum of negative zeros is 0.0.
inline double numpy_sum(const double* a, std::size_t n) { return 0.0 + pairwise_sum(a, n); }

}  // namespace kt::kernels
