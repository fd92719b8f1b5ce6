#pragma once
// Every test of this binary runs against its own Xvfb, with one QApplication made on it.

#include <string>

namespace Tavo::Testing {

// The display the QApplication runs on (also DISPLAY in the environment).
const std::string& TestDisplay();

} // namespace Tavo::Testing
