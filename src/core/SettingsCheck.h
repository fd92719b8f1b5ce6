#pragma once
// "Will it work?": the settings file read with the program's own loader, one connection attempt per
// unit that sends nothing, the lamps as the program reads them now, and what to fix first. Runs beside
// a running program: it claims nothing and changes nothing.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/HostLookup.h"
#include "core/Selection.h"
#include "core/SettingsFile.h"

namespace Tavo {

// --- the units ------------------------------------------------------------------------------------------

enum class UnitOutcome {
    Connected,
    Dropped,
    Refused,
    TimedOut,
    LookupFailed,
    LookupTimedOut,
    PortOutOfRange
};

struct UnitCheck {
    int Unit = 0;
    std::string Address;        // as written
    std::string HostPart;       // the text before the first colon
    std::string ConnectAddress; // the dotted quad tried: as written, or as looked up
    bool LookedUp = false;      // the host part is a name
    double LookupMs = 0;
    int Port = 0;
    UnitOutcome Outcome = UnitOutcome::TimedOut;
    double AttemptMs = 0; // the connect, from its start to its result
    double LimitMs = 0;   // the longest the program (and so the check) waits for a connect
    std::size_t SaidBytes = 0;
    double SaidAfterMs = 0;  // from the connect to the unit's first byte
    double WaitedSaidMs = 0; // how long the check listened for the unit
    std::string FirstLine;   // the first line the unit said, printable
};

struct CheckLimits {
    double ConnectMs = ConnectLimitWithoutDelayMs;
    double GreetingMs = ConnectLimitWithoutDelayMs;
    // A name server the program would wait for without end; the check says so after this long.
    double LookupMs = 5000;
    // Once a unit has spoken: how long it may stay quiet before the check closes. A unit that closes
    // the connection meanwhile has turned the check away.
    double QuietMs = 250;
};
// The program's own limits: a connect gets ReconnectDelay (3000 ms when it is 0), and so does the greeting.
CheckLimits LimitsFor(const SettingsRecord& Settings);

// One connection attempt to a configured unit: looks up its name, connects, reads what the unit says
// and closes. Sends nothing. Blocks for at most the limits together: run it on a helper thread.
UnitCheck CheckUnit(int Unit, const UnitSlot& Slot, const CheckLimits& Limits, const Resolver& Resolve);

// Every configured unit at once, each on a thread of its own, so eight silent units cost one timeout.
// Blocks until all are done; for a caller without an event queue.
std::vector<UnitCheck> CheckUnits(const UnitArray& Units, const CheckLimits& Limits, const Resolver& Resolve);

// The same for a window: each unit on a thread of its own, each result handed to Post, which runs it
// on the user-interface thread from the event queue (Post itself may be called from any thread).
// Results still under way when this goes are dropped.
class UnitChecks {
  public:
    using Poster = std::function<void(std::function<void()>)>;
    UnitChecks(Poster Post, Resolver Resolve);
    ~UnitChecks();
    UnitChecks(const UnitChecks&) = delete;
    UnitChecks& operator=(const UnitChecks&) = delete;

    void Start(int Unit, const UnitSlot& Slot, const CheckLimits& Limits,
               std::function<void(const UnitCheck&)> Done);

  private:
    struct Mailbox;
    std::shared_ptr<Mailbox> Box;
    Resolver Resolve;
};

// --- the lamps ------------------------------------------------------------------------------------------

// The screen as the program reads it, in whole-screen physical pixels.
class CheckScreen {
  public:
    virtual ~CheckScreen() = default;
    // Whether a monitor shows the point: a point on none never matches a colour.
    virtual bool OnMonitor(ScreenPoint Point) = 0;
    // Colours as 0x00BBGGRR; 0xFFFFFFFF where unreadable.
    virtual void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) = 0;
};

enum class LampShows { ActiveColour, OnAirColour, Neither, Unreadable };

struct LampCheck {
    int Unit = 0;
    ScreenPoint At;
    bool OnMonitor = false;
    std::uint32_t Colour = UnreadableColour;
    LampShows Shows = LampShows::Unreadable;
};

struct LampsNow {
    std::vector<LampCheck> Rows; // the configured units' lamps, in unit order
    SelectionVerdict Selection;
};

// The lamps of the configured units, read once, and the selection the program would infer from them.
LampsNow CheckLamps(const UnitArray& Units, const SettingsRecord& Settings, CheckScreen& Screen);

// --- the report -----------------------------------------------------------------------------------------

struct CheckReport {
    std::string File;
    std::string Error; // the loader's error: nothing else was checked
    std::vector<std::string> Warnings;
    std::optional<LoadedSettings> Loaded;
    // The program the check is for (empty: the product's name), and whether it runs now; empty when
    // that cannot be told.
    std::string Program;
    std::optional<bool> ProgramRunning;
    // Per configured unit its result; empty while its check is under way.
    std::array<std::optional<UnitCheck>, UnitCount + 1> Units{};
    std::optional<LampsNow> Lamps;
    std::string NoLamps;          // why the lamps were not checked
    bool LampsUnreadable = false; // ... because the program could not read them here either
};

// Loads the file with the program's loader: its error and warnings go into the report as text. The
// program named after the file is the one that reads it (its version warning names it).
CheckReport LoadForCheck(const std::vector<std::string>& Candidates, const IniReader& Read);

// The file's stem: the program of that name reads it, and its version warning names it.
std::string BaseNameOf(const std::string& File);

// Every configured unit has its result.
bool UnitsDone(const CheckReport& Report);

struct CheckVerdict {
    bool Problem = false; // something to fix (the exit status 1)
    std::string Text;     // "Verdict: ..." in the operator's words
};
CheckVerdict Verdict(const CheckReport& Report);
// 0 every configured unit connected and every lamp checked lies on a monitor, 1 anything to fix, 2 the
// file cannot be used.
int ExitStatus(const CheckReport& Report);

// The report's lines. A unit's line begins "UnitN ", a lamp's "LampN ", the selection's "Selection now:",
// so a window can print the ones that change.
std::string UnitLine(const CheckReport& Report, int Unit);
std::string LampLine(const LampCheck& Lamp);
std::string SelectionLine(const LampsNow& Lamps);
std::string ReportText(const CheckReport& Report);

} // namespace Tavo
