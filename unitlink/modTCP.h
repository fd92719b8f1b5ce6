#pragma once
// Socket primitives. They keep no state, show nothing and raise nothing: every failure is a result.

#include <string>

#include "app/Desktop.h"

namespace Tavo::modTCP {

// Dotted quad of the first IPv4 address of Name; empty when it does not resolve.
std::string ResolveHostname(const std::string& Name);
// True for four parts of plain decimal digits, each 0..255 (leading zeros read as decimal).
bool IsIPv4Address(const std::string& Text);
// A connected socket in non-blocking mode with short keepalive timings, or -1 with nothing left open.
// Address must pass IsIPv4Address. Waits for the connect through the desktop, so events keep running
// meanwhile; the platform's own connect timeout is the only limit.
SocketHandle ConnectTcp(const std::string& Address, int Port, Desktop& Host);
void CloseTcp(SocketHandle& Socket);
// One send; the count sent or -1. Never raises a signal on a dead connection.
int SendText(SocketHandle Socket, const std::string& Text);
// >0 data waiting, 0 idle but usable, -1 failed (reset, aborted, timed out, or closed by the peer).
int PeekSocket(SocketHandle Socket);
// Whatever one read returns (up to 4096 bytes, a single byte included); empty when nothing could be read.
std::string ReceiveText(SocketHandle Socket);
void ShutdownBoth(SocketHandle Socket);

// Blocks up to TimeoutMs until the socket is readable (or failed), or its pending connect has ended.
// For desktops without an event loop of their own (the tests' fake desktop).
bool WaitUntilReady(SocketHandle Socket, SocketInterest Interest, int TimeoutMs);

} // namespace Tavo::modTCP
