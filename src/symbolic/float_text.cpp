#include "symbolic/float_text.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "symbolic/bigint.hpp"
#include "symbolic/compare.hpp"

namespace kt::symbolic {

namespace {

constexpr int kDigits = 15;         // prec_to_dps(53)
constexpr int kMinFixed = -5;       // min(-(dps // 3), -5)
constexpr int kMaxFixed = kDigits;  // a leading digit at 10**15 or beyond takes an exponent
constexpr double kLog2Of10 = 3.3219280948873626;  // math.log(10, 2)

struct Digits {
    std::string digits;  // the leading digit first, truncated (never rounded)
    std::int64_t exponent = 0;
};

std::string decimal(unsigned __int128 n) {
    char buffer[40];
    char* end = buffer + sizeof buffer;
    char* at = end;
    do {
        *--at = (char)('0' + (int)(n % 10));
        n /= 10;
    } while (n);
    return std::string(at, end);
}

// floor(man * 10**fixdps * 2**exp) in 128 bits where it fits: man * 5**fixdps first (at most
// 53 + 2.33 * 31 bits), then the shift by fixdps + exp.
std::optional<std::string> small_digits(const Mpf& m, std::int64_t fixprec, std::int64_t fixdps) {
    if (fixprec == 0) {
        if (m.exp + m.bc > 127) return std::nullopt;
        return decimal((unsigned __int128)m.man << m.exp);
    }
    if (fixdps > 31) return std::nullopt;
    unsigned __int128 n = m.man;
    for (std::int64_t k = 0; k < fixdps; ++k) n *= 5;
    const std::int64_t shift = fixdps + m.exp;
    if (shift >= 0) {
        if (shift > 127 || (n >> (127 - shift)) != 0) return std::nullopt;
        return decimal(n << shift);
    }
    return decimal(-shift > 127 ? 0 : n >> -shift);
}

// mpmath's to_digits_exp(s, dps + 3) for a positive value: the value as a binary fixed-point
// number of `fixprec` bits, converted to `fixdps` decimals by a floor division.
Digits digits_of(const Mpf& m) {
    const std::int64_t bitprec = (std::int64_t)((kDigits + 3) * kLog2Of10) + 10;
    const std::int64_t fixprec = std::max<std::int64_t>(bitprec - m.exp - m.bc, 0);
    const auto fixdps = (std::int64_t)((double)fixprec / kLog2Of10 + 0.5);
    Digits d;
    if (auto fast = small_digits(m, fixprec, fixdps)) {
        d.digits = std::move(*fast);
    } else {
        BigUnsigned fixed(m.man);
        const std::int64_t offset = m.exp + fixprec;  // positive for every double
        if (offset >= 0)
            fixed.shift_left((std::size_t)offset);
        else
            fixed.shift_right((std::size_t)-offset);
        fixed.multiply_by_power_of_ten((std::size_t)fixdps).shift_right((std::size_t)fixprec);
        d.digits = fixed.decimal();
    }
    d.exponent = (std::int64_t)d.digits.size() - fixdps - 1;
    return d;
}

}  // namespace

std::string float_text(double value, bool strip_zeros) {
    if (value == 0.0) return "0.0";
    const Mpf m = mpf_of(value);
    auto [digits, exponent] = digits_of(m);

    // Round on the first dropped digit alone, as to_str does.
    if ((int)digits.size() > kDigits && digits[kDigits] >= '5') {
        digits.resize(kDigits);
        int i = kDigits - 1;
        while (i >= 0 && digits[i] == '9') --i;
        if (i >= 0) {
            digits[i] = (char)(digits[i] + 1);
            std::fill(digits.begin() + i + 1, digits.end(), '0');
        } else {
            digits.assign(kDigits, '0');
            digits[0] = '1';
            exponent += 1;
        }
    } else if ((int)digits.size() > kDigits) {
        digits.resize(kDigits);
    }

    std::size_t split = 1;
    if (kMinFixed < exponent && exponent < kMaxFixed) {
        if (exponent < 0) {
            digits.insert(0, (std::size_t)-exponent, '0');
        } else {
            split = (std::size_t)exponent + 1;
            if (split > (std::size_t)kDigits) digits.append(split - kDigits, '0');
        }
        exponent = 0;
    }
    digits.insert(split, 1, '.');
    if (strip_zeros) {
        while (digits.back() == '0') digits.pop_back();
        if (digits.back() == '.') digits.push_back('0');
    }

    if (m.sign) digits.insert(0, 1, '-');
    if (exponent != 0) {
        digits += exponent > 0 ? "e+" : "e";
        digits += std::to_string(exponent);
    }
    return digits;
}

}  // namespace kt::symbolic
