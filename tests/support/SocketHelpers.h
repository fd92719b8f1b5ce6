#pragma once
// Socket calls the tests and the benchmark need beside the program's own: starting the library, waits,
// and a port whose connects hang.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Desktop.h"

namespace Tavo::Testing {

// Starts the socket library once per process (Winsock needs it before the first call). False when refused.
bool StartSockets();

// Waits up to TimeoutMs until the socket is readable (data, end or failure), or its connect has ended.
bool WaitForSocket(SocketHandle Socket, SocketInterest Interest, int TimeoutMs);
// Waits until at least Count bytes are waiting on a socket, without taking them; false on timeout.
bool WaitForWaitingBytes(SocketHandle Socket, std::size_t Count, int TimeoutMs);
// Bytes waiting to be read on a socket.
std::size_t WaitingBytes(SocketHandle Socket);
// False once the socket is closed (shut down is not enough).
bool SocketOpen(SocketHandle Socket);
// True when the system probes the idle connection, so a unit that vanished is noticed.
bool KeepAliveOn(SocketHandle Socket);
void SleepMilliseconds(int Ms);
double RealMilliseconds(); // the steady clock

// A loopback port whose listener never accepts and whose queue is full: a connect to it neither
// succeeds nor fails until the system gives up. Closed when this goes.
class HangingPort {
  public:
    HangingPort();
    ~HangingPort();
    HangingPort(const HangingPort&) = delete;
    HangingPort& operator=(const HangingPort&) = delete;
    int Port() const { return BoundPort; }

  private:
    std::intptr_t Listener = -1;
    std::vector<std::intptr_t> Fillers;
    int BoundPort = 0;
};

} // namespace Tavo::Testing
