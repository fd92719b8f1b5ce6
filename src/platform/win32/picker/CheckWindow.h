#pragma once
// The picker's settings check on Windows: the report in a window of its own, kept live while it is
// shown; printed on standard output once its units are checked, and each lamp or selection line again
// as it changes.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "picker/CheckView.h"
#include "platform/win32/ScreenReader.h"

namespace Tavo::Win32Platform {

class CheckWindow {
  public:
    CheckWindow(HINSTANCE Instance, int Dpi);
    ~CheckWindow();
    CheckWindow(const CheckWindow&) = delete;
    CheckWindow& operator=(const CheckWindow&) = delete;

    // The settings file TavoRouterControl beside the picker reads; or File.
    void OpenDefault();
    void OpenFile(const std::string& File);
    // The window (or one of its controls) is the one in use: the picker's keys are the view's then.
    bool IsActive() const;
    bool Owns(HWND Window) const;
    // A key while the view is in use; false when it has none such.
    bool TakeKey(const Picker::KeyPress& Key);
    // A key pressed in the window, as the view's keys name it.
    static Picker::KeyPress KeyFromVirtualKey(WPARAM Vk);

  private:
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT Handle(UINT Message, WPARAM WParam, LPARAM LParam);
    int Scale(int Value) const { return MulDiv(Value, Dpi, 96); }
    void Open(const std::vector<std::string>& Candidates);
    void Do(Picker::CheckCommand Command);
    void Layout();
    void ShowReport();
    void OnUnitsChanged(bool Complete);

    HINSTANCE Instance = nullptr;
    int Dpi = 96;
    HWND Window = nullptr;
    HWND Text = nullptr;
    std::vector<HWND> ButtonWindows;
    HFONT Font = nullptr;
    HFONT ButtonFont = nullptr;
    std::string Shown;
    std::string PickerFolder;
    ScreenReader Screen;
    std::unique_ptr<Picker::CheckView> View;
};

} // namespace Tavo::Win32Platform
