#pragma once
// Socket primitives. They keep no state, show nothing and raise nothing: every failure is a result.

#include <string>

#include "app/Desktop.h"

namespace Tavo::modTCP {

// Dotted quad of the first IPv4 address of Name; empty when it does not resolve.
std::string ResolveHostname(const std::string& Name);
// True for four parts of plain decimal digits, each 0..255.
bool IsIPv4Address(const std::string& Text);
// A connected socket in non-blocking mode, or -1 with nothing left open. Waits for the connect
// through the desktop, so events keep running meanwhile.
SocketHandle ConnectTcp(const std::string& Address, int Port, Desktop& Host);
void CloseTcp(SocketHandle& Socket);
int SendText(SocketHandle Socket, const std::string& Text);
// >0 data waiting, 0 idle but usable, -1 failed (reset, aborted, timed out, or closed by the peer).
int PeekSocket(SocketHandle Socket);
// Whatever one read returns (up to 4096 bytes); empty when nothing could be read.
std::string ReceiveText(SocketHandle Socket);
void ShutdownBoth(SocketHandle Socket);

// Blocks up to TimeoutMs until the socket is readable (or failed), or its pending connect has ended.
// For desktops without an event loop of their own (the tests' fake desktop).
bool WaitUntilReady(SocketHandle Socket, SocketInterest Interest, int TimeoutMs);

} // namespace Tavo::modTCP
