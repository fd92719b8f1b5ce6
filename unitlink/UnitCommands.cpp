// Sending a command block to a unit and collecting its reply.

#include "app/frmMain.h"

namespace Tavo {

std::string frmMain::SendToUnit(const std::string& /*UnitCommand*/, int /*UnitID*/) { return {}; }

void frmMain::TriggerUnit(int /*Unit*/) {}

} // namespace Tavo
