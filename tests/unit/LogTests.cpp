// The log file: its lines and their times, each run's first and last line (and a run that left none),
// rotation, a path that cannot be written, and a file that hangs.

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Rig.h"
#include "core/Texts.h"
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

struct Folder {
    std::string Path = std::filesystem::temp_directory_path().string() + "/tavo-log-" +
                       std::to_string(static_cast<long long>(RealMilliseconds() * 1000));
    Folder() { std::filesystem::create_directories(Path); }
    ~Folder() { std::filesystem::remove_all(Path); }
};

// Starts the program beside a settings file in Dir that logs to LogFile, and selects unit 1.
void StartAndSelect(Rig& R, const std::string& Dir, const std::string& LogFile, const UnitListener& Unit,
                    const char* Poll = "50") {
    std::ofstream(Dir + "/TavoRouterControl.ini")
        << "[General]\nVersion=1\n[Devices]\nUnit1=" << Unit.Endpoint()
        << "\n[Configuration]\nPollInterval=" << Poll
        << "\nReconnectDelay=0\n[TavoGUI]\nUnitIndicator1=10,10\n"
        << "[Diagnostics]\nLogFile=" << LogFile << "\n";
    R.Desk.Folder = Dir;
    R.Form.Form_Load();
    R.Desk.Paint(10, 10, 0x00FF9632);
    R.Desk.Advance(60);
}

const std::string Version = VersionTextOf(VersionMajor, VersionMinor, VersionRevision);

std::string LocalSeconds() {
    const std::time_t Now = std::time(nullptr);
    char Text[32];
    return {Text, std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S", std::localtime(&Now))};
}

std::string Slurp(const std::string& File) {
    std::ifstream In(File);
    return {std::istreambuf_iterator<char>(In), {}};
}

} // namespace

TEST(LogFile, EveryLineTimedAndEachRunFramed) {
    UnitListener Unit;
    Folder Dir;
#ifndef _WIN32
    setenv("TZ", "TAVO-5:30", 1), tzset(); // local time that differs from UTC, whatever the machine's
#endif
    const std::string Before = LocalSeconds();
    std::string Content;
    for (const bool Exits : {false, true}) { // the first run is ended from outside: no end line
        Rig R;
        StartAndSelect(R, Dir.Path, "tavo.log", Unit);
        if (Exits)
            EXPECT_THROW(R.Form.mnuExit_Click(), ProcessEnded);
        else
            R.Form.DisconnectUnit(1);            // what the rig's end would do, said here
        Content = Slurp(Dir.Path + "/tavo.log"); // before the writer is stopped: the process would be gone
    }
    const std::string U1 = "Unit1 " + Unit.Endpoint() + ": ";
    const std::vector<std::string> Run = {
        Version + " started: settings " + Dir.Path +
            "/TavoRouterControl.ini; units configured: " + U1.substr(0, U1.size() - 2),
        U1 + "connected", "selected Unit1: lamp 1 shows the active colour", U1 + "selection sent"};
    std::vector<std::string> Expected = Run;
    Expected.insert(Expected.end(),
                    {U1 + "closed", "the previous run left no end line: it was ended from outside "
                                    "(killed, or its session ended), it crashed, or the computer stopped"});
    Expected.insert(Expected.end(), Run.begin(), Run.end());
    Expected.push_back(Version + " ended: Exit chosen in the tray menu");

    const std::string After = LocalSeconds();
    std::istringstream File(Content);
    const std::regex Stamped(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} (.*))");
    std::vector<std::string> Texts;
    std::string Previous;
    for (std::string Line; std::getline(File, Line);) {
        std::smatch Parts;
        ASSERT_TRUE(std::regex_match(Line, Parts, Stamped)) << Line;
        EXPECT_TRUE(Before <= Parts[1].str() && Parts[1].str() <= After && Previous <= Line.substr(0, 23))
            << Line;
        Previous = Line.substr(0, 23);
        Texts.push_back(Parts[2]);
    }
    EXPECT_EQ(Texts, Expected);
}

TEST(LogFile, TheLastLineSaysHowTheRunEnded) {
    UnitListener Unit;
    Folder Dir;
    const struct {
        const char* Poll;
        bool NetworkStarts;
        std::function<void(Rig&)> End; // after the start
        std::string Says;
    } Ways[] = {
        {"50", true, [](Rig& R) { R.Desk.Sink->OnCloseRequest(); }, "the desktop asked it to close"},
        {"50", true, [](Rig& R) { R.Desk.Sink->OnUnexpectedError("boom"); }, "an unexpected error: boom"},
        {"fast", true, {}, "settings error: In the file " + Dir.Path + "/TavoRouterControl.ini, section ["},
        {"50", false, {}, "The TCP Stack could not be initialized."},
    };
    for (const auto& Way : Ways) {
        Rig R;
        R.Desk.NetworkStarts = Way.NetworkStarts;
        try {
            StartAndSelect(R, Dir.Path, "ends.log", Unit, Way.Poll);
            Way.End(R);
        } catch (const ProcessEnded&) {
        }
        EXPECT_NE(Slurp(Dir.Path + "/ends.log").find(Version + " ended: " + Way.Says), std::string::npos)
            << Way.Says;
    }
}

TEST(LogFile, RotatesAtOneMebibyteAndSaysOnceThatItCannotWrite) {
    UnitListener Unit;
    Folder Dir;
    {
        SCOPED_TRACE("a full file becomes <name>.1, replacing the older one; a full path is taken as it is");
        const std::string Log = Dir.Path + "/full.log";
        const std::string Full(DiagnosticLog::RotateBytes - 20, 'x');
        std::ofstream(Log, std::ios::binary) << Full;
        std::ofstream(Log + ".1") << "older\n";
        Rig R;
        StartAndSelect(R, Dir.Path, Log, Unit);
        EXPECT_THROW(R.Form.mnuExit_Click(), ProcessEnded);
        EXPECT_EQ(Slurp(Log + ".1"), Full);
        EXPECT_LT(Slurp(Log).size(), 2048u) << "the run's lines are not in a new file";
    }
    // A path that cannot be written: one diagnostic line, no box, and the program runs on.
    const std::string Cases[][2] = {
        // LogFile, the one line it gives
        {"missing/tavo.log", "missing/tavo.log cannot be written (" +
                                 std::generic_category().message(ENOENT) +
                                 "); its lines are lost until it can be"},
        {"TavoRouterControl.INI", "TavoRouterControl.INI is the settings file itself: no log is kept"}};
    for (const auto& [LogFile, Line] : Cases) {
        SCOPED_TRACE(LogFile);
        Rig R;
        const std::size_t Before = Unit.ReceivedBytes();
        StartAndSelect(R, Dir.Path, LogFile, Unit);
        EXPECT_TRUE(Unit.WaitForReceived(Before + GpOut.size(), Patience)) << "the selection was not sent";
        EXPECT_THROW(R.Form.mnuExit_Click(), ProcessEnded);
        R.Desk.DoEvents(); // the writer's report comes through the event queue
        std::erase_if(R.Desk.Diagnostics, [](const std::string& L) { return L.starts_with("Unit1 "); });
        EXPECT_EQ(R.Desk.Diagnostics,
                  std::vector<std::string>{
                      "In the file " + Dir.Path +
                      "/TavoRouterControl.ini, section [Diagnostics], key LogFile: the log file " + Dir.Path +
                      "/" + Line});
        EXPECT_TRUE(R.Desk.Boxes.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(Dir.Path + "/missing"));
    EXPECT_EQ(Slurp(Dir.Path + "/TavoRouterControl.ini").find(" started: "), std::string::npos);
}

#ifndef _WIN32
// A pipe nobody reads hangs the opening for writing, as a share whose server has gone does.
TEST(LogFile, AFileThatHangsHoldsUpNeitherPollNorTriggerNorExit) {
    UnitListener Unit;
    Folder Dir;
    const std::string Pipe = Dir.Path + "/hangs.log";
    ASSERT_EQ(mkfifo(Pipe.c_str(), 0600), 0);
    Rig R;
    StartAndSelect(R, Dir.Path, Pipe, Unit);
    EXPECT_TRUE(Unit.WaitForReceived(GpOut.size(), Patience)) << "the selection was not sent";
    EXPECT_THROW(R.Form.mnuExit_Click(), ProcessEnded); // the end waits a while, not for ever
    // Once the file takes lines again, every one comes, the last line too.
    const int Reader = open(Pipe.c_str(), O_RDONLY | O_NONBLOCK);
    std::string Got;
    for (int I = 0; I < 500 && Got.find(" ended: ") == std::string::npos; ++I) {
        char Buffer[4096];
        const ssize_t Count = read(Reader, Buffer, sizeof Buffer);
        Count > 0 ? (void)Got.append(Buffer, static_cast<std::size_t>(Count)) : SleepMilliseconds(10);
    }
    close(Reader);
    EXPECT_NE(Got.find(" ended: Exit chosen in the tray menu\n"), std::string::npos) << Got;
}
#endif
