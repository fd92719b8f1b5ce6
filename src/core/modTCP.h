#pragma once
// Socket primitives. They keep no state, show nothing and raise nothing: every failure is a result.

#include <string>

#include "core/Desktop.h"

namespace Tavo::modTCP {

// Dotted quad of the first IPv4 address of Name; empty when it does not resolve. Blocks for as long as
// the lookup takes: never call it on the user-interface thread.
std::string ResolveHostname(const std::string& Name);
// True for four parts of plain decimal digits, each 0..255 (leading zeros read as decimal).
bool IsIPv4Address(const std::string& Text);
// Starts connecting a non-blocking socket to a dotted quad; -1, with nothing left open, when no connect
// could be started (or it failed at once). The connect goes on in the background: see CheckConnect.
SocketHandle ConnectTcp(const std::string& Address, int Port);
enum class ConnectState { Pending, Connected, Failed };
// Where a connect started by ConnectTcp stands, without waiting. A connected socket gets short keepalive
// timings, so a unit that vanished is noticed within seconds.
ConnectState CheckConnect(SocketHandle Socket);
void CloseTcp(SocketHandle& Socket);
void ShutdownBoth(SocketHandle Socket);
// One send; the count sent or -1. Never raises a signal on a dead connection.
int SendText(SocketHandle Socket, const std::string& Text);
// Blocks this thread until the socket is ready for Interest (or has failed), or TimeoutMs passes; false
// on timeout. For helper threads only: the user-interface thread waits through the desktop.
bool WaitSocket(SocketHandle Socket, SocketInterest Interest, int TimeoutMs);
// >0 data waiting, 0 idle but usable, -1 failed (reset, aborted, timed out, or closed by the peer).
int PeekSocket(SocketHandle Socket);
// Whatever one read returns (up to 4096 bytes, a single byte included); empty when nothing could be read.
std::string ReceiveText(SocketHandle Socket);

} // namespace Tavo::modTCP
