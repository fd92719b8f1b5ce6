#include "platform/qt/QtDesktop.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSystemTrayIcon>

#include <xcb/xcb.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <unistd.h>

#include "core/IniFile.h"
#include "core/Texts.h"
#include "core/Version.h"
#include "platform/qt/SettingsPlaces.h"

// Resources of a static library are linked in only when something refers to them.
static void InitTavoResources() {
    Q_INIT_RESOURCE(tavo);
}

namespace Tavo::QtPlatform {

namespace {

QString FromSystemText(const std::string& Text) {
    return QString::fromLocal8Bit(Text.data(), static_cast<qsizetype>(Text.size()));
}

bool EnvironmentIs(const char* Name, const char* Value) {
    const char* Actual = std::getenv(Name);
    return Actual && std::strcmp(Actual, Value) == 0;
}

bool EnvironmentSet(const char* Name) {
    const char* Actual = std::getenv(Name);
    return Actual && *Actual;
}

// What a tray host reports, as the click the program understands.
TrayClick ClickOf(QSystemTrayIcon::ActivationReason Reason) {
    switch (Reason) {
    case QSystemTrayIcon::Trigger:
        return {MouseButton::Left, MouseAction::Released};
    case QSystemTrayIcon::Context:
        return {MouseButton::Right, MouseAction::Released};
    case QSystemTrayIcon::DoubleClick:
        return {MouseButton::Left, MouseAction::DoubleClicked};
    case QSystemTrayIcon::MiddleClick:
        return {MouseButton::Middle, MouseAction::Released};
    default:
        return {};
    }
}

// The items as actions of Menu, each carrying its item's number; the default one bold where Qt draws it.
void FillMenu(QMenu& Menu, const std::vector<MenuItem>& Items) {
    for (const MenuItem& Item : Items) {
        if (Item.Id == MenuItemId::None) {
            Menu.addSeparator();
            continue;
        }
        QAction* Action = Menu.addAction(FromSystemText(Item.Caption));
        Action->setData(static_cast<int>(Item.Id));
        if (Item.IsDefault)
            Menu.setDefaultAction(Action); // like a shell menu's default item
    }
}

} // namespace

bool MenuReleaseGuard::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseButtonRelease && Since.isValid() && Since.elapsed() < GuardMs) {
        const auto* Mouse = static_cast<const QMouseEvent*>(Event);
        if ((Mouse->globalPosition().toPoint() - Origin).manhattanLength() <= MoveTolerance) {
            ++Ignored;
            return true;
        }
    }
    return QObject::eventFilter(Watched, Event);
}

QtDesktop::QtDesktop() {
    InitTavoResources();
    // The program has no window; closing a message box must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    UnexpectedError = [this](const std::string& What) { EndAfterUnexpectedError(What); };

    for (std::size_t I = 0; I < Timers.size(); ++I) {
        // Precise: a coarse timer may fire a little early, and each pass is owed a full interval.
        Timers[I].setTimerType(Qt::PreciseTimer);
        connect(&Timers[I], &QTimer::timeout, this, [this, I] {
            Guarded([this, I] {
                if (EventSink)
                    EventSink->OnTimer(static_cast<TimerId>(I));
            });
        });
    }

    AppIcon.addFile(QStringLiteral(":/tavo/TavoRouterControl-16.png"), QSize(16, 16));
    AppIcon.addFile(QStringLiteral(":/tavo/TavoRouterControl-32.png"), QSize(32, 32));

    // A tray host started after us (or restarted) is noticed within a second; looking costs one
    // selection-owner query, so it is not done per poll pass.
    TrayHostSeen = QSystemTrayIcon::isSystemTrayAvailable();
    TrayWatch.setInterval(1000);
    connect(&TrayWatch, &QTimer::timeout, this, [this] { Guarded([this] { CheckTrayHost(); }); });
    TrayWatch.start();
}

QtDesktop::~QtDesktop() {
    delete Tray; // before the menu it may show
}

template <typename Call> void QtDesktop::Guarded(Call&& Run) {
    try {
        Run();
    } catch (const std::exception& Error) {
        UnexpectedError(Error.what());
    } catch (...) {
        UnexpectedError("unknown error");
    }
}

void QtDesktop::EndAfterUnexpectedError(const std::string& What) {
    for (QTimer& T : Timers)
        T.stop();
    if (EventSink)
        EventSink->OnUnexpectedError(What);
    EventSink = nullptr;
    RemoveTrayIcon();
    std::fprintf(stderr, "%s%s\n", UnexpectedErrorText, What.c_str());
    ShowMessageBox(UnexpectedErrorText + What, ErrorTitle, BoxIcon::Exclamation);
    EndProcess(1);
}

VersionNumbers QtDesktop::AppVersion() {
    return {VersionMajor, VersionMinor, VersionRevision};
}

std::string QtDesktop::ExecutableFolder() {
    return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
}

std::string QtDesktop::ExecutableBaseName() {
    return QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName())
        .toStdString();
}

std::vector<std::string> QtDesktop::SettingsFileCandidates() {
    return SettingsPlaces(ExecutableFolder(), ExecutableBaseName());
}

bool QtDesktop::ChangeToFolder(const std::string& Folder) {
    return ::chdir(Folder.c_str()) == 0;
}

std::string QtDesktop::ReadIniString(const std::string& Section, const std::string& Key,
                                     const std::string& File, const std::string& Default) {
    return ReadIniFile(File, Section, Key, Default);
}

InstanceClaim QtDesktop::ClaimSingleInstance() {
    // Without any X display there is nothing to claim, and nothing else to run on either.
    const QString Path = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    return Instance.Claim(QFile::encodeName(Path).toStdString()) == InstanceLock::Result::AlreadyRunning
               ? InstanceClaim::AlreadyRunning
               : InstanceClaim::Claimed;
}

bool QtDesktop::StartNetwork() {
    // Nothing to start here; but a send on a connection the unit has closed must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// An interval of 0 never fires: a QTimer of 0 would fire at every turn of the loop, so it is not started.
void QtDesktop::SetTimerInterval(TimerId Timer, std::uint32_t IntervalMs) {
    const auto I = static_cast<std::size_t>(Timer);
    Intervals[I] = IntervalMs;
    if (!Enabled[I])
        return;
    if (IntervalMs > 0)
        TimerOf(Timer).start(static_cast<int>(std::min<std::uint32_t>(IntervalMs, INT_MAX)));
    else
        TimerOf(Timer).stop();
}

void QtDesktop::EnableTimer(TimerId Timer, bool On) {
    const auto I = static_cast<std::size_t>(Timer);
    if (!On) {
        Enabled[I] = false;
        TimerOf(Timer).stop();
        return;
    }
    if (Enabled[I])
        return; // already on: the running interval goes on
    Enabled[I] = true;
    if (Intervals[I] > 0)
        TimerOf(Timer).start(static_cast<int>(std::min<std::uint32_t>(Intervals[I], INT_MAX)));
}

void QtDesktop::DoEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtDesktop::WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) {
    if (TimeoutMs <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    std::unique_ptr<WaitSet> Spare; // only for waits nested deeper than ever expected
    WaitSet* Set = nullptr;
    if (WaitDepth < Waits.size()) {
        if (!Waits[WaitDepth]) {
            Waits[WaitDepth] = std::make_unique<WaitSet>();
            Waits[WaitDepth]->Deadline.setSingleShot(true);
            Waits[WaitDepth]->Deadline.setTimerType(Qt::PreciseTimer);
        }
        Set = Waits[WaitDepth].get();
    } else {
        Spare = std::make_unique<WaitSet>();
        Spare->Deadline.setSingleShot(true);
        Set = Spare.get();
    }
    ++WaitDepth;

    auto Watch = [Socket](QSocketNotifier& Notifier) {
        Notifier.setSocket(Socket);
        Notifier.setEnabled(true);
    };
    if (Socket > 0) {
        // A failed connect shows as writable with an error, or as readable; either ends the wait.
        Watch(Set->Read);
        if (Interest == SocketInterest::ConnectDone) {
            Watch(Set->Write);
            Watch(Set->Exception);
        }
    }
    Set->Deadline.start(static_cast<int>(std::min<std::int64_t>(TimeoutMs, INT_MAX)));

    // Sleeps in the dispatcher until something is dispatched: the socket, the deadline, a posted event,
    // input or a timer (whose handler then runs here, nested).
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    Set->Deadline.stop();
    // Notifiers are level-triggered: left on, a socket with data waiting would wake every later turn.
    Set->Read.setEnabled(false);
    Set->Write.setEnabled(false);
    Set->Exception.setEnabled(false);
    --WaitDepth;
}

double QtDesktop::SteadyMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void QtDesktop::PostEvent(std::function<void()> Event) {
    QMetaObject::invokeMethod(
        this, [this, Event = std::move(Event)] { Guarded(Event); }, Qt::QueuedConnection);
}

void QtDesktop::ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) {
    const QMessageBox::Icon Shown = Icon == BoxIcon::Critical      ? QMessageBox::Critical
                                    : Icon == BoxIcon::Information ? QMessageBox::Information
                                                                   : QMessageBox::Warning;
    QMessageBox Box(Shown, FromSystemText(Title), FromSystemText(Text), QMessageBox::Ok);
    Box.exec();
}

void QtDesktop::WriteDiagnostic(const std::string& Line) {
    std::fprintf(stderr, "%s: %s\n", ProductName, Line.c_str());
}

ScreenAccess QtDesktop::TakeScreen(std::string& Problem) {
    const bool WaylandSession = QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) ||
                                EnvironmentSet("WAYLAND_DISPLAY") ||
                                EnvironmentIs("XDG_SESSION_TYPE", "wayland");
    std::string XProblem;
    const bool Opened = Pixels.Open(nullptr, XProblem);
    if (WaylandSession) {
        // Reads still go through XWayland when there is one, but it sees only X programs' windows.
        Problem =
            "This desktop is a Wayland session, where a program cannot read the screen pixels of other "
            "programs. TavoRouterControl keeps running but will not see the unit indicators; run it in an "
            "X11 session to use it.";
        return ScreenAccess::NotReadable;
    }
    if (!Opened) {
        Problem = XProblem;
        return ScreenAccess::Unavailable;
    }
    return ScreenAccess::Readable;
}

void QtDesktop::ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    Pixels.Read(Points, Colours);
}

void QtDesktop::MakeTrayIcon() {
    // No tray host: the icon waits for one (CheckTrayHost).
    if (Tray || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    Tray = new QSystemTrayIcon(this);
    connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason Reason) {
        Guarded([this, Reason] {
            const TrayClick Click = ClickOf(Reason);
            if (Click.Button != MouseButton::None && EventSink)
                EventSink->OnTrayClick(Click);
        });
    });
    OfferTrayMenu();
}

void QtDesktop::SetTrayMenu(const std::vector<MenuItem>& Items) {
    if (Tray)
        Tray->setContextMenu(nullptr);
    HostMenu = std::make_unique<QMenu>();
    FillMenu(*HostMenu, Items);
    for (QAction* Action : HostMenu->actions()) {
        if (Action->isSeparator())
            continue;
        const auto Item = static_cast<MenuItemId>(Action->data().toInt());
        // Queued: the host's request is answered at once, and About's box does not run inside it.
        connect(
            Action, &QAction::triggered, this,
            [this, Item] {
                Guarded([this, Item] {
                    if (EventSink)
                        EventSink->OnTrayMenuChoice(Item);
                });
            },
            Qt::QueuedConnection);
    }
    OfferTrayMenu();
}

// A host that shows the menu by itself (a StatusNotifierItem host, on a right click) takes it from Qt as a
// platform menu. Where Qt would pop it up itself instead (an XEmbed tray, on the right press), it is taken
// back: the program opens its own on the release, and the click would open two.
void QtDesktop::OfferTrayMenu() {
    if (!Tray || !HostMenu)
        return;
    Tray->setContextMenu(HostMenu.get());
    if (!HostMenu->platformMenu())
        Tray->setContextMenu(nullptr);
}

void QtDesktop::ShowTrayIcon() {
    TrayWanted = true;
    MakeTrayIcon();
}

void QtDesktop::UpdateTrayIcon(const std::string& Tooltip) {
    TrayImage = true;
    TrayTooltip = FromSystemText(Tooltip);
    if (!TrayWanted || !Tray)
        return;
    Tray->setIcon(AppIcon);
    Tray->setToolTip(TrayTooltip);
    // Qt shows no icon without an image, so the slot appears with the first image.
    if (!Tray->isVisible())
        Tray->show();
}

void QtDesktop::RemoveTrayIcon() {
    TrayWanted = false;
    if (!Tray)
        return;
    Tray->hide();
    // Later: the removal may come from inside this icon's own click signal.
    Tray->deleteLater();
    Tray = nullptr;
}

void QtDesktop::CheckTrayHost() {
    const bool Available = QSystemTrayIcon::isSystemTrayAvailable();
    const bool Appeared = Available && !TrayHostSeen;
    TrayHostSeen = Available;
    if (!Appeared || !TrayWanted)
        return;
    // A new host knows no icons: dock ours again, as it stands.
    if (Tray)
        Tray->hide();
    MakeTrayIcon();
    if (TrayImage)
        UpdateTrayIcon(TrayTooltip.toLocal8Bit().toStdString());
}

MenuItemId QtDesktop::ShowPopupMenu(const std::vector<MenuItem>& Items) {
    QMenu Menu;
    FillMenu(Menu, Items);
    // Centred horizontally on the pointer, top edge at the pointer.
    const QPoint Pointer = QCursor::pos();
    Menu.ensurePolished();
    const QPoint At(Pointer.x() - Menu.sizeHint().width() / 2, Pointer.y());
    Guard.Arm(Pointer);
    Menu.installEventFilter(&Guard);
    const QAction* Chosen = Menu.exec(At);
    if (!Chosen)
        return MenuItemId::None;
    return static_cast<MenuItemId>(Chosen->data().toInt());
}

int QtDesktop::RunEventLoop() {
    return QApplication::exec();
}

void QtDesktop::EndProcess(int ExitCode) {
    if (Tray)
        Tray->hide();
    // The hide (or the delete that came before) must reach the server before the process is gone,
    // or the tray host could keep an empty slot: one round trip makes sure it has.
    if (auto* X11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* Connection = X11->connection();
        std::free(xcb_get_input_focus_reply(Connection, xcb_get_input_focus(Connection), nullptr));
    }
    std::fflush(nullptr);
    std::_Exit(ExitCode);
}

} // namespace Tavo::QtPlatform
