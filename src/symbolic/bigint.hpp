// Unsigned integers of any size, as far as printing and ordering numbers need them: a double's
// exact decimal digits (mpmath's fixed-point conversion) and exact comparisons of a Float with a
// Rational. Little-endian limbs of 32 bits.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

namespace kt::symbolic {

class BigUnsigned {
public:
    BigUnsigned() = default;
    explicit BigUnsigned(unsigned __int128 value);

    BigUnsigned& shift_left(std::size_t bits);
    BigUnsigned& shift_right(std::size_t bits);  // floor division by 2**bits
    BigUnsigned& multiply(std::uint32_t factor);
    BigUnsigned& multiply_by_power_of_ten(std::size_t exponent);

    bool is_zero() const { return limbs_.empty(); }
    std::string decimal() const;

    friend std::strong_ordering operator<=>(const BigUnsigned& a, const BigUnsigned& b);
    friend bool operator==(const BigUnsigned& a, const BigUnsigned& b) = default;

private:
    void trim();
    std::vector<std::uint32_t> limbs_;
};

}  // namespace kt::symbolic
