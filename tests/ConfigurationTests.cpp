// Loading real settings files: defaults, the version rule, colours, lamp positions and the messages
// that name what was wrong.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "FakeDesktop.h"
#include "app/frmMain.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

struct Loaded {
    std::optional<std::string> Fatal;
    std::vector<RecordedBox> Boxes;
    UnitArray Units;
    SettingsRecord Settings;
};

Loaded Load(const std::string& BaseName, const std::string& Folder = TAVO_TEST_DATA) {
    FakeDesktop Desk;
    Desk.Folder = Folder;
    Desk.BaseName = BaseName;
    frmMain Form(Desk);
    Loaded Result;
    try {
        Form.LoadConfiguration();
    } catch (const FatalError& Error) {
        Result.Fatal = Error.what();
    }
    Result.Boxes = Desk.Boxes;
    Result.Units = Form.UnitTable;
    Result.Settings = Form.Settings;
    return Result;
}

// No unit configured, a poll every 200 ms, a pass every 3000 ms, all lamps at 0,0, the two colours.
void ExpectEveryDefault(const Loaded& L) {
    EXPECT_EQ(L.Settings.PollInterval, "200");
    EXPECT_EQ(L.Settings.ReconnectDelay, "3000");
    EXPECT_EQ(L.Settings.ActiveColor, 0x00FF9632u);
    EXPECT_EQ(L.Settings.OnAirColor, 0x002F2FE5u);
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        EXPECT_EQ(L.Units[Unit].UnitAddress, "");
        EXPECT_EQ(L.Units[Unit].IndicatorX, 0);
        EXPECT_EQ(L.Units[Unit].IndicatorY, 0);
        EXPECT_FALSE(L.Units[Unit].UnitConnected);
    }
}

} // namespace

TEST(Configuration, EmptyFileWarnsThenGivesEveryDefault) {
    const Loaded L = Load("empty");
    ASSERT_FALSE(L.Fatal) << *L.Fatal;
    ASSERT_EQ(L.Boxes.size(), 1u);
    EXPECT_EQ(L.Boxes[0].Title, "Warning");
    EXPECT_EQ(L.Boxes[0].Icon, BoxIcon::Exclamation);
    EXPECT_EQ(L.Boxes[0].Text, "Warning: The file empty.ini is not compatible with this version of "
                               "TavoRouterControl. Dazed and confused, but trying to continue.");
    ExpectEveryDefault(L);
}

TEST(Configuration, VersionRule) {
    struct Case {
        const char* File;
        bool Warns;
        bool Fatal;
    } Cases[] = {
        {"version-missing", true, false}, {"version-0", true, false},       {"version-1", false, false},
        {"version-2", true, false},       {"version-minus1", false, false}, {"version-1point0", false, false},
        {"version-text", false, true},    {"version-empty", false, true},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.File);
        const Loaded L = Load(C.File);
        EXPECT_EQ(L.Fatal.has_value(), C.Fatal);
        EXPECT_EQ(L.Boxes.size(), C.Warns ? 1u : 0u);
        if (C.Fatal) {
            EXPECT_NE(L.Fatal->find(std::string(C.File) + ".ini"), std::string::npos) << *L.Fatal;
            EXPECT_NE(L.Fatal->find("[General]"), std::string::npos) << *L.Fatal;
            EXPECT_NE(L.Fatal->find("Version"), std::string::npos) << *L.Fatal;
        }
    }
}

TEST(Configuration, Colours) {
    struct Case {
        const char* File;
        std::optional<std::uint32_t> Colour; // empty: fatal
    } Cases[] = {
        {"colour-hash-ff0000", 0x000000FF},
        {"colour-ff0000", 0x000000FF},
        {"colour-short", 0x000000F0},
        {"colour-lower", 0x00FF9632},
        {"colour-long", 0x00FF9632},
        {"colour-empty", 0},
        {"colour-hash", 0},
        {"colour-bad", std::nullopt},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.File);
        const Loaded L = Load(C.File);
        if (C.Colour) {
            ASSERT_FALSE(L.Fatal) << *L.Fatal;
            EXPECT_EQ(L.Settings.ActiveColor, *C.Colour);
            EXPECT_EQ(L.Settings.OnAirColor, 0x002F2FE5u);
        } else {
            ASSERT_TRUE(L.Fatal);
            for (const char* Part : {"colour-bad.ini", "[TavoGUI]", "UnitActiveColor", "\"#GG0000\""})
                EXPECT_NE(L.Fatal->find(Part), std::string::npos) << Part << " missing from: " << *L.Fatal;
        }
    }
}

TEST(Configuration, IndicatorPositions) {
    struct Case {
        const char* File;
        bool Fatal;
        int X, Y;
    } Cases[] = {
        {"position-nocomma", false, 0, 0},     {"position-plain", false, 350, 20},
        {"position-blanks", false, 812, 1046}, {"position-limits", false, -32768, 32767},
        {"position-fractions", false, 2, 4},   {"position-toolarge", true, 0, 0},
        {"position-emptysecond", true, 0, 0},  {"position-threeparts", true, 0, 0},
        {"position-text", true, 0, 0},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.File);
        const Loaded L = Load(C.File);
        ASSERT_EQ(L.Fatal.has_value(), C.Fatal) << L.Fatal.value_or("");
        if (C.Fatal) {
            EXPECT_NE(L.Fatal->find("UnitIndicator2"), std::string::npos) << *L.Fatal;
            continue;
        }
        EXPECT_EQ(L.Units[2].IndicatorX, C.X);
        EXPECT_EQ(L.Units[2].IndicatorY, C.Y);
        EXPECT_EQ(L.Units[1].IndicatorX, 0);
    }
}

TEST(Configuration, AddressesCaseAndLength) {
    const Loaded Long = Load("long-address");
    ASSERT_FALSE(Long.Fatal);
    EXPECT_EQ(Long.Units[1].UnitAddress, std::string(749, 'a'));

    const Loaded Mixed = Load("mixed-case");
    ASSERT_FALSE(Mixed.Fatal) << *Mixed.Fatal;
    EXPECT_TRUE(Mixed.Boxes.empty());
    EXPECT_EQ(Mixed.Units[3].UnitAddress, "10.0.0.7:9990");
    EXPECT_EQ(Mixed.Settings.PollInterval, "150");
    EXPECT_EQ(Mixed.Settings.ReconnectDelay, "2500");
    EXPECT_EQ(Mixed.Units[3].IndicatorX, 812);
    EXPECT_EQ(Mixed.Units[3].IndicatorY, 1046);
    EXPECT_EQ(Mixed.Settings.ActiveColor, 0x0000FF00u);

    const Loaded Example = Load("example");
    ASSERT_FALSE(Example.Fatal) << *Example.Fatal;
    EXPECT_EQ(Example.Units[1].UnitAddress, "192.0.2.10");
    EXPECT_EQ(Example.Units[2].UnitAddress, "192.0.2.11:9998");
    EXPECT_EQ(Example.Units[4].UnitAddress, "");
    EXPECT_EQ(Example.Units[2].IndicatorX, 850);
}

TEST(Configuration, MissingOrUnreadableFileIsFatal) {
    for (const char* Name : {"no-such-file", "unreadable-folder"}) {
        SCOPED_TRACE(Name);
        const Loaded L = Load(Name);
        ASSERT_TRUE(L.Fatal);
        EXPECT_NE(L.Fatal->find(std::string(Name) + ".ini"), std::string::npos) << *L.Fatal;
        EXPECT_TRUE(L.Boxes.empty());
    }
}

TEST(Configuration, ShippedExampleLoadsAsTheDefaults) {
    const Loaded L = Load("TavoRouterControl", TAVO_PACKAGING_DIR);
    ASSERT_FALSE(L.Fatal) << *L.Fatal;
    EXPECT_TRUE(L.Boxes.empty());
    ExpectEveryDefault(L);
}
