// Loading real settings files: defaults, the version rule, colours, positions, timer values, addresses,
// where the file is looked for, and the messages that name what was wrong.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ranges>
#include <string>

#include "IniCases.h"
#include "Rig.h"
#include "core/IniFile.h"
#include "core/UnitAddress.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

// No unit configured, a poll every 200 ms, a pass every 3000 ms, all lamps at 0,0, the two colours.
void ExpectEveryDefault(Rig& R) {
    EXPECT_EQ(R.Form.Settings.PollInterval, 200);
    EXPECT_EQ(R.Form.Settings.ReconnectDelay, 3000);
    EXPECT_EQ(R.Form.Settings.ActiveColor, 0x00FF9632u);
    EXPECT_EQ(R.Form.Settings.OnAirColor, 0x002F2FE5u);
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        EXPECT_EQ(R.Slot(Unit).UnitAddress, "");
        EXPECT_EQ(R.Slot(Unit).IndicatorX, 0);
        EXPECT_EQ(R.Slot(Unit).IndicatorY, 0);
    }
}

void ExpectNames(const std::string& Message, const std::vector<std::string>& Parts) {
    for (const std::string& Part : Parts)
        EXPECT_NE(Message.find(Part), std::string::npos) << Part << " missing from: " << Message;
}

} // namespace

TEST(Configuration, EmptyFileWarnsThenGivesEveryDefault) {
    Rig R;
    ASSERT_FALSE(R.Load("empty"));
    // The version warning, then the one for a file that configures no unit.
    ASSERT_EQ(R.Desk.Boxes.size(), 2u);
    EXPECT_EQ(R.Desk.Boxes[0].Title, "Warning");
    EXPECT_EQ(R.Desk.Boxes[0].Icon, BoxIcon::Exclamation);
    EXPECT_EQ(R.Desk.Boxes[0].Text, "Warning: The file empty.ini is not compatible with this version of "
                                    "TavoRouterControl. Dazed and confused, but trying to continue.");
    EXPECT_NE(R.Desk.Boxes[1].Text.find("empty.ini configures no unit"), std::string::npos);
    ExpectEveryDefault(R);
    Rig Fresh; // before any file is read, the form holds the same defaults
    ExpectEveryDefault(Fresh);
}

TEST(Configuration, ValuesAndTheirFaults) {
    // What a value of the row's file became (read through Field), or what its fatal message names.
    using Field = std::int64_t (*)(Rig&);
    const Field Active = [](Rig& R) -> std::int64_t { return R.Form.Settings.ActiveColor; };
    const Field OnAir = [](Rig& R) -> std::int64_t { return R.Form.Settings.OnAirColor; };
    const Field X2 = [](Rig& R) -> std::int64_t { return R.Slot(2).IndicatorX; };
    const Field Y2 = [](Rig& R) -> std::int64_t { return R.Slot(2).IndicatorY; };
    const Field X1 = [](Rig& R) -> std::int64_t { return R.Slot(1).IndicatorX; };
    const Field X8 = [](Rig& R) -> std::int64_t { return R.Slot(8).IndicatorX; };
    const Field Poll = [](Rig& R) -> std::int64_t { return R.Form.Settings.PollInterval; };
    const Field Reconnect = [](Rig& R) -> std::int64_t { return R.Form.Settings.ReconnectDelay; };
    const Field Port3 = [](Rig& R) -> std::int64_t { return R.Slot(3).Port; };
    const Field Port1 = [](Rig& R) -> std::int64_t { return R.Slot(1).Port; };
    const Field Warnings = [](Rig& R) -> std::int64_t {
        return std::ranges::count_if(R.Desk.Boxes,
                                     [](const auto& Box) { return Box.Text.starts_with("Warning:"); });
    };
    // A Version of 0, above 1, or none at all draws the warning. Fractions are converted once, here: a
    // value that rounds into range is that value everywhere it is used.
    // clang-format off
    const struct {
        const char* File;
        Field Read;
        std::int64_t Expected;
    } Loaded[] = {
        {"version-missing", Warnings, 1}, {"version-0", Warnings, 1}, {"version-1", Warnings, 0},
        {"version-2", Warnings, 1}, {"version-minus1", Warnings, 0}, {"version-1point0", Warnings, 0},
        {"colour-hash-ff0000", Active, 0x000000FF}, {"colour-ff0000", Active, 0x000000FF},
        {"colour-short", Active, 0x000000F0}, {"colour-lower", Active, 0x00FF963A},
        {"colour-long", Active, 0x00FF9632}, {"colour-empty", Active, 0}, {"colour-hash", Active, 0},
        {"colour-hash", OnAir, 0x002F2FE5}, {"position-nocomma", X2, 0}, {"position-plain", X2, 350},
        {"position-plain", Y2, 20}, {"position-plain", X1, 7}, {"position-plain", X8, 9},
        {"position-blanks", Y2, 1046}, {"position-limits", X2, -32768},
        {"position-limits", Y2, 32767}, {"position-fractions", X2, 2}, {"position-fractions", Y2, 4},
        {"intervals-zero", Poll, 0}, {"intervals-zero", Reconnect, 0}, {"intervals-fractions", Reconnect, 0},
        {"intervals-fractions", Poll, 2}, {"intervals-minus-half", Reconnect, 0},
        {"mixed-case", Port3, 9990}, {"mixed-case", Poll, 150}, {"mixed-case", Reconnect, 2500},
        {"mixed-case", Active, 0x0000FF0A},
        {"example", Port1, 9998}, {"example", X2, 850},
    };
    // clang-format on
    for (const auto& C : Loaded) {
        Rig R;
        const auto Fatal = R.Load(C.File);
        EXPECT_FALSE(Fatal) << C.File << ": " << *Fatal;
        EXPECT_EQ(C.Read(R), C.Expected) << C.File;
    }
    // Fatal files, and what their message names, |-separated.
    // clang-format off
    const std::pair<const char*, const char*> Fatal[] = {
        {"version-text", "version-text.ini|[General]|Version"},
        {"version-empty", "version-empty.ini|[General]|Version"},
        {"colour-bad", "colour-bad.ini|[TavoGUI]|UnitActiveColor|\"#GG0000\""},
        {"position-toolarge", "[TavoGUI]|UnitIndicator2|\"32768,20\""}, {"position-above-y", "\"0,32768\""},
        {"position-below-x", "\"-32769,0\""}, {"position-below-y", "\"0,-32769\""},
        {"position-emptysecond", "UnitIndicator2"}, {"position-threeparts", "UnitIndicator2"},
        {"position-text", "UnitIndicator2"}, {"reconnect-toolarge", "ReconnectDelay|\"65536\""},
        {"poll-text", "poll-text.ini|[Configuration]|PollInterval|\"abc\""},
        {"poll-toolarge", "PollInterval|\"65536\""}, {"poll-negative", "PollInterval|\"-5\""},
        {"poll-empty", "PollInterval|\"\""}, {"reconnect-text", "[Configuration]|ReconnectDelay|\"soon\""},
        {"poll-nodigits", "PollInterval|\"+.\""},
    };
    // clang-format on
    for (const auto& [File, Names] : Fatal) {
        Rig R;
        const auto Message = R.Load(File);
        ASSERT_TRUE(Message) << File;
        for (const auto Part : std::views::split(std::string_view(Names), '|'))
            ExpectNames(*Message, {std::string(Part.begin(), Part.end())});
    }
    Rig R;
    ASSERT_FALSE(R.Load("mixed-case"));
    EXPECT_TRUE(R.Desk.Boxes.empty());
    EXPECT_EQ(R.Slot(3).UnitAddress, "10.0.0.7:9990");
    EXPECT_EQ(R.Slot(3).HostPart, "10.0.0.7");
    ASSERT_FALSE(R.Load("long-address"));
    EXPECT_EQ(R.Slot(1).UnitAddress, std::string(749, 'a'));
}

TEST(Configuration, WhereTheFileIsLookedFor) {
    const std::string Other = std::string(TAVO_TEST_DATA) + "/mixed-case.ini";
    const struct {
        const char* BaseName;
        std::vector<std::string> Extra; // places after the one beside the program
        const char* Unit3;              // nullptr: fatal
        std::vector<std::string> Names;
    } Cases[] = {
        {"no-such-file", {}, nullptr, {"data/no-such-file.ini"}},
        {"unreadable-folder", {}, nullptr, {"unreadable-folder.ini"}},
        {"no-such-file", {Other}, "10.0.0.7:9990", {}}, // none beside the program: the next place
        {"example", {Other}, "", {}},                   // one beside the program wins
        {"no-such-file",
         {"/nonexistent/x/no-such-file.ini"},
         nullptr,
         {"data/no-such-file.ini", "/nonexistent/x/"}},
    };
    for (const auto& C : Cases) {
        Rig R;
        R.Desk.ExtraSettingsFiles = C.Extra;
        const auto Fatal = R.Load(C.BaseName);
        ASSERT_EQ(Fatal.has_value(), C.Unit3 == nullptr) << C.BaseName;
        if (Fatal)
            ExpectNames(*Fatal, C.Names);
        else
            EXPECT_EQ(R.Slot(3).UnitAddress, C.Unit3);
        EXPECT_TRUE(!Fatal || R.Desk.Boxes.empty());
    }
}

TEST(Configuration, OwnReaderGivesWhatTheSystemReaderGives) {
    for (const IniCase& C : IniCases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(ReadIniValue(C.Contents, C.Section, C.Key, C.Default), C.Expected);
    }
    EXPECT_EQ(ReadIniFile("/nonexistent/absent.ini", "D", "Unit1", "fallback"), "fallback");
}

TEST(Configuration, UnitAddressesTakenApart) {
    // clang-format off
    const struct {
        const char* Address;
        const char* Host;
        int Port; // -1: out of range
    } Cases[] = {
        {"10.0.0.5", "10.0.0.5", 9998}, {"10.0.0.5:9990", "10.0.0.5", 9990},
        {"unit-b:10001", "unit-b", 10001}, {"10.0.0.5:", "10.0.0.5", 9998},
        {"10.0.0.5:abc", "10.0.0.5", 9998}, {"10.0.0.5:1:2", "10.0.0.5", 9998},
        {"10.0.0.5:1e4", "10.0.0.5", 9998}, {"10.0.0.5: 9997 ", "10.0.0.5", 9997},
        {"10.0.0.5:+9997", "10.0.0.5", 9997}, {"10.0.0.5:9997.5", "10.0.0.5", 9998},
        {"10.0.0.5:9998.5", "10.0.0.5", 9998}, {"10.0.0.5:65535", "10.0.0.5", 65535},
        {"10.0.0.5:0", "10.0.0.5", 0}, {"10.0.0.5:65536", "10.0.0.5", -1}, {"10.0.0.5:-1", "10.0.0.5", -1},
        {"nosuchunit:70000", "nosuchunit", -1}, {"", "", 9998}, {"9990", "9990", 9998},
    };
    // clang-format on
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Address);
        const UnitEndpoint E = ParseUnitAddress(C.Address, 9998);
        EXPECT_EQ(E.HostPart, C.Host);
        EXPECT_EQ(E.PortOutOfRange, C.Port == -1);
        if (C.Port != -1) {
            EXPECT_EQ(E.Port, C.Port);
        }
    }
    EXPECT_TRUE(ParseUnitAddress("h:1" + std::string(400, '0'), 9998).PortOutOfRange) << "beyond a double";
    EXPECT_EQ(ParseUnitAddress("h:0." + std::string(400, '0') + "1", 9998).Port, 0) << "as good as zero";
}
