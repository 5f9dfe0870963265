// The matches of an expression's form against the library's laws: identical (the law with its
// variables renamed one to one) and scaled (the same up to a constant factor or an added
// constant), as found for each member of a structure and for a formula given alone; the hits
// they make and which hit is best. `match_form` finds them for a native tree.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "matching/matcher.hpp"
#include "matching/prepared_library.hpp"

namespace kt {

// The kinds of match, strongest first.
enum class MatchKind { Identical, Scaled, Instance, Near };
const char* kind_name(MatchKind kind);

// {our variable: law variable}, in the order the match met the variables.
using Mapping = std::vector<std::pair<std::string, std::string>>;

struct Hit {
    MatchKind kind;
    int law;
    double distance;
    std::optional<Mapping> mapping;  // none for near
    int support = 1;                 // members that matched this law this way
};

// The better of two hits: the stronger kind, then more members, then the smaller distance,
// then the law first in the library.
bool better(const Hit& a, const Hit& b);
// Adds a hit, or counts one more member for the same law and kind.
void record(std::vector<Hit>& hits, Hit hit);

// The name-blind tree distance of two trees over the larger one's size.
double blind_distance(const Shaped& a, const Shaped& b, int wildcard_label);
// {our variable: law variable} from a match of the law (pattern) against our tree (target),
// or of our tree (pattern) against the law (target).
Mapping mapping_of(const Matcher& m, const ExprTree& pattern, const ExprTree& target,
                   bool law_is_pattern);

// Identical and scaled matches of one expression without wildcards.
void match_member(const Shaped& member, const PreparedLibrary& lib, std::vector<Hit>& hits);

// The best identical or scaled match of a native tree: what `match_library` gives for the
// sympy expression of the tree when it is of those kinds (`law` indexes the library). Nothing
// where it gives another kind or none, among them a tree with a symbol named φ..., which it
// takes for a generalised formula. Symbolic::Unsupported where the tree is too deep to read
// natively. Printing numbers may ask `oracle`.
std::optional<Hit> match_form(const PreparedLibrary& lib, symbolic::Expr expr, symbolic::Pool& pool,
                              symbolic::Oracle& oracle);

}  // namespace kt
