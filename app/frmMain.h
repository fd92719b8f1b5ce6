#pragma once
// The hidden main form: it owns every piece of run-time state for the life of the process.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/Desktop.h"

namespace Tavo {

inline constexpr const char* ProductName = "TavoRouterControl";
inline constexpr int UnitCount = 8;

// A start-up failure: the message names the file and, where it applies, section, key and value.
class FatalError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct UnitSlot {
    std::string UnitAddress;
    SocketHandle UnitSocket = 0;
    bool UnitConnected = false;
    std::int16_t IndicatorX = 0;
    std::int16_t IndicatorY = 0;
};

struct SettingsRecord {
    std::string PollInterval = "200";
    std::string ReconnectDelay = "3000";
    std::uint32_t ActiveColor = 0x00FF9632;
    std::uint32_t OnAirColor = 0x002F2FE5;
};

// Slot 0 exists and is never used; units are 1..8.
class UnitArray {
  public:
    UnitSlot& operator[](int Unit) { return Slots.at(static_cast<std::size_t>(Unit)); }
    const UnitSlot& operator[](int Unit) const { return Slots.at(static_cast<std::size_t>(Unit)); }

  private:
    std::array<UnitSlot, UnitCount + 1> Slots{};
};

class frmMain final : public DesktopEvents {
  public:
    explicit frmMain(Desktop& Host);
    ~frmMain();
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // --- state -------------------------------------------------------------------------------------
    UnitArray UnitTable;
    SettingsRecord Settings;
    std::optional<int> CurrentUnit;
    bool MessagesSuppressed = false;
    bool ScreenDC = false;
    bool TrayIconAdded = false;
    TrayIconRecord TrayIconData{};
    void* TrayIcon = nullptr; // the image the tray shows, held for the whole run

    // --- start-up and shutdown --------------------------------------------------------------------------
    void Form_Load();
    [[noreturn]] void Form_Unload(int ExitCode = 0);
    std::string VersionText();
    std::string ConfigurationPath();

    // --- configuration ------------------------------------------------------------------------------
    void LoadConfiguration();
    // Throws FatalError with Where (file, section, key) in its message.
    std::uint32_t HexToColor(const std::string& ColorText, const std::string& Where);

    // --- unit link ----------------------------------------------------------------------------------
    void ConnectUnit(const std::string& Address, int Unit);
    void DisconnectUnit(int Unit);
    void tmrCheckConnection_Timer();
    std::string SendToUnit(const std::string& UnitCommand, int UnitID);
    void TriggerUnit(int Unit);

    // --- indicator watch ----------------------------------------------------------------------------
    void tmrPoll_Timer();

    // --- tray ---------------------------------------------------------------------------------------
    void AddTrayIcon();
    void ModifyTrayIcon();
    void DeleteTrayIcon();
    void picTray_MouseMove(std::uint32_t MouseMessage);
    void mnuAbout_Click();
    [[noreturn]] void mnuExit_Click();

    // DesktopEvents
    void OnTimer(TimerId Timer) override;
    void OnTrayMessage(std::uint32_t MouseMessage) override;
    void OnTaskbarCreated() override;
    void OnCloseRequest() override;

    Desktop& Host;

  private:
    // Bytes read from each unit so far: a wait sees from it that a handler nested inside it has
    // already taken what the wait was waiting for.
    std::array<std::uint64_t, UnitCount + 1> BytesDrained{};

    std::uint32_t TimerInterval(const std::string& Text, const char* Key);
    std::int64_t WaitLimitMs();
    void WaitForData(int Unit);
    std::string SettleAfterWait(int Unit, bool Collect);
    std::string Drain(int Unit, bool Collect);
};

// The start procedure: registers the common controls, loads the form and runs until the process ends.
int Main(Desktop& Host);

} // namespace Tavo
