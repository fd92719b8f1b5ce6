#include "core/IniFile.h"

#include <fstream>
#include <iterator>

#include "core/Numerals.h"

namespace Tavo {

static bool SameName(std::string_view A, std::string_view B) {
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I) {
        auto Lower = [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; };
        if (Lower(A[I]) != Lower(B[I]))
            return false;
    }
    return true;
}

// Next line of Rest, ended by LF, CRLF or a lone CR.
static std::string_view NextLine(std::string_view& Rest) {
    const std::size_t End = Rest.find_first_of("\r\n");
    std::string_view Line = Rest.substr(0, End);
    if (End == std::string_view::npos) {
        Rest = {};
    } else {
        const std::size_t Skip =
            (Rest[End] == '\r' && End + 1 < Rest.size() && Rest[End + 1] == '\n') ? 2 : 1;
        Rest.remove_prefix(End + Skip);
    }
    return Line;
}

// A value in a matching pair of quotes comes back without them; a NUL ends it, as it ends a C string.
static std::string Finish(std::string_view Value) {
    Value = Value.substr(0, Value.find('\0'));
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') && Value.back() == Value.front())
        Value = Value.substr(1, Value.size() - 2);
    return std::string(Value.substr(0, IniValueLimit));
}

static std::string FinishDefault(std::string_view Default) {
    while (!Default.empty() && Default.back() == ' ')
        Default.remove_suffix(1);
    return Finish(Default);
}

std::string ReadIniValue(std::string_view Contents, std::string_view Section, std::string_view Key,
                         std::string_view Default) {
    // Notepad saves UTF-8 with a byte-order mark; the system reader skips it, so do we.
    constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
    if (Contents.substr(0, ByteOrderMark.size()) == ByteOrderMark)
        Contents.remove_prefix(ByteOrderMark.size());
    bool InSection = false;
    bool SectionSeen = false;
    while (!Contents.empty()) {
        const std::string_view Line = TrimBlanks(NextLine(Contents));
        if (Line.empty())
            continue;
        if (Line.front() == '[') {
            const std::size_t Close = Line.rfind(']');
            if (Close == std::string_view::npos)
                continue; // not a section header, and not a key either
            // Only the first section of a name counts; later ones of the same name are not merged.
            if (InSection)
                break;
            InSection = !SectionSeen && SameName(TrimBlanks(Line.substr(1, Close - 1)), Section);
            SectionSeen = SectionSeen || InSection;
            continue;
        }
        if (!InSection || Line.front() == ';')
            continue;
        const std::size_t Equals = Line.find('=');
        if (!SameName(TrimBlanks(Line.substr(0, Equals)), Key))
            continue;
        // A key without "=" has no value: the reader answers with the default.
        return Equals == std::string_view::npos ? FinishDefault(Default)
                                                : Finish(TrimBlanks(Line.substr(Equals + 1)));
    }
    return FinishDefault(Default);
}

std::string ReadIniFile(const std::string& Path, std::string_view Section, std::string_view Key,
                        std::string_view Default) {
    std::ifstream In(Path, std::ios::binary);
    const std::string Contents = In ? std::string(std::istreambuf_iterator<char>(In), {}) : std::string();
    return ReadIniValue(Contents, Section, Key, Default);
}

} // namespace Tavo
