#include "core/modTCP.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "core/SocketCompat.h"

namespace Tavo::modTCP {

using namespace SocketCompat;

namespace {

// Keepalive timings: a unit whose host vanished reads as failed within about 5 + 5 * 1 seconds.
constexpr int KeepAliveIdleSeconds = 5;
constexpr int KeepAliveIntervalSeconds = 1;
constexpr int KeepAliveProbes = 5;

NativeSocket Native(SocketHandle Socket) {
    return static_cast<NativeSocket>(Socket);
}

// The four parts of a dotted quad, read as plain decimal digits ("010" is ten, never octal).
std::optional<std::array<std::uint8_t, 4>> ParseDottedQuad(const std::string& Text) {
    std::array<std::uint8_t, 4> Bytes{};
    std::size_t Parts = 0;
    std::size_t Start = 0;
    for (;;) {
        const std::size_t End = Text.find('.', Start);
        const std::size_t Stop = End == std::string::npos ? Text.size() : End;
        if (Stop == Start)
            return std::nullopt; // an empty part is no number
        unsigned Value = 0;
        for (std::size_t I = Start; I < Stop; ++I) {
            const char C = Text[I];
            if (C < '0' || C > '9')
                return std::nullopt;
            Value = Value * 10 + static_cast<unsigned>(C - '0');
            if (Value > 255)
                return std::nullopt;
        }
        if (Parts == Bytes.size())
            return std::nullopt;
        Bytes[Parts++] = static_cast<std::uint8_t>(Value);
        if (End == std::string::npos)
            break;
        Start = End + 1;
    }
    if (Parts != Bytes.size())
        return std::nullopt;
    return Bytes;
}

} // namespace

std::string ResolveHostname(const std::string& Name) {
    if (Name.empty())
        return {};
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* Found = nullptr;
    if (getaddrinfo(Name.c_str(), nullptr, &Hints, &Found) != 0 || Found == nullptr)
        return {};
    std::string Result;
    for (const addrinfo* Entry = Found; Entry != nullptr; Entry = Entry->ai_next) {
        if (Entry->ai_family != AF_INET || Entry->ai_addr == nullptr)
            continue;
        const auto* Address = reinterpret_cast<const sockaddr_in*>(Entry->ai_addr);
        const auto* Bytes = reinterpret_cast<const unsigned char*>(&Address->sin_addr);
        for (int I = 0; I < 4; ++I) {
            if (I > 0)
                Result += '.';
            Result += std::to_string(Bytes[I]);
        }
        break;
    }
    freeaddrinfo(Found);
    return Result;
}

bool IsIPv4Address(const std::string& Text) {
    return ParseDottedQuad(Text).has_value();
}

SocketHandle ConnectTcp(const std::string& Address, int Port) {
    const auto Bytes = ParseDottedQuad(Address);
    if (!Bytes || Port < 0 || Port > 65535)
        return -1;
    const NativeSocket S = socket(AF_INET, SOCK_STREAM, 0);
    if (S == InvalidNative)
        return -1;
    // The handle travels as a 32-bit number.
    if (static_cast<std::uint64_t>(S) >
        static_cast<std::uint64_t>(std::numeric_limits<SocketHandle>::max())) {
        (void)CloseNative(S);
        return -1;
    }

    sockaddr_in Target{};
    Target.sin_family = AF_INET;
    Target.sin_port = htons(static_cast<std::uint16_t>(Port));
    static_assert(sizeof Target.sin_addr == 4);
    std::memcpy(&Target.sin_addr, Bytes->data(), 4);

    // Non-blocking from the start, so a host that does not answer never stops the event queue.
    if (SetNonBlocking(S) != 0 ||
        (connect(S, reinterpret_cast<const sockaddr*>(&Target), sizeof Target) != 0 &&
         !IsConnectUnderWay(LastError()))) {
        (void)CloseNative(S);
        return -1;
    }
    return static_cast<SocketHandle>(S);
}

ConnectState CheckConnect(SocketHandle Socket) {
    const NativeSocket S = Native(Socket);
    if (!WaitReady(S, true, 0))
        return ConnectState::Pending;
    int Error = 0;
    SockLen Length = sizeof Error;
    if (getsockopt(S, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&Error), &Length) != 0 || Error != 0)
        return ConnectState::Failed;
    // Winsock reports a failed connect through the exception set, not always through SO_ERROR.
    sockaddr_in Peer{};
    SockLen PeerLength = sizeof Peer;
    if (getpeername(S, reinterpret_cast<sockaddr*>(&Peer), &PeerLength) != 0)
        return ConnectState::Failed;
    SetKeepAlive(S, KeepAliveIdleSeconds, KeepAliveIntervalSeconds, KeepAliveProbes);
    return ConnectState::Connected;
}

void CloseTcp(SocketHandle& Socket) {
    (void)CloseNative(Native(Socket));
    Socket = 0;
}

void ShutdownBoth(SocketHandle Socket) {
    (void)shutdown(Native(Socket), ShutBoth);
}

bool WaitSocket(SocketHandle Socket, SocketInterest Interest, int TimeoutMs) {
    return WaitReady(Native(Socket), Interest == SocketInterest::ConnectDone, TimeoutMs < 0 ? 0 : TimeoutMs);
}

int SendText(SocketHandle Socket, const std::string& Text) {
    if (Text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return -1;
    for (;;) {
        const auto Sent = send(Native(Socket), Text.data(), static_cast<IoLength>(Text.size()), SendFlags);
        if (Sent >= 0)
            return static_cast<int>(Sent);
        if (LastError() != ErrInterrupted)
            return -1;
    }
}

int PeekSocket(SocketHandle Socket) {
    char Byte = 0;
    for (;;) {
        const auto Count = recv(Native(Socket), &Byte, 1, MSG_PEEK);
        if (Count > 0)
            return 1;
        // Zero bytes means the unit closed its end: nothing will come any more, so the link is gone.
        if (Count == 0)
            return -1;
        const int Error = LastError();
        if (Error == ErrInterrupted)
            continue;
        return IsWouldBlock(Error) ? 0 : -1;
    }
}

std::string ReceiveText(SocketHandle Socket) {
    std::array<char, 4096> Buffer;
    for (;;) {
        const auto Count = recv(Native(Socket), Buffer.data(), static_cast<IoLength>(Buffer.size()), 0);
        if (Count > 0)
            return std::string(Buffer.data(), static_cast<std::size_t>(Count));
        if (Count < 0 && LastError() == ErrInterrupted)
            continue;
        return {};
    }
}

} // namespace Tavo::modTCP
