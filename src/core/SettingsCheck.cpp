// The settings check: the units tried once each (nothing sent), the lamps read, and the report.

#include "core/SettingsCheck.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "core/Colours.h"
#include "core/Version.h"
#include "core/modTCP.h"

namespace Tavo {

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point Start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

// Whole milliseconds left until Deadline, rounded up so a wait never ends just short of it.
int MsUntil(Clock::time_point Deadline) {
    const double Left = std::chrono::duration<double, std::milli>(Deadline - Clock::now()).count();
    return Left <= 0 ? 0 : static_cast<int>(std::ceil(Left));
}

Clock::time_point After(Clock::time_point From, double Ms) {
    return From + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(Ms));
}

// A unit that floods is not read to its end: this much tells what it says.
constexpr std::size_t ListenBytesLimit = 64 * 1024;
constexpr std::size_t FirstLineLimit = 60;

std::string Printable(const std::string& Said) {
    std::string Line;
    for (const char C : Said) {
        if (C == '\n' || Line.size() == FirstLineLimit)
            break;
        if (C == '\r')
            continue;
        Line += C >= ' ' && C <= '~' ? C : '?';
    }
    return Line;
}

// Waits for the connect started on Socket; Connected, Refused or TimedOut.
UnitOutcome AwaitConnect(SocketHandle Socket, Clock::time_point Deadline) {
    for (;;) {
        const modTCP::ConnectState State = modTCP::CheckConnect(Socket);
        if (State == modTCP::ConnectState::Connected)
            return UnitOutcome::Connected;
        if (State == modTCP::ConnectState::Failed)
            return UnitOutcome::Refused;
        const int Left = MsUntil(Deadline);
        if (Left == 0)
            return UnitOutcome::TimedOut;
        (void)modTCP::WaitSocket(Socket, SocketInterest::ConnectDone, Left);
    }
}

// Reads what the unit says until it falls quiet, the limit passes or it closes; true when it closed.
bool Listen(SocketHandle Socket, const CheckLimits& Limits, UnitCheck& Check) {
    const Clock::time_point Start = Clock::now();
    Clock::time_point Deadline = After(Start, Limits.GreetingMs);
    std::string Said;
    bool Closed = false;
    for (;;) {
        const int Left = MsUntil(Deadline);
        if (Left == 0 || Check.SaidBytes >= ListenBytesLimit)
            break;
        if (!modTCP::WaitSocket(Socket, SocketInterest::Readable, Left))
            continue;
        if (modTCP::PeekSocket(Socket) < 0) {
            Closed = true;
            break;
        }
        const std::string Piece = modTCP::ReceiveText(Socket); // empty after a wake with nothing to read
        if (Piece.empty())
            continue;
        if (Check.SaidBytes == 0)
            Check.SaidAfterMs = MsSince(Start);
        Check.SaidBytes += Piece.size();
        Said += Piece.substr(0, FirstLineLimit * 2 - Said.size()); // room for the returns Printable drops
        Deadline = std::min(Deadline, After(Clock::now(), Limits.QuietMs));
    }
    Check.WaitedSaidMs = MsSince(Start);
    Check.FirstLine = Printable(Said);
    return Closed;
}

// The name looked up on a thread of its own, which is left behind when the name server does not answer.
std::optional<std::string> LookUp(const std::string& Name, const Resolver& Resolve, double LimitMs) {
    auto Promise = std::make_shared<std::promise<std::string>>();
    std::future<std::string> Result = Promise->get_future();
    std::thread([Promise, Resolve, Name] { Promise->set_value(Resolve(Name)); }).detach();
    if (Result.wait_for(std::chrono::duration<double, std::milli>(LimitMs)) != std::future_status::ready)
        return std::nullopt;
    return Result.get();
}

std::string Ms(double Value) {
    return std::to_string(std::lround(Value)) + " ms";
}

std::string PointText(ScreenPoint P) {
    return std::to_string(P.X) + "," + std::to_string(P.Y);
}

std::string ProgramOf(const CheckReport& Report) {
    return Report.Program.empty() ? ProductName : Report.Program;
}

bool TurnedAway(UnitOutcome Outcome) {
    return Outcome == UnitOutcome::Refused || Outcome == UnitOutcome::Dropped ||
           Outcome == UnitOutcome::TimedOut;
}

std::string RunningNote(const CheckReport& Report) {
    std::string Note = ProgramOf(Report);
    Note += " is running and holds its own connection to the unit: a unit that takes one control connection "
            "at a time turns a second one away, which may be the reason.";
    return Note;
}

} // namespace

CheckLimits LimitsFor(const SettingsRecord& Settings) {
    CheckLimits Limits;
    Limits.ConnectMs = Settings.ReconnectDelay > 0 ? Settings.ReconnectDelay : ConnectLimitWithoutDelayMs;
    Limits.GreetingMs = std::max<double>(Settings.ReconnectDelay, Limits.QuietMs);
    return Limits;
}

UnitCheck CheckUnit(int Unit, const UnitSlot& Slot, const CheckLimits& Limits, const Resolver& Resolve) {
    UnitCheck Check;
    Check.Unit = Unit;
    Check.Address = Slot.UnitAddress;
    Check.HostPart = Slot.HostPart;
    Check.Port = Slot.Port;
    Check.LimitMs = Limits.ConnectMs;
    if (Slot.PortOutOfRange) {
        Check.Outcome = UnitOutcome::PortOutOfRange;
        return Check;
    }
    if (modTCP::IsIPv4Address(Slot.HostPart)) {
        Check.ConnectAddress = Slot.HostPart;
    } else {
        Check.LookedUp = true;
        const Clock::time_point Asked = Clock::now();
        const std::optional<std::string> Found = LookUp(Slot.HostPart, Resolve, Limits.LookupMs);
        Check.LookupMs = MsSince(Asked);
        if (!Found || Found->empty()) {
            Check.Outcome = Found ? UnitOutcome::LookupFailed : UnitOutcome::LookupTimedOut;
            return Check;
        }
        Check.ConnectAddress = *Found;
    }

    const Clock::time_point Start = Clock::now();
    SocketHandle Socket = modTCP::ConnectTcp(Check.ConnectAddress, Check.Port);
    Check.Outcome =
        Socket == -1 ? UnitOutcome::Refused : AwaitConnect(Socket, After(Start, Limits.ConnectMs));
    Check.AttemptMs = MsSince(Start);
    if (Check.Outcome == UnitOutcome::Connected && Listen(Socket, Limits, Check))
        Check.Outcome = UnitOutcome::Dropped;
    if (Socket != -1) {
        if (Check.Outcome == UnitOutcome::Connected)
            modTCP::ShutdownBoth(Socket);
        modTCP::CloseTcp(Socket);
    }
    return Check;
}

std::vector<UnitCheck> CheckUnits(const UnitArray& Units, const CheckLimits& Limits,
                                  const Resolver& Resolve) {
    std::vector<UnitCheck> Results;
    std::vector<int> Configured;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (!Units[Unit].UnitAddress.empty())
            Configured.push_back(Unit);
    Results.resize(Configured.size());
    std::vector<std::thread> Threads;
    for (std::size_t I = 0; I < Configured.size(); ++I)
        Threads.emplace_back(
            [&, I] { Results[I] = CheckUnit(Configured[I], Units[Configured[I]], Limits, Resolve); });
    for (std::thread& T : Threads)
        T.join();
    return Results;
}

// Shared with the check threads, which may outlive the checks' owner.
struct UnitChecks::Mailbox {
    std::mutex Lock;
    bool Open = true;
    Poster Post;

    bool IsOpen() {
        const std::lock_guard Guard(Lock);
        return Open;
    }
};

UnitChecks::UnitChecks(Poster Post, Resolver ResolveName)
    : Box(std::make_shared<Mailbox>()), Resolve(std::move(ResolveName)) {
    Box->Post = std::move(Post);
}

UnitChecks::~UnitChecks() {
    const std::lock_guard Guard(Box->Lock);
    Box->Open = false;
}

void UnitChecks::Start(int Unit, const UnitSlot& Slot, const CheckLimits& Limits,
                       std::function<void(const UnitCheck&)> Done) {
    std::thread([Shared = Box, Resolve = Resolve, Unit, Slot, Limits, Done = std::move(Done)]() mutable {
        UnitCheck Result = CheckUnit(Unit, Slot, Limits, Resolve);
        // Posted under the lock, so the owner cannot go (and take the window with it) halfway.
        const std::lock_guard Guard(Shared->Lock);
        if (!Shared->Open)
            return;
        Shared->Post([Shared, Done = std::move(Done), Result = std::move(Result)] {
            if (Shared->IsOpen())
                Done(Result);
        });
    }).detach();
}

LampsNow CheckLamps(const UnitArray& Units, const SettingsRecord& Settings, CheckScreen& Screen) {
    LampsNow Now;
    std::vector<ScreenPoint> Points;
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        if (Units[Unit].UnitAddress.empty())
            continue;
        LampCheck Row;
        Row.Unit = Unit;
        Row.At = {Units[Unit].IndicatorX, Units[Unit].IndicatorY};
        Row.OnMonitor = Screen.OnMonitor(Row.At);
        Now.Rows.push_back(Row);
        Points.push_back(Row.At);
    }
    std::vector<std::uint32_t> Colours(Points.size(), UnreadableColour);
    if (!Points.empty())
        Screen.ReadPixels(Points, Colours);
    // As the poll samples: unconfigured units stay 0.
    LampSamples Samples{};
    for (std::size_t I = 0; I < Now.Rows.size(); ++I) {
        LampCheck& Row = Now.Rows[I];
        Row.Colour = Row.OnMonitor ? Colours[I] : UnreadableColour;
        Samples[static_cast<std::size_t>(Row.Unit)] = Row.Colour;
        if (Row.Colour > 0x00FFFFFFu)
            Row.Shows = LampShows::Unreadable;
        else if (Row.Colour == Settings.ActiveColor)
            Row.Shows = LampShows::ActiveColour;
        else if (Row.Colour == Settings.OnAirColor)
            Row.Shows = LampShows::OnAirColour;
        else
            Row.Shows = LampShows::Neither;
    }
    Now.Selection = InferSelection(Samples, Settings.ActiveColor, Settings.OnAirColor);
    return Now;
}

std::string BaseNameOf(const std::string& File) {
    // Either separator: a Windows path is taken apart the same way on every system.
    const std::size_t Slash = File.find_last_of("\\/");
    std::string Name = Slash == std::string::npos ? File : File.substr(Slash + 1);
    const std::size_t Dot = Name.rfind('.');
    if (Dot != std::string::npos && Dot > 0)
        Name.resize(Dot);
    return Name;
}

CheckReport LoadForCheck(const std::vector<std::string>& Candidates, const IniReader& Read) {
    CheckReport Report;
    Report.File = FindSettingsFile(Candidates);
    try {
        Report.Loaded = LoadSettingsFile(Candidates, BaseNameOf(Report.File), VersionMajor, Read,
                                         [&](const std::string& Text) { Report.Warnings.push_back(Text); });
    } catch (const FatalError& Error) {
        Report.Error = Error.what();
    }
    return Report;
}

bool UnitsDone(const CheckReport& Report) {
    if (!Report.Loaded)
        return true;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (!Report.Loaded->Units[Unit].UnitAddress.empty() && !Report.Units[static_cast<std::size_t>(Unit)])
            return false;
    return true;
}

std::string UnitLine(const CheckReport& Report, int Unit) {
    const UnitSlot& Slot = Report.Loaded->Units[Unit];
    std::string Line = "Unit" + std::to_string(Unit) + " " + Slot.UnitAddress + ": ";
    const std::optional<UnitCheck>& Check = Report.Units[static_cast<std::size_t>(Unit)];
    if (!Check)
        return Line + "checking...";
    const UnitCheck& C = *Check;
    if (C.Outcome == UnitOutcome::PortOutOfRange)
        return Line + "port out of range: a port is a number from 0 to 65535";
    Line += "host " + C.HostPart;
    if (C.Outcome == UnitOutcome::LookupFailed)
        return Line + ": lookup failed after " + Ms(C.LookupMs) + ": no such name";
    if (C.Outcome == UnitOutcome::LookupTimedOut)
        return Line + ": lookup timed out: the name server gave no answer within " + Ms(C.LookupMs);
    if (C.LookedUp)
        Line += " looked up as " + C.ConnectAddress + " in " + Ms(C.LookupMs);
    Line += ", port " + std::to_string(C.Port) + ": ";
    std::string Said;
    if (C.SaidBytes > 0)
        Said = "it said " + std::to_string(C.SaidBytes) + " bytes after " + Ms(C.SaidAfterMs) +
               (C.FirstLine.empty() ? std::string() : ", first line \"" + C.FirstLine + "\"");
    switch (C.Outcome) {
    case UnitOutcome::Connected:
        Line += "connected in " + Ms(C.AttemptMs) + "; " +
                (Said.empty() ? "it said nothing within " + Ms(C.WaitedSaidMs) : Said);
        break;
    case UnitOutcome::Dropped:
        Line += "connected in " + Ms(C.AttemptMs) + ", then the unit closed the connection" +
                (Said.empty() ? std::string() : " (" + Said + ")");
        break;
    case UnitOutcome::Refused:
        Line += "refused after " + Ms(C.AttemptMs);
        break;
    default:
        Line += "timed out: no answer within " + Ms(C.LimitMs);
        break;
    }
    if (TurnedAway(C.Outcome) && Report.ProgramRunning.value_or(false))
        Line += ". " + RunningNote(Report);
    return Line;
}

std::string LampLine(const LampCheck& Lamp) {
    std::string Line = "Lamp" + std::to_string(Lamp.Unit) + " at " + PointText(Lamp.At) + ": " +
                       (Lamp.OnMonitor ? "on a monitor, " : "on no monitor, ");
    switch (Lamp.Shows) {
    case LampShows::ActiveColour:
        return Line + ColourText(Lamp.Colour) + ", the active colour";
    case LampShows::OnAirColour:
        return Line + ColourText(Lamp.Colour) + ", the on-air colour";
    case LampShows::Neither:
        return Line + ColourText(Lamp.Colour) + ", neither colour";
    case LampShows::Unreadable:
        break;
    }
    return Line + "unreadable";
}

std::string SelectionLine(const LampsNow& Lamps) {
    const SelectionVerdict& S = Lamps.Selection;
    const std::string Why = " (" + DescribeSelection(S) + ")";
    if (S.Found())
        return "Selection now: unit " + std::to_string(S.Unit) + Why;
    if (S.Reason == SelectionVerdict::Why::SeveralOnAir)
        return "Selection now: the program keeps the one it has" + Why;
    return "Selection now: none, the program keeps the one it has" + Why;
}

CheckVerdict Verdict(const CheckReport& Report) {
    if (!Report.Loaded)
        return {true,
                "Verdict: the settings file cannot be used: mend what the error names, then check again."};
    const LoadedSettings& L = *Report.Loaded;
    const std::string Program = ProgramOf(Report);
    std::vector<std::string> Problems;
    bool AnyUnit = false;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        AnyUnit = AnyUnit || !L.Units[Unit].UnitAddress.empty();
    if (!AnyUnit)
        Problems.push_back(
            "no unit is configured: give the units' addresses under [Devices], Unit1 to Unit8.");

    // The addresses first: they are mistakes in the file; then the units that could not be reached.
    for (const bool AddressPass : {true, false})
        for (int Unit = 1; Unit <= UnitCount; ++Unit) {
            const std::optional<UnitCheck>& Check = Report.Units[static_cast<std::size_t>(Unit)];
            if (!Check || Check->Outcome == UnitOutcome::Connected)
                continue;
            const UnitCheck& C = *Check;
            const std::string Name = "Unit" + std::to_string(Unit);
            const std::string Where = Name + " (" + C.ConnectAddress + ":" + std::to_string(C.Port) + ")";
            const bool Address = !TurnedAway(C.Outcome);
            if (Address != AddressPass)
                continue;
            switch (C.Outcome) {
            case UnitOutcome::PortOutOfRange:
                Problems.push_back("fix " + Name + "'s address " + C.Address +
                                   ": its port must be a number from 0 to 65535.");
                break;
            case UnitOutcome::LookupFailed:
                Problems.push_back(
                    "fix " + Name + "'s address: the name " + C.HostPart +
                    " cannot be looked up. Check its spelling, or give the unit's IP address.");
                break;
            case UnitOutcome::LookupTimedOut:
                Problems.push_back(Name + "'s name " + C.HostPart +
                                   " got no answer from the name server: check this computer's name server, "
                                   "or give the unit's IP address.");
                break;
            case UnitOutcome::Refused:
                Problems.push_back(Where + " refused the connection: check that the unit is on and that " +
                                   std::to_string(C.Port) + " is its control port.");
                break;
            case UnitOutcome::Dropped:
                Problems.push_back(Where + " accepted the connection and closed it again: the unit turns "
                                           "control connections away.");
                break;
            default:
                Problems.push_back(Where + " did not answer within " + Ms(C.LimitMs) +
                                   ": check the address, the network and any firewall between this computer "
                                   "and the unit.");
                break;
            }
            if (!Address && Report.ProgramRunning.value_or(false))
                Problems.back() += " " + RunningNote(Report);
        }

    if (!Report.Lamps && Report.LampsUnreadable)
        Problems.push_back("the lamps cannot be read here (" + Report.NoLamps + ").");
    if (Report.Lamps) {
        const std::vector<LampCheck>& Rows = Report.Lamps->Rows;
        for (const LampCheck& Lamp : Rows)
            if (!Lamp.OnMonitor)
                Problems.push_back("lamp " + std::to_string(Lamp.Unit) + " at " + PointText(Lamp.At) +
                                   " lies on no monitor: the panel window may have moved, or the monitors or "
                                   "their scaling changed. Pick its position again with TavoLampPicker.");
        for (std::size_t I = 0; I < Rows.size(); ++I)
            for (std::size_t J = I + 1; J < Rows.size(); ++J)
                if (Rows[I].At.X == Rows[J].At.X && Rows[I].At.Y == Rows[J].At.Y)
                    Problems.push_back("lamps " + std::to_string(Rows[I].Unit) + " and " +
                                       std::to_string(Rows[J].Unit) + " share the position " +
                                       PointText(Rows[I].At) +
                                       ": one of them is wrong. Pick them again with TavoLampPicker.");
    }
    if (L.Settings.ActiveColor == L.Settings.OnAirColor)
        Problems.push_back(
            "UnitActiveColor and UnitOnAirColor are the same colour: the program cannot tell a "
            "selected unit from one on air. Pick them again with TavoLampPicker.");
    if (AnyUnit && !Report.Warnings.empty())
        Problems.push_back("mend what the warning above says: " + Program +
                           " shows it in a box at every start and waits until it is closed.");

    if (!Problems.empty()) {
        std::string Text = "Verdict: " + Problems.front();
        if (Problems.size() > 1)
            Text += " (" + std::to_string(Problems.size() - 1) + " more to fix above.)";
        return {true, Text};
    }
    if (!UnitsDone(Report))
        return {false, "Verdict: checking the units..."};
    if (!Report.Lamps)
        return {false, "Verdict: every unit connected; the lamps were not checked (" + Report.NoLamps +
                           "): check again on the panel's desktop to see them."};
    const bool AnyLit =
        std::any_of(Report.Lamps->Rows.begin(), Report.Lamps->Rows.end(), [](const LampCheck& R) {
            return R.Shows == LampShows::ActiveColour || R.Shows == LampShows::OnAirColour;
        });
    if (!AnyLit)
        return {false, "Verdict: every unit connects and every lamp lies on a monitor, but no lamp shows the "
                       "active or the on-air colour now: select a unit in the panel and see that its lamp's "
                       "row says the active colour; if it does not, pick the colours again with "
                       "TavoLampPicker."};
    const SelectionVerdict& S = Report.Lamps->Selection;
    return {false, "Verdict: all set: every unit connects and every lamp lies on a monitor; " + Program +
                       (S.Found() ? " would select unit " + std::to_string(S.Unit) + " now."
                                  : " would keep its selection now.")};
}

int ExitStatus(const CheckReport& Report) {
    if (!Report.Loaded)
        return 2;
    return Verdict(Report).Problem ? 1 : 0;
}

std::string ReportText(const CheckReport& Report) {
    const std::string Program = ProgramOf(Report);
    std::string Text = "Settings check of " + Report.File + "\n";
    if (Report.ProgramRunning)
        Text += *Report.ProgramRunning ? Program + " is running beside this check.\n"
                                       : Program + " is not running.\n";
    if (!Report.Error.empty())
        Text += "Error: " + Report.Error + "\n";
    for (const std::string& W : Report.Warnings)
        Text += (W.rfind("Warning", 0) == 0 ? "" : "Warning: ") + W + "\n";
    if (Report.Loaded) {
        const LoadedSettings& L = *Report.Loaded;
        Text += "Settings: PollInterval " + std::to_string(L.Settings.PollInterval) + " ms, ReconnectDelay " +
                std::to_string(L.Settings.ReconnectDelay) + " ms, active colour " +
                ColourText(L.Settings.ActiveColor) + ", on-air colour " + ColourText(L.Settings.OnAirColor) +
                ".\n\n";
        std::string Unused;
        for (int Unit = 1; Unit <= UnitCount; ++Unit) {
            if (!L.Units[Unit].UnitAddress.empty())
                Text += UnitLine(Report, Unit) + "\n";
            else
                Unused += (Unused.empty() ? "" : ", ") + ("Unit" + std::to_string(Unit));
        }
        if (!Unused.empty())
            Text += "Not configured: " + Unused + ".\n";
        Text += "\n";
        if (Report.Lamps) {
            for (const LampCheck& Lamp : Report.Lamps->Rows)
                Text += LampLine(Lamp) + "\n";
            Text += SelectionLine(*Report.Lamps) + "\n";
        } else {
            Text += "Lamps: not checked (" + Report.NoLamps + ").\n";
        }
    }
    Text += "\n" + Verdict(Report).Text + "\n";
    return Text;
}

} // namespace Tavo
