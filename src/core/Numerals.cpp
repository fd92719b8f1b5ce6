#include "core/Numerals.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>

namespace Tavo {

bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\v' || C == '\f';
}

std::string_view TrimBlanks(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.front()))
        Text.remove_prefix(1);
    while (!Text.empty() && IsBlank(Text.back()))
        Text.remove_suffix(1);
    return Text;
}

static bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

std::optional<double> ParseNumber(std::string_view Text) {
    Text = TrimBlanks(Text);
    bool Negative = false;
    if (!Text.empty() && (Text.front() == '+' || Text.front() == '-')) {
        Negative = Text.front() == '-';
        Text.remove_prefix(1);
    }
    // Only digits and one point: from_chars would also take "inf", "nan" and exponents. It refuses a
    // text without digits itself.
    bool Point = false;
    for (char C : Text) {
        if (C == '.' && !std::exchange(Point, true))
            continue;
        if (!IsDigit(C))
            return std::nullopt;
    }
    double Value = 0;
    auto [End, Error] =
        std::from_chars(Text.data(), Text.data() + Text.size(), Value, std::chars_format::fixed);
    if (Error == std::errc::result_out_of_range) {
        // Still a number, only beyond a double: huge when it has a whole part, else as good as zero.
        const std::string_view Whole = Text.substr(0, Text.find('.'));
        Value = Whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : HUGE_VAL;
    } else if (Error != std::errc{} || End != Text.data() + Text.size()) {
        return std::nullopt;
    }
    return Negative ? -Value : Value;
}

std::optional<std::int64_t> ParseWholeNumber(std::string_view Text, std::int64_t Low, std::int64_t High) {
    const auto Value = ParseNumber(Text);
    if (!Value)
        return std::nullopt;
    const double Rounded = std::nearbyint(*Value); // default rounding mode: half to even
    if (Rounded < static_cast<double>(Low) || Rounded > static_cast<double>(High))
        return std::nullopt;
    return static_cast<std::int64_t>(Rounded);
}

} // namespace Tavo
