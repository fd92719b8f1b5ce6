// The log file: its lines and their times, each run's first and last line (and a run that left none),
// rotation, a path that cannot be written, and a file that hangs.

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "Rig.h"
#include "core/Texts.h"
#include "core/modMain.h"
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

// Starts the program beside a settings file in Dir that logs to LogFile, and selects unit N.
void StartAndSelect(Rig& R, const std::string& Dir, const std::string& LogFile, const UnitListener& Unit,
                    const char* Poll = "50", int N = 1) {
    std::ofstream(Dir + "/TavoRouterControl.ini")
        << "[General]\nVersion=1\n[Devices]\nUnit" << N << "=" << Unit.Endpoint()
        << "\n[Configuration]\nPollInterval=" << Poll << "\nReconnectDelay=0\n[TavoGUI]\nUnitIndicator" << N
        << "=10,10\n[Diagnostics]\nLogFile=" << LogFile << "\n";
    R.Desk.Folder = Dir;
    R.Form.Form_Load();
    R.Desk.Paint(10, 10, 0x00FF9632);
    R.Desk.Advance(60);
}

const std::string Version = VersionTextOf(VersionMajor, VersionMinor, VersionRevision);

// "2026-03-14 14:02:07.123", local time, as the log stamps its lines.
std::string LocalStamp(std::chrono::system_clock::time_point At = std::chrono::system_clock::now()) {
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(At);
    const auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(At.time_since_epoch()).count() % 1000;
    char Text[32];
    return std::string(Text,
                       std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S", std::localtime(&Seconds))) +
           "." + std::to_string(1000 + Ms).substr(1);
}

const std::string NoEndLine = "the previous run left no end line: it was ended from outside (killed, or its "
                              "session ended), it crashed, or the computer stopped";

std::string Slurp(const std::string& File) {
    std::ifstream In(File);
    return {std::istreambuf_iterator<char>(In), {}};
}

std::vector<std::string> LinesOf(const std::string& Text) {
    std::vector<std::string> Lines;
    std::istringstream In(Text);
    for (std::string Line; std::getline(In, Line);)
        Lines.push_back(Line);
    return Lines;
}

} // namespace

TEST(LogFile, EveryLineTimedAndEachRunFramed) {
    UnitListener Unit;
    Folder Dir;
#ifndef _WIN32
    setenv("TZ", "TAVO-5:30", 1), tzset(); // local time that differs from UTC, whatever the machine's
#endif
    const std::string Before = LocalStamp();
    std::string Content;
    std::vector<std::string> Expected;
    for (const int N : {8, 1}) { // the first run is ended from outside: no end line
        Rig R;
        StartAndSelect(R, Dir.Path, "tavo.log", Unit, "50", N);
        const std::string Name = "Unit" + std::to_string(N), U = Name + " " + Unit.Endpoint();
        if (N == 1)
            Expected.push_back(NoEndLine);
        Expected.insert(
            Expected.end(),
            {Version + " started: settings " + Dir.Path + "/TavoRouterControl.ini; units configured: " + U,
             U + ": connected",
             "selected " + Name + ": lamp " + std::to_string(N) + " shows the active colour",
             U + ": selection sent"});
        if (N == 1)
            EXPECT_THROW(R.Form.mnuExit_Click(), ProcessEnded);
        else
            R.Form.DisconnectUnit(N);            // what the rig's end would do, said here
        Content = Slurp(Dir.Path + "/tavo.log"); // before the writer is stopped: the process would be gone
        Expected.push_back(N == 1 ? Version + " ended: Exit chosen in the tray menu" : U + ": closed");
    }

    const std::string After = LocalStamp();
    std::istringstream File(Content);
    const std::regex Stamped(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (.*))");
    std::vector<std::string> Texts;
    std::string Previous = Before;
    for (std::string Line; std::getline(File, Line);) {
        std::smatch Parts;
        ASSERT_TRUE(std::regex_match(Line, Parts, Stamped)) << Line;
        EXPECT_TRUE(Previous <= Parts[1].str() && Parts[1].str() <= After) << Line;
        Previous = Parts[1];
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
    // An exception out of the start (here from the screen's warning box): the log's last word comes first.
    FakeDesktop Desk;
    Desk.Folder = Dir.Path;
    Desk.Screen = ScreenAccess::NotReadable;
    Desk.WhileBoxOpen = [](const RecordedBox&) { throw std::runtime_error("out of memory"); };
    EXPECT_THROW(Main(Desk), std::runtime_error);
    EXPECT_NE(Slurp(Dir.Path + "/ends.log").find(Version + " ended: an unexpected error: out of memory"),
              std::string::npos);
}

TEST(LogFile, StampedToTheMillisecondAndLookingBackOnlyAtARunThatLeftNoEndLine) {
    Folder Dir;
    const std::pair<std::string, bool> Files[] = {
        // what the file holds before ("-": there is none), whether the run before left no end line
        {"-", false},
        {"", false},
        {"x ended: fine\ny started\n", true}};
    int Count = 0;
    for (const auto& [Held, LookBack] : Files) {
        const std::string File = Dir.Path + "/" + std::to_string(++Count) + ".log";
        if (Held != "-")
            std::ofstream(File, std::ios::binary) << Held;
        std::string Earliest, Latest;
        {
            DiagnosticLog Log;
            Log.Open(File, {});
            Earliest = LocalStamp();
            Log.Write("one");
            Latest = LocalStamp();
            const double Start = RealMilliseconds();
            Log.End("it", "done", 2 * Patience);
            EXPECT_LT(RealMilliseconds() - Start, Patience) << "the end waited longer than the writer took";
            Log.Write("after its end");
        }
        const std::vector<std::string> Lines = LinesOf(Slurp(File).substr(Held == "-" ? 0 : Held.size()));
        ASSERT_EQ(Lines.size(), LookBack ? 3u : 2u) << Slurp(File);
        EXPECT_EQ(Lines[0].substr(23), LookBack ? " " + NoEndLine : " one");
        EXPECT_TRUE(Earliest <= Lines[0].substr(0, 23) && Lines[0].substr(0, 23) <= Latest) << Lines[0];
        EXPECT_EQ(Lines.back().substr(23), " it ended: done");
    }
}

TEST(LogFile, AFileThatCannotBeWrittenIsReportedOnceAndItsLostLinesCountedOnceItCan) {
    Folder Dir;
    const std::tuple<std::string, int, bool> Files[] = {
        // the file, why it cannot be written, whether it can be later
        {Dir.Path + "/missing/tavo.log", ENOENT, false},
        {Dir.Path + "/later/tavo.log", ENOENT, true},
#ifndef _WIN32
        {"/dev/full", ENOSPC, false}, // a full disk may say so only when the file is closed
#endif
    };
    for (const auto& [File, Error, Mended] : Files) {
        SCOPED_TRACE(File);
        std::mutex Lock;
        std::vector<std::string> Problems;
        {
            DiagnosticLog Log;
            Log.Open(File, [&](const std::string& Problem) {
                const std::lock_guard Guard(Lock);
                Problems.push_back(Problem);
            });
            Log.Write("lost");
            for (int I = 0; I < Patience / 2; ++I, SleepMilliseconds(2))
                if (const std::lock_guard Guard(Lock); !Problems.empty())
                    break;
            if (Mended)
                std::filesystem::create_directory(std::filesystem::path(File).parent_path());
            Log.Write("then");
            Log.End("it", "done", Patience);
        }
        EXPECT_EQ(Problems,
                  std::vector<std::string>{"cannot be written (" + std::generic_category().message(Error) +
                                           "); its lines are lost until it can be"});
        if (Mended) {
            EXPECT_EQ(Slurp(File).find(" 1 earlier lines could not be written"), 23u) << Slurp(File);
        }
    }
}

TEST(LogFile, RotatesAtOneMebibyteAndSaysOnceThatItCannotWrite) {
    UnitListener Unit;
    Folder Dir;
    {
        SCOPED_TRACE("a full file becomes <name>.1, replacing the older one; a full path is taken as it is");
        const std::string Log = Dir.Path + "/full.log";
        const std::string Full(1024 * 1024 - 20, 'x');
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
// Reads a pipe that the log's writer hangs on until Marker has come, or about 5 s have passed.
std::string ReadPipeUntil(const std::string& Pipe, const std::string& Marker) {
    const int Reader = open(Pipe.c_str(), O_RDONLY | O_NONBLOCK);
    std::string Got;
    for (int I = 0; I < 500 && Got.find(Marker) == std::string::npos; ++I) {
        char Buffer[4096];
        const ssize_t Count = read(Reader, Buffer, sizeof Buffer);
        Count > 0 ? (void)Got.append(Buffer, static_cast<std::size_t>(Count)) : SleepMilliseconds(10);
    }
    close(Reader);
    return Got;
}

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
    const std::string Got = ReadPipeUntil(Pipe, " ended: ");
    EXPECT_NE(Got.find(" ended: Exit chosen in the tray menu\n"), std::string::npos) << Got;

    // More lines than the queue holds while the file hangs: each one is either in the file or counted
    // there as lost, and the end line is never among the lost (the next run would say there was none).
    const std::string Full = Dir.Path + "/full.log";
    ASSERT_EQ(mkfifo(Full.c_str(), 0600), 0);
    constexpr long Flood = 10000; // over twice the queue, however much the writer took before it hung
    DiagnosticLog Log;
    Log.Open(Full, nullptr);
    for (long I = 0; I < Flood; ++I)
        Log.Write("flood");
    Log.End("it", "done", 0);
    const std::string Flooded = ReadPipeUntil(Full, " ended: done");
    long Written = 0, Lost = 0;
    for (std::size_t At = 0; (At = Flooded.find(" flood\n", At)) != std::string::npos; ++At)
        ++Written;
    const std::regex Counted(" (\\d+) earlier lines could not be written\n");
    for (std::sregex_iterator It(Flooded.begin(), Flooded.end(), Counted), End; It != End; ++It)
        Lost += std::stol((*It)[1]);
    EXPECT_GT(Lost, 0);
    EXPECT_EQ(Written + Lost, Flood);
    EXPECT_NE(Flooded.find(" ended: done\n"), std::string::npos) << "the end line was dropped";
}
#endif
