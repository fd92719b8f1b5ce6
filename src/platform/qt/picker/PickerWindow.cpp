#include "platform/qt/picker/PickerWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <cstdio>

namespace Tavo::QtPlatform {

namespace {

// Between the pointer and the window, in the window's pixels: more than Reach, so the window never
// lies in what it reads.
constexpr int Gap = 24;
constexpr int Cell = 9; // magnifier cell size
constexpr int FollowMs = 40;

QColor ToQColor(std::uint32_t Colour) {
    if (Colour > 0x00FFFFFFu)
        return QColor(Qt::transparent);
    return QColor(static_cast<int>(Colour & 0xFFu), static_cast<int>((Colour >> 8) & 0xFFu),
                  static_cast<int>((Colour >> 16) & 0xFFu));
}

} // namespace

PickerWindow::PickerWindow(ScreenReader& ScreenIn, X11Input& InputIn) : Screen(ScreenIn), Input(InputIn) {
    setWindowTitle("TavoLampPicker");
    // On top of the panel, without a frame or a taskbar entry; moved by the program, not the user.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

    const int LineHeight = fontMetrics().lineSpacing();
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(8, 8, 8, 8);
    Layout->setSpacing(6);

    // Room for the magnified square and the readings; the window paints them, as it owns the data.
    Readout = new QWidget(this);
    Readout->setFixedHeight(Side * Cell + 2);
    Readout->setAttribute(Qt::WA_TransparentForMouseEvents);
    Layout->addWidget(Readout);

    Status = new QLabel(this);
    Status->setWordWrap(true);
    Status->setFixedHeight(LineHeight * 3);
    Status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Layout->addWidget(Status);

    QString Help;
    for (const std::string_view Line : Picker::HelpLines())
        Help += QString::fromUtf8(Line.data(), static_cast<qsizetype>(Line.size())) + "\n";
    Help.chop(1);
    auto* HelpLabel = new QLabel(Help, this);
    HelpLabel->setStyleSheet("color: #404040;");
    Layout->addWidget(HelpLabel);

    auto* Grid = new QGridLayout;
    Grid->setSpacing(3);
    auto* Others = new QHBoxLayout;
    Others->setSpacing(3);
    int Index = 0;
    for (const Picker::ButtonDef& B : Picker::Buttons()) {
        auto* Button = new QPushButton(
            QString::fromUtf8(B.Caption.data(), static_cast<qsizetype>(B.Caption.size())), this);
        // The keys stay with the window; a button only acts on a click.
        Button->setFocusPolicy(Qt::NoFocus);
        Button->setMinimumWidth(10);
        const Picker::Action What = B.Does;
        connect(Button, &QPushButton::clicked, this, [this, What] { Do(What); });
        // Units 1-8 on the first row, the rest below.
        if (Index < UnitCount)
            Grid->addWidget(Button, 0, Index);
        else
            Others->addWidget(Button);
        ++Index;
    }
    Layout->addLayout(Grid);
    Layout->addLayout(Others);

    setAutoFillBackground(true);
    QPalette P = palette();
    P.setColor(QPalette::Window, QColor(0xF4, 0xF4, 0xEC));
    P.setColor(QPalette::WindowText, Qt::black);
    setPalette(P);
    setFixedWidth(fontMetrics().horizontalAdvance(QString(48, 'M')) * 9 / 10);
    setFixedHeight(sizeHint().height());

    const std::vector<std::string> Taken = Input.GrabKeys();
    if (!Taken.empty()) {
        GrabNote = "Held by another program (they act only while this window has the focus):";
        for (const std::string& K : Taken)
            GrabNote += " " + K;
    }
    KeysArrive = std::make_unique<QSocketNotifier>(Input.Socket(), QSocketNotifier::Read);
    connect(KeysArrive.get(), &QSocketNotifier::activated, this, [this] { TakeGrabbedKeys(); });

    connect(&Follow, &QTimer::timeout, this, [this] { Tick(); });
    Follow.start(FollowMs);
    ShowStatus();
    Tick();
}

PickerWindow::~PickerWindow() = default;

void PickerWindow::Tick() {
    // Xlib may have queued key events while answering the pointer query: no socket wake-up for those.
    TakeGrabbedKeys();
    const bool Moved = !Session.Held() && FollowPointer();
    ReadUnder();
    // A pick waits while the window may still lie over the point: until it has stayed put for a tick.
    if (!Moved && !CoversPoint() && !Pending.empty()) {
        std::vector<Picker::Action> Now;
        Now.swap(Pending);
        for (const Picker::Action& A : Now)
            Apply(A);
    }
    update();
}

void PickerWindow::ReadUnder() {
    if (Session.Held()) {
        const Picker::Sample Held = Session.HeldPoint();
        Under.X = Held.X;
        Under.Y = Held.Y;
    } else {
        int X = 0, Y = 0;
        if (Input.Pointer(X, Y)) {
            Under.X = X;
            Under.Y = Y;
        }
    }
    // The same read the program makes: the X11 screen reader, whole-screen pixels, 0x00BBGGRR.
    for (int Dy = 0; Dy < Side; ++Dy)
        for (int Dx = 0; Dx < Side; ++Dx)
            Around[static_cast<std::size_t>(Dy * Side + Dx)] =
                ScreenPoint{static_cast<std::int16_t>(Under.X + Dx - Reach),
                            static_cast<std::int16_t>(Under.Y + Dy - Reach)};
    Screen.Read(Around, AroundColours);
    Under.Colour = AroundColours[static_cast<std::size_t>(Reach * Side + Reach)];
}

bool PickerWindow::CoversPoint() const {
    // In Qt's pixels, like the window's geometry; a margin for the rounding of a scaled screen.
    const QPoint Pointer = Session.Held() ? HeldLogical : QCursor::pos();
    return frameGeometry().adjusted(-Reach - 2, -Reach - 2, Reach + 2, Reach + 2).contains(Pointer);
}

bool PickerWindow::FollowPointer() {
    // Placed in Qt's own pixels, which are the screen's divided by its scale; the reads use the screen's.
    const QPoint Pointer = QCursor::pos();
    if (Pointer == LastPointer && isVisible())
        return false;
    LastPointer = Pointer;
    QScreen* On = QGuiApplication::screenAt(Pointer);
    if (!On)
        On = QGuiApplication::primaryScreen();
    const QRect Work = On ? On->availableGeometry() : QRect(0, 0, 640, 480);
    const Picker::Corner C = Picker::PlaceBeside(
        Pointer.x(), Pointer.y(), width(), height(),
        {Work.left(), Work.top(), Work.left() + Work.width(), Work.top() + Work.height()}, Gap);
    if (QPoint(C.X, C.Y) == pos())
        return false;
    move(C.X, C.Y);
    return true;
}

void PickerWindow::TakeGrabbedKeys() {
    for (const Picker::KeyPress& K : Input.TakeKeys()) {
        // While the check is the window in use, the keys are its own.
        if (Check && Check->isActiveWindow() && Check->TakeKey(K))
            continue;
        Do(Picker::ActionForKey(K));
    }
}

void PickerWindow::OpenCheck(const char* File) {
    if (!Check)
        Check = std::make_unique<CheckWindow>(
            Screen, QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    if (File)
        Check->OpenFile(File);
    else
        Check->OpenDefault();
}

void PickerWindow::keyPressEvent(QKeyEvent* Event) {
    // Keys another program holds still arrive here while this window has the focus.
    const Picker::Action What = Picker::ActionForKey(FromQtKey(Event));
    if (What.Kind == Picker::ActionKind::None) {
        QWidget::keyPressEvent(Event);
        return;
    }
    Do(What);
}

void PickerWindow::Do(const Picker::Action& What) {
    using Picker::ActionKind;
    const bool Reads = What.Kind == ActionKind::RecordLamp || What.Kind == ActionKind::RecordActive ||
                       What.Kind == ActionKind::RecordOnAir || What.Kind == ActionKind::ToggleHold;
    if (Reads) {
        // What is under the pointer now, not at the last tick; the window moved off it first if need be.
        const bool Moved = !Session.Held() && FollowPointer();
        if (Moved || CoversPoint() || !Pending.empty()) {
            Pending.push_back(What);
            return;
        }
        ReadUnder();
    }
    Apply(What);
}

void PickerWindow::Apply(const Picker::Action& What) {
    const bool WasHeld = Session.Held();
    const Picker::Outcome O = Session.Apply(What, Under);
    if (Session.Held() && !WasHeld)
        HeldLogical = QCursor::pos();
    switch (O.Do) {
    case Picker::Effect::None:
        break;
    case Picker::Effect::Copy:
        QGuiApplication::clipboard()->setText(QString::fromStdString(O.Text));
        break;
    case Picker::Effect::Print:
        std::fputs(O.Text.c_str(), stdout);
        std::fflush(stdout);
        break;
    case Picker::Effect::Nudge:
        Input.MovePointer(O.Dx, O.Dy);
        break;
    case Picker::Effect::Check:
        OpenCheck(nullptr);
        break;
    case Picker::Effect::Quit:
        QApplication::quit();
        return;
    }
    ShowStatus();
    update();
}

void PickerWindow::ShowStatus() {
    QString Text = QString::fromStdString(Session.Status());
    if (!GrabNote.empty())
        Text += "\n" + QString::fromStdString(GrabNote);
    if (Session.Status().rfind("Copied", 0) == 0)
        Text += " Paste them before closing the picker.";
    Status->setText(Text);
}

void PickerWindow::paintEvent(QPaintEvent* Event) {
    QWidget::paintEvent(Event);
    QPainter Paint(this);
    const QRect R = Readout->geometry();

    // The magnified square, the read point framed in its middle.
    for (int Dy = 0; Dy < Side; ++Dy)
        for (int Dx = 0; Dx < Side; ++Dx) {
            const QRect CellRect(R.left() + 1 + Dx * Cell, R.top() + 1 + Dy * Cell, Cell, Cell);
            const std::uint32_t C = AroundColours[static_cast<std::size_t>(Dy * Side + Dx)];
            if (C > 0x00FFFFFFu)
                Paint.fillRect(CellRect, QBrush(Qt::gray, Qt::DiagCrossPattern));
            else
                Paint.fillRect(CellRect, ToQColor(C));
        }
    Paint.setPen(QPen(Qt::black, 1));
    Paint.drawRect(R.left(), R.top(), Side * Cell + 1, Side * Cell + 1);
    const QRect Middle(R.left() + 1 + Reach * Cell, R.top() + 1 + Reach * Cell, Cell - 1, Cell - 1);
    Paint.setPen(QPen(Qt::white, 1));
    Paint.drawRect(Middle.adjusted(-1, -1, 1, 1));
    Paint.setPen(QPen(Qt::black, 1));
    Paint.drawRect(Middle);

    // The readings beside it.
    const int TextLeft = R.left() + Side * Cell + 12;
    const int Line = fontMetrics().lineSpacing();
    QFont Bold = font();
    Bold.setBold(true);
    Paint.setFont(Bold);
    Paint.setPen(Qt::black);
    int Y = R.top() + fontMetrics().ascent();
    Paint.drawText(TextLeft, Y, QString::fromStdString(Session.PositionLine(Under)));
    Y += Line;
    // A swatch of the colour as read, then its texts.
    const int SwatchSize = Line - 2;
    Paint.fillRect(TextLeft, Y - fontMetrics().ascent(), SwatchSize, SwatchSize, ToQColor(Under.Colour));
    Paint.drawRect(TextLeft, Y - fontMetrics().ascent(), SwatchSize, SwatchSize);
    Paint.drawText(TextLeft + SwatchSize + 6, Y, QString::fromStdString(Session.ColourLine(Under)));
    Paint.setFont(font());
    Y += Line + Line / 2;
    for (const std::string& L : Session.PickLines()) {
        Paint.drawText(TextLeft, Y, QString::fromStdString(L));
        Y += Line;
    }
}

} // namespace Tavo::QtPlatform
