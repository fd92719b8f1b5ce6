#pragma once
// Coloured override-redirect windows placed exactly, on a display of the test's choosing: the
// stand-in for the panel software's indicator lamps.

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

namespace Tavo::Testing {

class PaintedScreen {
  public:
    // DisplayName null: the DISPLAY variable.
    explicit PaintedScreen(const char* DisplayName = nullptr);
    PaintedScreen(const PaintedScreen&) = delete;
    PaintedScreen& operator=(const PaintedScreen&) = delete;
    ~PaintedScreen();

    bool Open() const { return Connection != nullptr; }
    int Width() const;
    int Height() const;
    // Shows a rectangle of the colour 0x00BBGGRR; returns the colour the screen really holds (the
    // visual may have fewer bits), in the same layout.
    std::uint32_t Paint(int X, int Y, int W, int H, std::uint32_t Colour);
    // Waits until the server has drawn everything asked so far.
    void Sync();

  private:
    _XDisplay* Connection = nullptr;
    std::vector<unsigned long> Windows;
};

} // namespace Tavo::Testing
