// The tray icon, its tooltip and popup menu, About and Exit.

#include <vector>

#include "core/Texts.h"
#include "core/frmMain.h"

namespace Tavo {

namespace {

// The one menu, whoever shows it: the program on a click, or a tray host by itself.
const std::vector<MenuItem>& TrayMenu() {
    static const std::vector<MenuItem> Menu = {
        {MenuItemId::Header, ProductName, true}, {MenuItemId::None, "", false},
        {MenuItemId::About, "&About...", false}, {MenuItemId::None, "", false},
        {MenuItemId::Exit, "E&xit", false},
    };
    return Menu;
}

} // namespace

void frmMain::AddTrayIcon() {
    TrayIconAdded = true;
    Host.SetTrayMenu(TrayMenu());
    Host.ShowTrayIcon();
    ModifyTrayIcon();
}

void frmMain::ModifyTrayIcon() {
    Host.UpdateTrayIcon(VersionText() + " " + CopyrightNotice);
}

void frmMain::DeleteTrayIcon() {
    Host.RemoveTrayIcon();
}

void frmMain::picTray_MouseMove(TrayClick Click) {
    // The menu opens when the left or the right button is let go over the icon, never on the press.
    if (Click.Action != MouseAction::Released ||
        (Click.Button != MouseButton::Left && Click.Button != MouseButton::Right))
        return;
    RunMenuItem(Host.ShowPopupMenu(TrayMenu()));
}

void frmMain::RunMenuItem(MenuItemId Item) {
    switch (Item) {
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
    Form_Unload(0, "Exit chosen in the tray menu");
}

} // namespace Tavo
