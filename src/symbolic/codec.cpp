#include "symbolic/codec.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kt::symbolic {

namespace {

constexpr unsigned char kFunctionTag = 32;  // + the function's number
constexpr int kMaxDepth = 10000;

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back((char)(v | 0x80));
        v >>= 7;
    }
    out.push_back((char)v);
}

void put_signed(std::string& out, std::int64_t v) {
    put_varint(out, ((std::uint64_t)v << 1) ^ (std::uint64_t)(v >> 63));
}

void write(std::string& out, Expr e) {
    if (e->kind == Kind::Function) {
        out.push_back((char)(kFunctionTag + (int)e->fn));
        write(out, e->args[0]);
        return;
    }
    out.push_back((char)e->kind);
    switch (e->kind) {
        case Kind::Integer:
            put_signed(out, e->p);
            return;
        case Kind::Rational:
            put_signed(out, e->p);
            put_signed(out, e->q);
            return;
        case Kind::Float: {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(e->value);
            for (int k = 0; k < 8; ++k) out.push_back((char)(bits >> (8 * k)));
            return;
        }
        case Kind::Symbol:
            put_varint(out, e->name->size());
            out += *e->name;
            return;
        case Kind::Add:
        case Kind::Mul:
        case Kind::Pow:
            put_varint(out, e->args.size());
            for (Expr a : e->args) write(out, a);
            return;
        default:
            return;
    }
}

class Reader {
public:
    Reader(Pool& pool, std::string_view bytes) : pool_(pool), bytes_(bytes) {}

    Expr tree(int depth = 0) {
        if (depth > kMaxDepth) bad();
        const unsigned char tag = byte();
        if (tag >= kFunctionTag) {
            if (tag >= kFunctionTag + kFunctionCount) bad();
            return pool_.function((Fn)(tag - kFunctionTag), tree(depth + 1));
        }
        switch ((Kind)tag) {
            case Kind::Integer:
                return pool_.integer(signed_varint());
            case Kind::Rational: {
                const std::int64_t p = signed_varint(), q = signed_varint();
                if (q <= 1) bad();
                return pool_.rational(p, q);
            }
            case Kind::Float: {
                if (bytes_.size() - at_ < 8) bad();
                std::uint64_t bits = 0;
                for (int k = 0; k < 8; ++k) bits |= (std::uint64_t)byte() << (8 * k);
                return pool_.real(std::bit_cast<double>(bits));
            }
            case Kind::Pi:
                return pool_.pi();
            case Kind::Exp1:
                return pool_.e();
            case Kind::Symbol: {
                const std::uint64_t n = varint();
                if (n > bytes_.size() - at_) bad();
                std::string_view name = bytes_.substr(at_, n);
                at_ += n;
                return pool_.symbol(name);
            }
            case Kind::Add:
            case Kind::Mul:
            case Kind::Pow: {
                const std::uint64_t n = varint();
                if (n > bytes_.size() - at_) bad();  // every argument takes a byte at least
                std::vector<Expr> args;
                args.reserve(n);
                for (std::uint64_t k = 0; k < n; ++k) args.push_back(tree(depth + 1));
                try {
                    return pool_.make((Kind)tag, args);
                } catch (const std::invalid_argument&) {
                    bad();
                }
            }
            default:
                bad();
        }
    }

    bool done() const { return at_ == bytes_.size(); }

private:
    [[noreturn]] static void bad() { throw std::invalid_argument("not an encoded tree"); }

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

    Pool& pool_;
    std::string_view bytes_;
    std::size_t at_ = 0;
};

}  // namespace

std::string encode(Expr e) {
    std::string out;
    write(out, e);
    return out;
}

Expr decode(Pool& pool, std::string_view bytes) {
    Reader reader(pool, bytes);
    Expr e = reader.tree();
    if (!reader.done()) throw std::invalid_argument("not an encoded tree");
    return e;
}

}  // namespace kt::symbolic
