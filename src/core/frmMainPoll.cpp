// Reading the lamps and triggering the unit the panel has selected.

#include "core/Selection.h"
#include "core/frmMain.h"

namespace Tavo {

void frmMain::tmrPoll_Timer() {
    Host.EnableTimer(TimerId::Poll, false);

    const SelectionVerdict Verdict =
        InferSelection(SampleLamps(UnitTable, Host), Settings.ActiveColor, Settings.OnAirColor);
    if (Verdict.Found() && Verdict.Unit != CurrentUnit) {
        CurrentUnit = Verdict.Unit;
        // The log shows whether the program saw the lamps change at all, and what it made of them.
        if (Log.IsOpen())
            Log.Write("selected Unit" + std::to_string(Verdict.Unit) + ": " + DescribeSelection(Verdict));
        TriggerUnit(*CurrentUnit);
    }

    Host.EnableTimer(TimerId::Poll, true);
    if (PassDeferred) {
        PassDeferred = false;
        tmrCheckConnection_Timer(); // polls run inside its waits from here
    }
}

} // namespace Tavo
