#include "symbolic/legacy_random.hpp"

#include <cmath>

namespace kt::symbolic {

namespace {

constexpr int kN = 624, kM = 397;
constexpr std::uint32_t kMatrixA = 0x9908b0dfU, kUpper = 0x80000000U, kLower = 0x7fffffffU;

void init_genrand(std::uint32_t* mt, std::uint32_t s) {
    mt[0] = s;
    for (int i = 1; i < kN; ++i) mt[i] = 1812433253U * (mt[i - 1] ^ (mt[i - 1] >> 30)) + i;
}

}  // namespace

LegacyNormal::LegacyNormal(std::span<const std::uint32_t> key) {
    init_genrand(mt_, 19650218U);
    int i = 1, j = 0;
    const int length = (int)key.size();
    for (int k = kN > length ? kN : length; k; --k) {
        mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525U)) + key[j] + j;
        ++i, ++j;
        if (i >= kN) mt_[0] = mt_[kN - 1], i = 1;
        if (j >= length) j = 0;
    }
    for (int k = kN - 1; k; --k) {
        mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941U)) - i;
        ++i;
        if (i >= kN) mt_[0] = mt_[kN - 1], i = 1;
    }
    mt_[0] = 0x80000000U;
    pos_ = kN;
}

std::uint32_t LegacyNormal::next32() {
    if (pos_ >= kN) {
        int k = 0;
        for (; k < kN - kM; ++k) {
            const std::uint32_t y = (mt_[k] & kUpper) | (mt_[k + 1] & kLower);
            mt_[k] = mt_[k + kM] ^ (y >> 1) ^ (-(y & 1U) & kMatrixA);
        }
        for (; k < kN - 1; ++k) {
            const std::uint32_t y = (mt_[k] & kUpper) | (mt_[k + 1] & kLower);
            mt_[k] = mt_[k + (kM - kN)] ^ (y >> 1) ^ (-(y & 1U) & kMatrixA);
        }
        const std::uint32_t y = (mt_[kN - 1] & kUpper) | (mt_[0] & kLower);
        mt_[kN - 1] = mt_[kM - 1] ^ (y >> 1) ^ (-(y & 1U) & kMatrixA);
        pos_ = 0;
    }
    std::uint32_t y = mt_[pos_++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

// 53 random bits from two words, as the legacy generator makes a double.
double LegacyNormal::next_double() {
    const std::int32_t a = (std::int32_t)(next32() >> 5), b = (std::int32_t)(next32() >> 6);
    return (a * 67108864.0 + b) / 9007199254740992.0;
}

double LegacyNormal::gauss() {
    if (has_gauss_) {
        has_gauss_ = false;
        const double kept = gauss_;
        gauss_ = 0.0;
        return kept;
    }
    double x1, x2, r2;
    do {
        x1 = 2.0 * next_double() - 1.0;
        x2 = 2.0 * next_double() - 1.0;
        r2 = x1 * x1 + x2 * x2;
    } while (r2 >= 1.0 || r2 == 0.0);
    const double f = std::sqrt(-2.0 * std::log(r2) / r2);
    gauss_ = f * x1;
    has_gauss_ = true;
    return f * x2;
}

}  // namespace kt::symbolic
