// The tray icon, its tooltip and popup menu, About and Exit.

#include "app/frmMain.h"

namespace Tavo {

void frmMain::AddTrayIcon() {}

void frmMain::ModifyTrayIcon() {}

void frmMain::DeleteTrayIcon() {}

void frmMain::picTray_MouseMove(std::uint32_t /*MouseMessage*/) {}

void frmMain::mnuAbout_Click() {}

void frmMain::mnuExit_Click() { Form_Unload(0); }

void frmMain::OnTaskbarCreated() {}

} // namespace Tavo
