#pragma once
// The picker's settings check on Linux: the report in a window of its own, kept live while it is
// shown; printed on standard output once its units are checked, and each lamp or selection line again
// as it changes.

#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include <string>

#include "picker/CheckView.h"
#include "platform/qt/ScreenReader.h"

class QKeyEvent;

namespace Tavo::QtPlatform {

// A key as the picker's keys name it.
Picker::KeyPress FromQtKey(const QKeyEvent* Event);

class CheckWindow final : public QWidget {
  public:
    // Folder: the picker's, where the program it checks for lies.
    CheckWindow(ScreenReader& Screen, std::string Folder);
    ~CheckWindow() override;

    // The settings file the program beside the picker reads; or File.
    void OpenDefault();
    void OpenFile(const std::string& File);
    // A key the picker took while this window is the active one; false when the view has none such.
    bool TakeKey(const Picker::KeyPress& Key);

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void Open(const std::vector<std::string>& Candidates);
    void Do(Picker::CheckCommand Command);
    void ShowReport();
    void OnUnitsChanged(bool Complete);

    std::string Folder;
    Picker::CheckView View;
    QPlainTextEdit* Report = nullptr;
    QTimer Live;
};

} // namespace Tavo::QtPlatform
