#include "SocketHelpers.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/SocketCompat.h"
#include "core/modTCP.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#endif

namespace Tavo::Testing {

using namespace SocketCompat;

bool StartSockets() {
#ifdef _WIN32
    static const bool Started = [] {
        WSADATA Data{};
        return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    }();
    return Started;
#else
    return true;
#endif
}

bool WaitForSocket(SocketHandle Socket, SocketInterest Interest, int TimeoutMs) {
    return modTCP::WaitSocket(Socket, Interest, TimeoutMs);
}

std::size_t WaitingBytes(SocketHandle Socket) {
#ifdef _WIN32
    u_long Count = 0;
    (void)ioctlsocket(static_cast<NativeSocket>(Socket), FIONREAD, &Count);
#else
    int Count = 0;
    (void)ioctl(static_cast<NativeSocket>(Socket), FIONREAD, &Count);
#endif
    return static_cast<std::size_t>(Count);
}

bool SocketOpen(SocketHandle Socket) {
    int Type = 0;
    SockLen Length = sizeof Type;
    return getsockopt(static_cast<NativeSocket>(Socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&Type),
                      &Length) == 0;
}

bool KeepAliveOn(SocketHandle Socket) {
    int On = 0;
    SockLen Length = sizeof On;
    return getsockopt(static_cast<NativeSocket>(Socket), SOL_SOCKET, SO_KEEPALIVE,
                      reinterpret_cast<char*>(&On), &Length) == 0 &&
           On != 0;
}

void SleepMilliseconds(int Ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

double RealMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitForWaitingBytes(SocketHandle Socket, std::size_t Count, int TimeoutMs) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (WaitingBytes(Socket) < Count) // the rest is on its way through loopback
        if (std::chrono::steady_clock::now() > Deadline)
            return false;
        else
            SleepMilliseconds(1);
    return true;
}

HangingPort::HangingPort() {
    StartSockets();
    const NativeSocket L = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SockLen Length = sizeof Address;
    if (L == InvalidNative || bind(L, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
        listen(L, 0) != 0 || getsockname(L, reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
        throw std::runtime_error("no loopback listener for a hanging port");
    Listener = static_cast<std::intptr_t>(L);
    BoundPort = ntohs(Address.sin_port);
    // Connects of our own fill the queue; the first that does not complete shows it is full.
    for (int I = 0; I < 16; ++I) {
        const NativeSocket F = socket(AF_INET, SOCK_STREAM, 0);
        (void)SetNonBlocking(F);
        (void)connect(F, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
        Fillers.push_back(static_cast<std::intptr_t>(F));
        if (!WaitReady(F, true, 200))
            return;
    }
    throw std::runtime_error("the listener's queue never filled: connects to it would not hang");
}

HangingPort::~HangingPort() {
    for (const std::intptr_t F : Fillers)
        (void)CloseNative(static_cast<NativeSocket>(F));
    (void)CloseNative(static_cast<NativeSocket>(Listener));
}

} // namespace Tavo::Testing
