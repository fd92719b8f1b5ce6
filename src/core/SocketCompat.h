#pragma once
// The only place the core tells Winsock from BSD sockets. Included by modTCP.cpp and by the tests'
// socket helpers, never by a header of the core.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first: mstcpip.h needs its types.
#include <mstcpip.h>

namespace Tavo::SocketCompat {

using NativeSocket = SOCKET;
using SockLen = int;
using IoLength = int; // the length argument of send and recv
inline constexpr NativeSocket InvalidNative = INVALID_SOCKET;
inline constexpr int ErrInterrupted = WSAEINTR;
inline constexpr int ShutBoth = SD_BOTH;
// Winsock never raises a signal for a send on a dead connection.
inline constexpr int SendFlags = 0;

inline int LastError() {
    return WSAGetLastError();
}
inline int CloseNative(NativeSocket S) {
    return closesocket(S);
}
inline int SetNonBlocking(NativeSocket S) {
    u_long On = 1;
    return ioctlsocket(S, static_cast<long>(FIONBIO), &On);
}
inline bool IsWouldBlock(int Error) {
    return Error == WSAEWOULDBLOCK;
}
inline bool IsConnectUnderWay(int Error) {
    return Error == WSAEWOULDBLOCK || Error == WSAEINPROGRESS;
}

// Keepalive probes, so a half-open connection fails within seconds instead of hours.
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

} // namespace Tavo::SocketCompat

#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tavo::SocketCompat {

using NativeSocket = int;
using SockLen = socklen_t;
using IoLength = std::size_t; // the length argument of send and recv
inline constexpr NativeSocket InvalidNative = -1;
inline constexpr int ErrInterrupted = EINTR;
inline constexpr int ShutBoth = SHUT_RDWR;
// A send on a connection the peer has dropped must fail with EPIPE, not end the process.
inline constexpr int SendFlags = MSG_NOSIGNAL;

inline int LastError() {
    return errno;
}
inline int CloseNative(NativeSocket S) {
    return ::close(S);
}
inline int SetNonBlocking(NativeSocket S) {
    return fcntl(S, F_SETFL, fcntl(S, F_GETFL, 0) | O_NONBLOCK);
}
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

// Ready to read (or failed), or done connecting (WantWrite), within TimeoutMs. poll(), not select():
// an fd_set has no room for descriptors of 1024 and above.
inline bool WaitReady(NativeSocket S, bool WantWrite, int TimeoutMs) {
    pollfd Entry{S, static_cast<short>(WantWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&Entry, 1, TimeoutMs) > 0;
}

} // namespace Tavo::SocketCompat
#endif
