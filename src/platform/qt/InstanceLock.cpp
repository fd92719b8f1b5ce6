#include "platform/qt/InstanceLock.h"

#include <X11/Xlib.h>

#include <cstdint>
#include <cstdio>

namespace Tavo::QtPlatform {

InstanceLock::~InstanceLock() {
    if (Display)
        XCloseDisplay(Display);
}

std::string InstanceLock::SelectionName(const std::string& CanonicalPath) {
    std::uint64_t Hash = 14695981039346656037ULL; // FNV-1a, 64 bits
    for (const char C : CanonicalPath) {
        Hash ^= static_cast<unsigned char>(C);
        Hash *= 1099511628211ULL;
    }
    char Hex[17];
    std::snprintf(Hex, sizeof Hex, "%016llx", static_cast<unsigned long long>(Hash));
    return std::string("_TAVOROUTERCONTROL_INSTANCE_") + Hex;
}

std::optional<bool> InstanceLock::IsClaimed(const std::string& CanonicalPath, const char* DisplayName) {
    ::Display* Probe = XOpenDisplay(DisplayName);
    if (!Probe)
        return std::nullopt;
    // Only an atom that exists: a claim made it, and asking must not make one.
    const Atom Selection = XInternAtom(Probe, SelectionName(CanonicalPath).c_str(), True);
    const bool Held = Selection != 0 && XGetSelectionOwner(Probe, Selection) != 0;
    XCloseDisplay(Probe);
    return Held;
}

InstanceLock::Result InstanceLock::Claim(const std::string& CanonicalPath, const char* DisplayName) {
    if (!Display)
        Display = XOpenDisplay(DisplayName);
    if (!Display)
        return Result::NoDisplay;
    const Atom Selection = XInternAtom(Display, SelectionName(CanonicalPath).c_str(), False);
    const ::Window Owner = XCreateSimpleWindow(Display, DefaultRootWindow(Display), -10, -10, 1, 1, 0, 0, 0);
    // Looking and taking under a grab, so two copies started together cannot both see the selection free.
    XGrabServer(Display);
    const bool Free = XGetSelectionOwner(Display, Selection) == 0;
    if (Free)
        XSetSelectionOwner(Display, Selection, Owner, CurrentTime);
    XUngrabServer(Display);
    const bool Ours = Free && XGetSelectionOwner(Display, Selection) == Owner;
    if (!Ours) {
        XDestroyWindow(Display, Owner);
        XCloseDisplay(Display);
        Display = nullptr;
        return Result::AlreadyRunning;
    }
    XFlush(Display);
    return Result::Claimed;
}

} // namespace Tavo::QtPlatform
