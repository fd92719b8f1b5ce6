// Keeping one connection open to every configured unit.

#include "app/frmMain.h"

namespace Tavo {

void frmMain::ConnectUnit(const std::string& /*Address*/, int /*Unit*/) {}

void frmMain::DisconnectUnit(int /*Unit*/) {}

void frmMain::tmrCheckConnection_Timer() {}

} // namespace Tavo
