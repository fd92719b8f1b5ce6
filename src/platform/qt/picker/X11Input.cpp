#include "platform/qt/picker/X11Input.h"

// Xlib defines KeyPress (an event type) as a macro: name the picker's key type before it comes in.
using PickerKey = Tavo::Picker::KeyPress;

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <array>

namespace Tavo::QtPlatform {

namespace {

struct KeyDef {
    KeySym Sym;
    const char* Name;
    PickerKey Press;
};

using Picker::KeyName;

const std::array<KeyDef, 21> PickerKeys{{
    {XK_1, "1", {KeyName::Character, '1'}},
    {XK_2, "2", {KeyName::Character, '2'}},
    {XK_3, "3", {KeyName::Character, '3'}},
    {XK_4, "4", {KeyName::Character, '4'}},
    {XK_5, "5", {KeyName::Character, '5'}},
    {XK_6, "6", {KeyName::Character, '6'}},
    {XK_7, "7", {KeyName::Character, '7'}},
    {XK_8, "8", {KeyName::Character, '8'}},
    {XK_a, "A", {KeyName::Character, 'a'}},
    {XK_o, "O", {KeyName::Character, 'o'}},
    {XK_c, "C", {KeyName::Character, 'c'}},
    {XK_p, "P", {KeyName::Character, 'p'}},
    {XK_k, "K", {KeyName::Character, 'k'}},
    {XK_Return, "Enter", {KeyName::Enter, 0}},
    {XK_Escape, "Esc", {KeyName::Escape, 0}},
    {XK_space, "Space", {KeyName::Space, 0}},
    {XK_BackSpace, "Backspace", {KeyName::Backspace, 0}},
    {XK_Left, "Left", {KeyName::Left, 0}},
    {XK_Right, "Right", {KeyName::Right, 0}},
    {XK_Up, "Up", {KeyName::Up, 0}},
    {XK_Down, "Down", {KeyName::Down, 0}},
}};

// A key grabbed by another client fails with BadAccess; count those instead of ending the process.
int GrabErrors = 0;
int CountGrabError(::Display*, XErrorEvent* Event) {
    if (Event->error_code == BadAccess)
        ++GrabErrors;
    return 0;
}

} // namespace

X11Input::~X11Input() {
    if (Display)
        XCloseDisplay(Display);
}

bool X11Input::Open(std::string& Problem) {
    Display = XOpenDisplay(nullptr);
    if (!Display) {
        const char* Name = XDisplayName(nullptr);
        Problem = std::string("no X display could be opened (DISPLAY is \"") + (Name ? Name : "") + "\").";
        return false;
    }
    Root = DefaultRootWindow(Display);
    return true;
}

int X11Input::Socket() const {
    return Display ? ConnectionNumber(Display) : -1;
}

bool X11Input::Pointer(int& X, int& Y) {
    ::Window RootReturn = 0, Child = 0;
    int WinX = 0, WinY = 0;
    unsigned int Mask = 0;
    return Display && XQueryPointer(Display, Root, &RootReturn, &Child, &X, &Y, &WinX, &WinY, &Mask);
}

void X11Input::MovePointer(int Dx, int Dy) {
    if (!Display)
        return;
    XWarpPointer(Display, 0, 0, 0, 0, 0, 0, Dx, Dy);
    XFlush(Display);
}

std::vector<std::string> X11Input::GrabKeys() {
    std::vector<std::string> Taken;
    if (!Display)
        return Taken;
    // Caps Lock and Num Lock must not stop a key from acting.
    const unsigned int LockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
    auto* Previous = XSetErrorHandler(CountGrabError);
    auto Grab = [&](const KeyDef& K) {
        const KeyCode Code = XKeysymToKeycode(Display, K.Sym);
        if (Code == 0)
            return;
        GrabErrors = 0;
        for (const unsigned int Mods : LockVariants)
            XGrabKey(Display, Code, Mods, Root, False, GrabModeAsync, GrabModeAsync);
        XSync(Display, False); // the errors of these requests have been handled once this returns
        if (GrabErrors)
            Taken.emplace_back(K.Name);
    };
    for (const KeyDef& K : PickerKeys)
        Grab(K);
    XSetErrorHandler(Previous);
    return Taken;
}

std::vector<PickerKey> X11Input::TakeKeys() {
    std::vector<PickerKey> Keys;
    if (!Display)
        return Keys;
    while (XPending(Display)) {
        XEvent Event;
        XNextEvent(Display, &Event);
        if (Event.type != KeyPress)
            continue;
        const KeySym Sym = XLookupKeysym(&Event.xkey, 0);
        for (const KeyDef& K : PickerKeys)
            if (K.Sym == Sym) {
                Keys.push_back(K.Press);
                break;
            }
    }
    return Keys;
}

} // namespace Tavo::QtPlatform
