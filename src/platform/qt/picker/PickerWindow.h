#pragma once
// The picker's window on Linux: follows the pointer, shows the point and colour under it as the
// program reads them, and turns keys and buttons into picks.

#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "picker/PickerSession.h"
#include "platform/qt/ScreenReader.h"
#include "platform/qt/picker/CheckWindow.h"
#include "platform/qt/picker/X11Input.h"

namespace Tavo::QtPlatform {

class PickerWindow final : public QWidget {
  public:
    // Radius of the magnified square around the point, in screen pixels.
    static constexpr int Reach = 5;
    static constexpr int Side = 2 * Reach + 1;

    PickerWindow(ScreenReader& Screen, X11Input& Input);
    ~PickerWindow() override;

    // The settings check: of File, or of the file the program beside the picker reads (File null).
    void OpenCheck(const char* File);

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    void Tick();
    void ReadUnder();
    bool CoversPoint() const;
    // Moves the window beside the pointer; true when it moved.
    bool FollowPointer();
    void TakeGrabbedKeys();
    void Do(const Picker::Action& What);
    void Apply(const Picker::Action& What);
    void ShowStatus();

    ScreenReader& Screen;
    X11Input& Input;
    Picker::PickerSession Session;
    Picker::Sample Under;
    std::array<ScreenPoint, Side * Side> Around{};
    std::array<std::uint32_t, Side * Side> AroundColours{};
    QPoint LastPointer{-1, -1};
    QPoint HeldLogical;
    std::vector<Picker::Action> Pending; // picks waiting for the window to leave the point
    QTimer Follow;
    std::unique_ptr<QSocketNotifier> KeysArrive;
    QWidget* Readout = nullptr;
    QLabel* Status = nullptr;
    std::unique_ptr<CheckWindow> Check;
    std::string GrabNote;
};

} // namespace Tavo::QtPlatform
