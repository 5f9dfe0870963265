// The tokens of a bank formula's text, split as Python's tokenizer splits them, for the subset
// of Python's expression syntax the native parser reads: names, integer and float literals,
// `+ - * / ** ^ ( ) , =`, spaces and tabs, and line breaks inside parentheses. Anything else
// (another operator, a comment, a string, a keyword, a character beyond ASCII, a malformed
// literal) makes the whole text one the native parser leaves to Python's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kt::symbolic {

enum class Tok : std::uint8_t {
    Name,
    Int,    // an integer literal: `integer`
    Float,  // a float literal that sympy reads at 53 bits: `real`
    Plus,
    Minus,
    Star,
    Slash,
    Power,  // `**` or `^`
    LParen,
    RParen,
    Comma,
    Equals,  // a single `=`
    End,
};

struct Token {
    Tok kind = Tok::End;
    std::string_view text;  // as written
    std::int64_t integer = 0;
    double real = 0.0;
    bool after_line_break = false;  // a line break (inside parentheses) came before it
};

// The tokens of `text` up to a final End, or nothing where the native parser does not read it.
std::optional<std::vector<Token>> tokenize(std::string_view text);

// A Python number literal at the start of `text` (`text` begins with a digit, or a point and a
// digit): its length and its value as sympy reads it (an Integer of 64 bits, or a Float whose
// decimal text has at most 15 significant digits and lies within the range of normal
// doubles); nothing for a literal Python refuses or one read otherwise (an imaginary literal, a
// higher precision, a larger integer).
std::optional<Token> number_literal(std::string_view text);

}  // namespace kt::symbolic
