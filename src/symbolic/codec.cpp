#include "symbolic/codec.hpp"

#include <stdexcept>
#include <vector>

#include "symbolic/bytes.hpp"

namespace kt::symbolic {

namespace {

constexpr unsigned char kFunctionTag = 32;  // + the function's number
constexpr int kMaxDepth = 10000;

void write(ByteWriter& out, Expr e) {
    if (e->kind == Kind::Function) {
        out.byte((unsigned char)(kFunctionTag + (int)e->fn));
        write(out, e->args[0]);
        return;
    }
    out.byte((unsigned char)e->kind);
    switch (e->kind) {
        case Kind::Integer:
            out.signed_varint(e->p);
            return;
        case Kind::Rational:
            out.signed_varint(e->p);
            out.signed_varint(e->q);
            return;
        case Kind::Float:
            out.real(e->value);
            return;
        case Kind::Symbol:
            out.text(*e->name);
            return;
        case Kind::Add:
        case Kind::Mul:
        case Kind::Pow:
            out.varint(e->args.size());
            for (Expr a : e->args) write(out, a);
            return;
        default:
            return;
    }
}

Expr read(Pool& pool, ByteReader& in, int depth = 0) {
    if (depth > kMaxDepth) ByteReader::bad();
    const unsigned char tag = in.byte();
    if (tag >= kFunctionTag) {
        if (tag >= kFunctionTag + kFunctionCount) ByteReader::bad();
        return pool.function((Fn)(tag - kFunctionTag), read(pool, in, depth + 1));
    }
    switch ((Kind)tag) {
        case Kind::Integer:
            return pool.integer(in.signed_varint());
        case Kind::Rational: {
            const std::int64_t p = in.signed_varint(), q = in.signed_varint();
            if (q <= 1) ByteReader::bad();
            return pool.rational(p, q);
        }
        case Kind::Float:
            return pool.real(in.real());
        case Kind::Pi:
            return pool.pi();
        case Kind::Exp1:
            return pool.e();
        case Kind::Symbol:
            return pool.symbol(in.text());
        case Kind::Add:
        case Kind::Mul:
        case Kind::Pow: {
            const std::uint64_t n = in.varint();
            if (n > in.left()) ByteReader::bad();  // every argument takes a byte at least
            std::vector<Expr> args;
            args.reserve(n);
            for (std::uint64_t k = 0; k < n; ++k) args.push_back(read(pool, in, depth + 1));
            try {
                return pool.make((Kind)tag, args);
            } catch (const std::invalid_argument&) {
                ByteReader::bad();
            }
        }
        default:
            ByteReader::bad();
    }
}

}  // namespace

std::string encode(Expr e) {
    ByteWriter out;
    write(out, e);
    return std::move(out.bytes());
}

Expr decode(Pool& pool, std::string_view bytes) {
    ByteReader in(bytes);
    Expr e = read(pool, in);
    if (!in.done()) ByteReader::bad();
    return e;
}

}  // namespace kt::symbolic
