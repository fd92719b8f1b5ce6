#pragma once
// One table of settings-file cases, run against our own reader (unit tests) and against the system's
// reader under wine (Windows desktop tests), so the two are held to the same answers.

#include <string>

namespace Tavo::Testing {

struct IniCase {
    const char* Name;
    std::string Contents;
    const char* Section;
    const char* Key;
    const char* Default;
    std::string Expected;
};

inline const IniCase IniCases[] = {
    {"plain", "[General]\nVersion=1\n", "General", "Version", "0", "1"},
    {"missing key", "[General]\nOther=1\n", "General", "Version", "0", "0"},
    {"missing section", "[Devices]\nVersion=1\n", "General", "Version", "0", "0"},
    {"empty value is not the default", "[Devices]\nUnit4=\n", "Devices", "Unit4", "x", ""},
    {"case of section and key", "[ZAGREB]\nVERSION=7\n", "zagreb", "Version", "0", "7"},
    {"blanks around key and value", "[General]\n  Version   =   12  \n", "General", "Version", "0", "12"},
    {"tabs around value", "[General]\nVersion=\t5\t\n", "General", "Version", "0", "5"},
    {"double quotes removed", "[D]\nUnit1=\"10.0.0.5\"\n", "D", "Unit1", "", "10.0.0.5"},
    {"single quotes removed", "[D]\nUnit1='10.0.0.5'\n", "D", "Unit1", "", "10.0.0.5"},
    {"only quotes", "[D]\nUnit1=\"\"\n", "D", "Unit1", "x", ""},
    {"unmatched quotes kept", "[D]\nUnit1=\"abc'\n", "D", "Unit1", "", "\"abc'"},
    {"quotes inside kept", "[D]\nUnit1=a\"b\"\n", "D", "Unit1", "", "a\"b\""},
    {"first = splits", "[D]\nUnit1=a=b\n", "D", "Unit1", "", "a=b"},
    {"comment line ignored", "[D]\n;Unit1=commented\nUnit1=real\n", "D", "Unit1", "", "real"},
    {"first key wins", "[D]\nUnit1=first\nUnit1=second\n", "D", "Unit1", "", "first"},
    {"first section wins", "[D]\nUnit1=first\n[D]\nUnit1=second\n", "D", "Unit1", "", "first"},
    {"key in other section", "[A]\nUnit1=a\n[B]\nUnit1=b\n", "B", "Unit1", "", "b"},
    {"default trailing blanks trimmed", "[D]\n", "D", "Unit1", "dflt   ", "dflt"},
    {"CRLF", "[D]\r\nUnit1=crlf\r\nUnit2=two\r\n", "D", "Unit2", "", "two"},
    {"CR only", "[D]\rUnit1=cr\rUnit2=two\r", "D", "Unit2", "", "two"},
    {"lone CR, then a key of one letter and LF", "[D]\rK\nK=x\n", "D", "K", "dflt", "dflt"},
    {"no final line end", "[D]\nUnit1=last", "D", "Unit1", "", "last"},
    {"blank lines and indented section", "\n\n  [D]  \n\n Unit1=x\n", "D", "Unit1", "", "x"},
    {"749 kept", "[D]\nUnit1=" + std::string(749, 'b') + "\n", "D", "Unit1", "", std::string(749, 'b')},
    {"800 cut to 749", "[D]\nUnit1=" + std::string(800, 'c') + "\n", "D", "Unit1", "", std::string(749, 'c')},
    {"key before any section not found", "Unit1=x\n[D]\n", "D", "Unit1", "none", "none"},
    {"UTF-8 byte-order mark", "\xEF\xBB\xBF[D]\nUnit1=x\n", "D", "Unit1", "", "x"},
    {"blanks inside the brackets", "[ D ]\nUnit1=x\n", "D", "Unit1", "", "x"},
    {"unclosed bracket is no section", "[D]\n[E\nUnit1=x\n", "D", "Unit1", "", "x"},
    {"key without = gives the default", "[D]\nUnit1\nUnit1=x\n", "D", "Unit1", "dflt", "dflt"},
    {"NUL ends the value", std::string("[D]\nUnit1=ab\0cd\n", 16), "D", "Unit1", "", "ab"},
    {"quoted default loses its quotes", "[D]\n", "D", "Unit1", "\"dq\"", "dq"},
};

} // namespace Tavo::Testing
