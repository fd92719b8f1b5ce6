#pragma once
// The pointer and the picker's keys on the X server, in root-window pixels: the coordinates the
// program's screen reads use, whatever scaling Qt applies to its own windows.
// Xlib stays inside X11Input.cpp, as with ScreenReader.

#include <string>
#include <vector>

#include "picker/PickerSession.h"

struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace Tavo::QtPlatform {

class X11Input {
  public:
    X11Input() = default;
    X11Input(const X11Input&) = delete;
    X11Input& operator=(const X11Input&) = delete;
    ~X11Input();

    bool Open(std::string& Problem);
    // The connection's socket, for a notifier that calls TakeKeys when events arrive.
    int Socket() const;

    // Where the pointer is, in root-window pixels.
    bool Pointer(int& X, int& Y);
    // Moves the pointer by a few pixels (the arrow keys).
    void MovePointer(int Dx, int Dy);

    // Takes the picker's keys on the whole screen, so they act wherever the pointer is and whichever
    // window has the focus. Returns the names of keys another program holds already.
    std::vector<std::string> GrabKeys();
    // The grabbed keys pressed since the last call, in order.
    std::vector<Picker::KeyPress> TakeKeys();

  private:
    _XDisplay* Display = nullptr;
    unsigned long Root = 0;
};

} // namespace Tavo::QtPlatform
