// The tray icon, its tooltip and popup menu, About and Exit.

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/Texts.h"
#include "app/frmMain.h"

namespace Tavo {

namespace {

constexpr std::uint32_t TrayFlags = 7; // message, icon and tip
constexpr std::uint32_t LeftButtonUp = 0x202;
constexpr std::uint32_t RightButtonUp = 0x205;

template <std::size_t N> void FillBlanks(char (&Field)[N]) {
    std::memset(Field, ' ', N);
}

} // namespace

void frmMain::AddTrayIcon() {
    TrayIcon = Host.ApplicationIcon();
    TrayIconAdded = true;
    TrayIconData.cbSize = TrayIconRecordSize;
    TrayIconData.hWnd = Host.TrayCallbackWindow();
    TrayIconData.uID = TrayIconId;
    TrayIconData.uFlags = TrayFlags;
    TrayIconData.uCallbackMessage = TrayCallbackMessage;
    Host.ShellNotifyIcon(NimAdd, TrayIconData);
    Host.ShellNotifyIcon(NimSetVersion, TrayIconData);
    ModifyTrayIcon();
}

void frmMain::ModifyTrayIcon() {
    const std::string Tip = VersionText() + " " + CopyrightNotice;
    FillBlanks(TrayIconData.szTip);
    const std::size_t Length = std::min(Tip.size(), sizeof TrayIconData.szTip - 1);
    std::memcpy(TrayIconData.szTip, Tip.data(), Length);
    TrayIconData.szTip[Length] = '\0';
    TrayIconData.hIcon = TrayIcon;
    TrayIconData.dwInfoFlags = 0;
    FillBlanks(TrayIconData.szInfo);
    FillBlanks(TrayIconData.szInfoTitle);
    TrayIconData.uVersion = 0;
    TrayIconData.uFlags = TrayFlags;
    Host.ShellNotifyIcon(NimModify, TrayIconData);
}

void frmMain::DeleteTrayIcon() {
    Host.ShellNotifyIcon(NimDelete, TrayIconData);
}

void frmMain::picTray_MouseMove(std::uint32_t MouseMessage) {
    if (MouseMessage != LeftButtonUp && MouseMessage != RightButtonUp)
        return;
    static const std::vector<MenuItem> Menu = {
        {MenuItemId::Header, ProductName, true}, {MenuItemId::None, "", false},
        {MenuItemId::About, "&About...", false}, {MenuItemId::None, "", false},
        {MenuItemId::Exit, "E&xit", false},
    };
    switch (Host.ShowPopupMenu(Menu)) {
    case MenuItemId::About:
        mnuAbout_Click();
        break;
    case MenuItemId::Exit:
        mnuExit_Click();
    default:
        break; // the header runs nothing
    }
}

void frmMain::mnuAbout_Click() {
    Host.ShowMessageBox(VersionText() + "\r\n" + CopyrightNotice + "\r\n\r\n" + TermsText,
                        std::string("About ") + ProductName, BoxIcon::Information);
    ModifyTrayIcon();
}

void frmMain::mnuExit_Click() {
    DeleteTrayIcon();
    Form_Unload(0);
}

void frmMain::OnTaskbarCreated() {
    // A new taskbar (Explorer restarted, or the first one at logon) knows no icons: add ours again. The
    // add is refused when the icon survived, so the modify after it carries image and tip either way.
    if (!TrayIconAdded)
        return;
    Host.ShellNotifyIcon(NimAdd, TrayIconData);
    Host.ShellNotifyIcon(NimSetVersion, TrayIconData);
    Host.ShellNotifyIcon(NimModify, TrayIconData);
}

} // namespace Tavo
