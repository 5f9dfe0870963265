#include "symbolic/bigint.hpp"

namespace kt::symbolic {

BigUnsigned::BigUnsigned(unsigned __int128 value) {
    while (value) {
        limbs_.push_back((std::uint32_t)value);
        value >>= 32;
    }
}

void BigUnsigned::trim() {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
}

BigUnsigned& BigUnsigned::shift_left(std::size_t bits) {
    if (is_zero() || bits == 0) return *this;
    const std::size_t whole = bits / 32, part = bits % 32;
    if (part) {
        std::uint32_t carry = 0;
        for (auto& limb : limbs_) {
            const std::uint32_t next = limb >> (32 - part);
            limb = (limb << part) | carry;
            carry = next;
        }
        if (carry) limbs_.push_back(carry);
    }
    limbs_.insert(limbs_.begin(), whole, 0);
    return *this;
}

BigUnsigned& BigUnsigned::shift_right(std::size_t bits) {
    const std::size_t whole = bits / 32, part = bits % 32;
    if (whole >= limbs_.size()) {
        limbs_.clear();
        return *this;
    }
    limbs_.erase(limbs_.begin(), limbs_.begin() + (std::ptrdiff_t)whole);
    if (part) {
        for (std::size_t k = 0; k < limbs_.size(); ++k) {
            const std::uint32_t high = k + 1 < limbs_.size() ? limbs_[k + 1] << (32 - part) : 0;
            limbs_[k] = (limbs_[k] >> part) | high;
        }
    }
    trim();
    return *this;
}

BigUnsigned& BigUnsigned::multiply(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (auto& limb : limbs_) {
        const std::uint64_t product = (std::uint64_t)limb * factor + carry;
        limb = (std::uint32_t)product;
        carry = product >> 32;
    }
    if (carry) limbs_.push_back((std::uint32_t)carry);
    trim();
    return *this;
}

BigUnsigned& BigUnsigned::multiply_by_power_of_ten(std::size_t exponent) {
    constexpr std::uint32_t kBillion = 1000000000;
    for (; exponent >= 9; exponent -= 9) multiply(kBillion);
    std::uint32_t rest = 1;
    for (; exponent > 0; --exponent) rest *= 10;
    return multiply(rest);
}

std::string BigUnsigned::decimal() const {
    if (is_zero()) return "0";
    std::vector<std::uint32_t> n = limbs_;
    std::vector<std::uint32_t> chunks;  // base 10**9, least significant first
    while (!n.empty()) {
        std::uint64_t remainder = 0;
        for (std::size_t k = n.size(); k-- > 0;) {
            const std::uint64_t current = (remainder << 32) | n[k];
            n[k] = (std::uint32_t)(current / 1000000000);
            remainder = current % 1000000000;
        }
        chunks.push_back((std::uint32_t)remainder);
        while (!n.empty() && n.back() == 0) n.pop_back();
    }
    std::string out = std::to_string(chunks.back());
    for (std::size_t k = chunks.size() - 1; k-- > 0;) {
        const std::string part = std::to_string(chunks[k]);
        out.append(9 - part.size(), '0');
        out += part;
    }
    return out;
}

std::strong_ordering operator<=>(const BigUnsigned& a, const BigUnsigned& b) {
    if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() <=> b.limbs_.size();
    for (std::size_t k = a.limbs_.size(); k-- > 0;)
        if (a.limbs_[k] != b.limbs_[k]) return a.limbs_[k] <=> b.limbs_[k];
    return std::strong_ordering::equal;
}

}  // namespace kt::symbolic
