#include "unitlink/modTCP.h"

#include "unitlink/SocketCompat.h"

namespace Tavo::modTCP {

using namespace SocketCompat;

bool WaitUntilReady(SocketHandle Socket, SocketInterest Interest, int TimeoutMs) {
    const auto S = static_cast<NativeSocket>(Socket);
    fd_set Read, Write, Failed;
    FD_ZERO(&Read);
    FD_ZERO(&Write);
    FD_ZERO(&Failed);
    FD_SET(S, Interest == SocketInterest::Readable ? &Read : &Write);
    FD_SET(S, &Failed);
    timeval Limit{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
    return select(static_cast<int>(S) + 1, &Read, &Write, &Failed, &Limit) > 0;
}

} // namespace Tavo::modTCP
