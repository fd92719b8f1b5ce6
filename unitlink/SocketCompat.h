#pragma once
// The only place the core tells Winsock from BSD sockets. Included by the unit link's .cpp files only.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
namespace Tavo::SocketCompat {
using NativeSocket = SOCKET;
inline int LastError() { return WSAGetLastError(); }
inline int CloseNative(NativeSocket S) { return closesocket(S); }
inline int SetNonBlocking(NativeSocket S) {
    u_long On = 1;
    return ioctlsocket(S, FIONBIO, &On);
}
inline constexpr int ErrWouldBlock = WSAEWOULDBLOCK;
inline constexpr int ErrInProgress = WSAEWOULDBLOCK; // a non-blocking connect under way
inline constexpr int ErrInterrupted = WSAEINTR;
inline constexpr int ShutBoth = SD_BOTH;
using SockLen = int;
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
inline int LastError() { return errno; }
inline int CloseNative(NativeSocket S) { return ::close(S); }
inline int SetNonBlocking(NativeSocket S) { return fcntl(S, F_SETFL, fcntl(S, F_GETFL, 0) | O_NONBLOCK); }
inline constexpr int ErrWouldBlock = EWOULDBLOCK;
inline constexpr int ErrInProgress = EINPROGRESS;
inline constexpr int ErrInterrupted = EINTR;
inline constexpr int ShutBoth = SHUT_RDWR;
using SockLen = socklen_t;
} // namespace Tavo::SocketCompat
#endif
