#pragma once
// The only place the core tells Winsock from BSD sockets. Included by the unit link's .cpp files only
// (and by the tests' and the benchmark's stand-in units, which need the same calls).

#include <optional>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first: mstcpip.h needs its types.
#include <mstcpip.h>
namespace Tavo::SocketCompat {
using NativeSocket = SOCKET;
inline constexpr NativeSocket InvalidNative = INVALID_SOCKET;
inline int LastError() {
    return WSAGetLastError();
}
inline int CloseNative(NativeSocket S) {
    return closesocket(S);
}
inline int SetNonBlocking(NativeSocket S) {
    u_long On = 1;
    return ioctlsocket(S, FIONBIO, &On);
}
inline constexpr int ErrWouldBlock = WSAEWOULDBLOCK;
inline constexpr int ErrInProgress = WSAEWOULDBLOCK; // a non-blocking connect under way
inline constexpr int ErrInterrupted = WSAEINTR;
inline constexpr int ShutBoth = SD_BOTH;
// Winsock never raises a signal for a send on a dead connection.
inline constexpr int SendFlags = 0;
using SockLen = int;

inline bool IsWouldBlock(int Error) {
    return Error == WSAEWOULDBLOCK;
}
inline bool IsConnectUnderWay(int Error) {
    return Error == WSAEWOULDBLOCK || Error == WSAEINPROGRESS;
}

// Keepalive probes so a half-open connection fails within seconds instead of hours.
inline void SetKeepAlive(NativeSocket S, int IdleSeconds, int IntervalSeconds, int Probes) {
    BOOL On = TRUE;
    (void)setsockopt(S, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&On), sizeof On);
    tcp_keepalive Values{};
    Values.onoff = 1;
    Values.keepalivetime = static_cast<ULONG>(IdleSeconds) * 1000;
    Values.keepaliveinterval = static_cast<ULONG>(IntervalSeconds) * 1000;
    DWORD Returned = 0;
    (void)WSAIoctl(S, SIO_KEEPALIVE_VALS, &Values, sizeof Values, nullptr, 0, &Returned, nullptr, nullptr);
#ifdef TCP_KEEPCNT
    // Older Windows ignores this and sends its fixed ten probes.
    DWORD Count = static_cast<DWORD>(Probes);
    (void)setsockopt(S, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&Count), sizeof Count);
#else
    (void)Probes;
#endif
}

struct KeepAliveState {
    bool On = false;
    std::optional<int> IdleSeconds; // not readable back on Winsock
    std::optional<int> IntervalSeconds;
    std::optional<int> Probes;
};
inline KeepAliveState ReadKeepAlive(NativeSocket S) {
    KeepAliveState State;
    BOOL On = FALSE;
    int Length = sizeof On;
    if (getsockopt(S, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&On), &Length) == 0)
        State.On = On != FALSE;
    return State;
}

// Rebinding a fixed test port right after a run is fine on Winsock without any option.
// Ready to read (or failed), or done connecting (WantWrite), within TimeoutMs. Winsock's fd_set is a
// list of handles, so any socket fits.
inline bool WaitReady(NativeSocket S, bool WantWrite, int TimeoutMs) {
    fd_set Wanted, Failed;
    FD_ZERO(&Wanted);
    FD_ZERO(&Failed);
    FD_SET(S, &Wanted);
    FD_SET(S, &Failed);
    timeval Limit{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
    return select(0, WantWrite ? nullptr : &Wanted, WantWrite ? &Wanted : nullptr, &Failed, &Limit) > 0;
}
inline void AllowQuickRebind(NativeSocket) {}

// Winsock must be started once per process before any socket call.
inline bool StartLibrary() {
    WSADATA Data{};
    return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
}
} // namespace Tavo::SocketCompat
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
namespace Tavo::SocketCompat {
using NativeSocket = int;
inline constexpr NativeSocket InvalidNative = -1;
inline int LastError() {
    return errno;
}
inline int CloseNative(NativeSocket S) {
    return ::close(S);
}
inline int SetNonBlocking(NativeSocket S) {
    return fcntl(S, F_SETFL, fcntl(S, F_GETFL, 0) | O_NONBLOCK);
}
inline constexpr int ErrWouldBlock = EWOULDBLOCK;
inline constexpr int ErrInProgress = EINPROGRESS;
inline constexpr int ErrInterrupted = EINTR;
inline constexpr int ShutBoth = SHUT_RDWR;
// A send on a connection the peer has dropped must fail with EPIPE, not kill the process.
inline constexpr int SendFlags = MSG_NOSIGNAL;
using SockLen = socklen_t;

inline bool IsWouldBlock(int Error) {
    return Error == EWOULDBLOCK || Error == EAGAIN;
}
inline bool IsConnectUnderWay(int Error) {
    return Error == EINPROGRESS || Error == EINTR;
}

inline void SetKeepAlive(NativeSocket S, int IdleSeconds, int IntervalSeconds, int Probes) {
    const int On = 1;
    (void)setsockopt(S, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On);
    (void)setsockopt(S, IPPROTO_TCP, TCP_KEEPIDLE, &IdleSeconds, sizeof IdleSeconds);
    (void)setsockopt(S, IPPROTO_TCP, TCP_KEEPINTVL, &IntervalSeconds, sizeof IntervalSeconds);
    (void)setsockopt(S, IPPROTO_TCP, TCP_KEEPCNT, &Probes, sizeof Probes);
}

struct KeepAliveState {
    bool On = false;
    std::optional<int> IdleSeconds;
    std::optional<int> IntervalSeconds;
    std::optional<int> Probes;
};
inline KeepAliveState ReadKeepAlive(NativeSocket S) {
    KeepAliveState State;
    auto Read = [S](int Level, int Name) -> std::optional<int> {
        int Value = 0;
        socklen_t Length = sizeof Value;
        if (getsockopt(S, Level, Name, &Value, &Length) != 0)
            return std::nullopt;
        return Value;
    };
    State.On = Read(SOL_SOCKET, SO_KEEPALIVE).value_or(0) != 0;
    State.IdleSeconds = Read(IPPROTO_TCP, TCP_KEEPIDLE);
    State.IntervalSeconds = Read(IPPROTO_TCP, TCP_KEEPINTVL);
    State.Probes = Read(IPPROTO_TCP, TCP_KEEPCNT);
    return State;
}

// Lets a fixed port be bound again while old connections on it linger in TIME_WAIT.
// Ready to read (or failed), or done connecting (WantWrite), within TimeoutMs. poll(), not select():
// an fd_set has no room for descriptors of 1024 and above.
inline bool WaitReady(NativeSocket S, bool WantWrite, int TimeoutMs) {
    pollfd Entry{S, static_cast<short>(WantWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&Entry, 1, TimeoutMs) > 0;
}
inline void AllowQuickRebind(NativeSocket S) {
    const int On = 1;
    (void)setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
}

inline bool StartLibrary() {
    return true;
}
} // namespace Tavo::SocketCompat
#endif
