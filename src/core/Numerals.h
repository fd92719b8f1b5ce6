#pragma once
// The numeral forms the program accepts wherever text becomes a number: optional blanks, an optional
// sign, decimal digits with an optional '.' fraction, optional blanks. No exponents, no grouping, no
// hexadecimal prefixes, so "20,7" is not a number.

#include <cstdint>
#include <optional>
#include <string_view>

namespace Tavo {

// A number too large for a double comes back as an infinity, so range checks reject it as too large.
std::optional<double> ParseNumber(std::string_view Text);

// Rounds half to the even neighbour; empty when the text is no number or the result lies outside
// [Low, High].
std::optional<std::int64_t> ParseWholeNumber(std::string_view Text, std::int64_t Low, std::int64_t High);

bool IsBlank(char C);
std::string_view TrimBlanks(std::string_view Text);

} // namespace Tavo
