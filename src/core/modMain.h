#pragma once
// The start procedure: what each platform's main calls once its desktop exists.

#include "core/Desktop.h"

namespace Tavo {

// Claims the single instance, loads the hidden form and runs until the process ends.
int Main(Desktop& Host);

} // namespace Tavo
