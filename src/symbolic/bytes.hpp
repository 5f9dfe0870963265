// The little byte formats native records are written in: unsigned and zig-zag varints, doubles
// as their eight little-endian bytes, strings as a length and their bytes. A reader throws
// std::invalid_argument at the first byte that is not where a writer would have put it.
#pragma once

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kt::symbolic {

class ByteWriter {
public:
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back((char)(v | 0x80));
            v >>= 7;
        }
        out_.push_back((char)v);
    }
    void signed_varint(std::int64_t v) {
        varint(((std::uint64_t)v << 1) ^ (std::uint64_t)(v >> 63));
    }
    void byte(unsigned char b) { out_.push_back((char)b); }
    void real(double x) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
        for (int k = 0; k < 8; ++k) out_.push_back((char)(bits >> (8 * k)));
    }
    void text(std::string_view s) {
        varint(s.size());
        out_ += s;
    }
    std::string& bytes() { return out_; }

private:
    std::string out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    unsigned char byte() {
        if (at_ >= bytes_.size()) bad();
        return (unsigned char)bytes_[at_++];
    }
    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const unsigned char b = byte();
            v |= (std::uint64_t)(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
        bad();
    }
    std::int64_t signed_varint() {
        const std::uint64_t v = varint();
        return (std::int64_t)(v >> 1) ^ -(std::int64_t)(v & 1);
    }
    double real() {
        if (left() < 8) bad();
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits |= (std::uint64_t)byte() << (8 * k);
        return std::bit_cast<double>(bits);
    }
    std::string_view text() {
        const std::uint64_t n = varint();
        if (n > left()) bad();
        std::string_view s = bytes_.substr(at_, n);
        at_ += n;
        return s;
    }
    std::size_t left() const { return bytes_.size() - at_; }
    bool done() const { return at_ == bytes_.size(); }
    [[noreturn]] static void bad() { throw std::invalid_argument("not a record this build wrote"); }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

}  // namespace kt::symbolic
