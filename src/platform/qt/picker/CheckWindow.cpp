#include "platform/qt/picker/CheckWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <cstdio>
#include <filesystem>

#include "core/IniFile.h"
#include "core/modTCP.h"
#include "platform/qt/InstanceLock.h"
#include "platform/qt/SettingsPlaces.h"

namespace Tavo::QtPlatform {

namespace {

constexpr int LiveMs = 200;

void Print(const std::string& Text) {
    std::fputs(Text.c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

Picker::KeyPress FromQtKey(const QKeyEvent* Event) {
    using Picker::KeyName;
    switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return {KeyName::Enter, 0};
    case Qt::Key_Escape:
        return {KeyName::Escape, 0};
    case Qt::Key_Space:
        return {KeyName::Space, 0};
    case Qt::Key_Backspace:
        return {KeyName::Backspace, 0};
    case Qt::Key_Left:
        return {KeyName::Left, 0};
    case Qt::Key_Right:
        return {KeyName::Right, 0};
    case Qt::Key_Up:
        return {KeyName::Up, 0};
    case Qt::Key_Down:
        return {KeyName::Down, 0};
    default:
        break;
    }
    const QString Text = Event->text();
    if (Text.size() == 1 && Text[0].unicode() < 0x80)
        return {KeyName::Character, static_cast<char>(Text[0].unicode())};
    return {};
}

CheckWindow::CheckWindow(ScreenReader& Screen, std::string FolderIn)
    : Folder(std::move(FolderIn)),
      View(Picker::CheckHooks{
          [](const std::string& Section, const std::string& Key, const std::string& File,
             const std::string& Default) { return ReadIniFile(File, Section, Key, Default); },
          // From the check threads: the result runs here, on the window's thread.
          [this](std::function<void()> Result) {
              QMetaObject::invokeMethod(this, std::move(Result), Qt::QueuedConnection);
          },
          &modTCP::ResolveHostname,
          [this](const std::string& File, std::string& Name) -> std::optional<bool> {
              std::error_code Error;
              const auto Beside = std::filesystem::canonical(Folder + "/" + ProductName, Error);
              const std::string Program = ProgramReading(File, Error ? std::string() : Beside.string());
              if (Program.empty())
                  return std::nullopt;
              Name = BaseNameOf(Program);
              return InstanceLock::IsClaimed(Program);
          },
          &Screen, std::string(), [this](bool Complete) { OnUnitsChanged(Complete); }}) {
    setWindowTitle("TavoLampPicker - settings check");
    // Beside the panel while the operator selects one unit after another there.
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    auto* Layout = new QVBoxLayout(this);
    Report = new QPlainTextEdit(this);
    Report->setReadOnly(true);
    Report->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Report->installEventFilter(this);
    Layout->addWidget(Report);
    auto* Row = new QHBoxLayout;
    for (const Picker::CheckButtonDef& B : Picker::CheckButtons()) {
        auto* Button = new QPushButton(
            QString::fromUtf8(B.Caption.data(), static_cast<qsizetype>(B.Caption.size())), this);
        Button->setFocusPolicy(Qt::NoFocus);
        const Picker::CheckCommand Command = B.Does;
        connect(Button, &QPushButton::clicked, this, [this, Command] { Do(Command); });
        Row->addWidget(Button);
    }
    Layout->addLayout(Row);
    const QFontMetrics Metrics(Report->font());
    resize(Metrics.horizontalAdvance(QString(110, 'M')) * 9 / 10, Metrics.lineSpacing() * 30);
    connect(&Live, &QTimer::timeout, this, [this] {
        if (!isVisible())
            return;
        for (const std::string& Line : View.RefreshLamps())
            Print(Line + "\n");
        ShowReport();
    });
    Live.start(LiveMs);
}

CheckWindow::~CheckWindow() = default;

void CheckWindow::OpenDefault() {
    Open(SettingsPlaces(Folder, ProductName));
}

void CheckWindow::OpenFile(const std::string& File) {
    std::error_code Ignored;
    Open({std::filesystem::absolute(File, Ignored).string()});
}

void CheckWindow::Open(const std::vector<std::string>& Candidates) {
    View.Open(Candidates);
    show();
    raise();
    activateWindow();
    ShowReport();
    if (View.Complete())
        Print(View.Text());
}

void CheckWindow::OnUnitsChanged(bool Complete) {
    ShowReport();
    if (Complete)
        Print(View.Text());
}

void CheckWindow::ShowReport() {
    const QString Text = QString::fromStdString(View.Text());
    if (Text == Report->toPlainText())
        return;
    // Redrawn in place: the reader keeps the part of the report looked at.
    const int Scrolled = Report->verticalScrollBar()->value();
    Report->setPlainText(Text);
    Report->verticalScrollBar()->setValue(Scrolled);
}

bool CheckWindow::TakeKey(const Picker::KeyPress& Key) {
    const Picker::CheckCommand Command = Picker::CheckCommandForKey(Key);
    if (Command == Picker::CheckCommand::None)
        return false;
    Do(Command);
    return true;
}

bool CheckWindow::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == Report && Event->type() == QEvent::KeyPress &&
        !(static_cast<QKeyEvent*>(Event)->modifiers() & Qt::ControlModifier))
        return TakeKey(FromQtKey(static_cast<QKeyEvent*>(Event)));
    return QWidget::eventFilter(Watched, Event);
}

void CheckWindow::Do(Picker::CheckCommand Command) {
    switch (Command) {
    case Picker::CheckCommand::None:
        break;
    case Picker::CheckCommand::RunAgain:
        View.CheckUnitsAgain();
        ShowReport();
        break;
    case Picker::CheckCommand::Copy:
        QGuiApplication::clipboard()->setText(QString::fromStdString(View.Text()));
        break;
    case Picker::CheckCommand::Print:
        Print(View.Text());
        break;
    case Picker::CheckCommand::OpenFile: {
        const QString Chosen =
            QFileDialog::getOpenFileName(this, "Settings file to check", QString::fromStdString(Folder),
                                         "Settings files (*.ini);;All files (*)");
        if (!Chosen.isEmpty())
            OpenFile(QFile::encodeName(Chosen).toStdString());
        break;
    }
    case Picker::CheckCommand::Close:
        hide();
        break;
    }
}

} // namespace Tavo::QtPlatform
