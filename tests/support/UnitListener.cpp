#include "UnitListener.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>

#include "SocketHelpers.h"
#include "core/SocketCompat.h"

namespace Tavo::Testing {

using namespace SocketCompat;

namespace {

NativeSocket Native(std::intptr_t S) {
    return static_cast<NativeSocket>(S);
}

std::runtime_error Failure(const std::string& What) {
    return std::runtime_error(What + " (socket error " + std::to_string(LastError()) + ")");
}

sockaddr_in LoopbackAddress(const std::string& Address, int Port) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<std::uint16_t>(Port));
    if (inet_pton(AF_INET, Address.c_str(), &A.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + Address);
    return A;
}

int LocalPort(NativeSocket S) {
    sockaddr_in A{};
    SockLen Length = sizeof A;
    if (getsockname(S, reinterpret_cast<sockaddr*>(&A), &Length) != 0)
        throw Failure("getsockname");
    return ntohs(A.sin_port);
}

void SendAll(NativeSocket S, const std::string& Bytes) {
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const auto Sent = send(S, Bytes.data() + Done, static_cast<IoLength>(Bytes.size() - Done), SendFlags);
        if (Sent <= 0)
            return; // the program dropped the connection; the test sees that elsewhere
        Done += static_cast<std::size_t>(Sent);
    }
}

} // namespace

UnitListener::UnitListener(const std::string& Address, int Port) : BoundAddress(Address) {
    if (!StartSockets())
        throw std::runtime_error("the socket library did not start");
    const NativeSocket L = socket(AF_INET, SOCK_STREAM, 0);
    if (L == InvalidNative)
        throw Failure("socket");
#ifndef _WIN32
    // A fixed port may be bound again while old connections on it linger in TIME_WAIT.
    const int On = 1;
    (void)setsockopt(L, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
#endif
    const sockaddr_in A = LoopbackAddress(Address, Port);
    if (bind(L, reinterpret_cast<const sockaddr*>(&A), sizeof A) != 0 || listen(L, 16) != 0) {
        const auto Error = Failure("cannot listen on " + Address + ":" + std::to_string(Port));
        (void)CloseNative(L);
        throw Error;
    }
    ListenSocket = static_cast<std::intptr_t>(L);
    BoundPort = LocalPort(L);

    // A connected pair on loopback wakes the thread when a command is queued.
    const NativeSocket WakeListen = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in Any = LoopbackAddress("127.0.0.1", 0);
    if (WakeListen == InvalidNative ||
        bind(WakeListen, reinterpret_cast<const sockaddr*>(&Any), sizeof Any) != 0 ||
        listen(WakeListen, 1) != 0)
        throw Failure("wake listener");
    const sockaddr_in WakeAt = LoopbackAddress("127.0.0.1", LocalPort(WakeListen));
    const NativeSocket Writer = socket(AF_INET, SOCK_STREAM, 0);
    if (Writer == InvalidNative ||
        connect(Writer, reinterpret_cast<const sockaddr*>(&WakeAt), sizeof WakeAt) != 0)
        throw Failure("wake connect");
    const NativeSocket Reader = accept(WakeListen, nullptr, nullptr);
    if (Reader == InvalidNative)
        throw Failure("wake accept");
    (void)CloseNative(WakeListen);
    WakeWriter = static_cast<std::intptr_t>(Writer);
    WakeReader = static_cast<std::intptr_t>(Reader);

    Worker = std::thread([this] { Run(); });
}

UnitListener::~UnitListener() {
    Post(Action::Stop, {});
    Worker.join();
    for (const Connection& C : Open)
        (void)CloseNative(Native(C.Socket));
    (void)CloseNative(Native(ListenSocket));
    (void)CloseNative(Native(WakeWriter));
    (void)CloseNative(Native(WakeReader));
}

void UnitListener::SetGreeting(std::string Bytes) {
    std::lock_guard<std::mutex> Hold(Lock);
    Greeting = std::move(Bytes);
}

void UnitListener::SetAnswer(std::string Bytes) {
    std::lock_guard<std::mutex> Hold(Lock);
    Answer = std::move(Bytes);
}

void UnitListener::Send(std::string Bytes) {
    Post(Action::Send, std::move(Bytes));
}
void UnitListener::Reset() {
    Post(Action::Reset, {});
}
void UnitListener::CloseOrderly() {
    Post(Action::Close, {});
}

void UnitListener::Post(Action What, std::string Bytes) {
    Command C{What, std::move(Bytes)};
    std::unique_lock<std::mutex> Hold(Lock);
    Commands.push_back(&C);
    const char Wake = 'w';
    (void)send(Native(WakeWriter), &Wake, 1, SendFlags);
    if (!Changed.wait_for(Hold, std::chrono::seconds(10), [&] { return C.Done; })) {
        // The command is on the queue by address: it must not outlive this frame unfinished.
        Commands.erase(std::remove(Commands.begin(), Commands.end(), &C), Commands.end());
        throw std::runtime_error("the stand-in unit did not carry out a command within 10 s");
    }
}

void UnitListener::Carry(Command& C) {
    // Called with Lock held.
    if (C.What == Action::Stop || Open.empty())
        return;
    const Connection Newest = Open.back();
    if (C.What == Action::Send) {
        SendAll(Native(Newest.Socket), C.Bytes);
        return;
    }
    if (C.What == Action::Reset) {
        linger Abort{};
        Abort.l_onoff = 1;
        Abort.l_linger = 0;
        (void)setsockopt(Native(Newest.Socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Abort),
                         sizeof Abort);
    }
    (void)CloseNative(Native(Newest.Socket));
    Open.pop_back();
}

void UnitListener::Run() {
    std::array<char, 8192> Buffer;
    for (;;) {
        fd_set Readable;
        FD_ZERO(&Readable);
        NativeSocket Highest = Native(ListenSocket);
        auto Add = [&](std::intptr_t S) {
            FD_SET(Native(S), &Readable);
            Highest = std::max(Highest, Native(S));
        };
        Add(ListenSocket);
        Add(WakeReader);
        {
            std::lock_guard<std::mutex> Hold(Lock);
            for (const Connection& C : Open)
                Add(C.Socket);
        }
        if (select(static_cast<int>(Highest) + 1, &Readable, nullptr, nullptr, nullptr) < 0) {
            if (LastError() == ErrInterrupted)
                continue;
            return;
        }

        std::unique_lock<std::mutex> Hold(Lock);
        if (FD_ISSET(Native(WakeReader), &Readable)) {
            (void)recv(Native(WakeReader), Buffer.data(), static_cast<IoLength>(Buffer.size()), 0);
            bool Stop = false;
            while (!Commands.empty()) {
                Command* C = Commands.front();
                Commands.pop_front();
                Carry(*C);
                Stop = Stop || C->What == Action::Stop;
                C->Done = true;
            }
            Changed.notify_all();
            if (Stop)
                return;
        }
        if (FD_ISSET(Native(ListenSocket), &Readable)) {
            const NativeSocket S = accept(Native(ListenSocket), nullptr, nullptr);
            if (S != InvalidNative) {
                Open.push_back({static_cast<std::intptr_t>(S), AcceptedCount++});
                SendAll(S, Greeting);
                Changed.notify_all();
            }
        }
        for (std::size_t I = 0; I < Open.size();) {
            const Connection C = Open[I];
            if (!FD_ISSET(Native(C.Socket), &Readable)) {
                ++I;
                continue;
            }
            const auto Count = recv(Native(C.Socket), Buffer.data(), static_cast<IoLength>(Buffer.size()), 0);
            if (Count > 0) {
                const double AtMs = std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
                Received.push_back(
                    {C.Index, std::string(Buffer.data(), static_cast<std::size_t>(Count)), AtMs});
                SendAll(Native(C.Socket), Answer);
                Changed.notify_all();
                ++I;
            } else {
                (void)CloseNative(Native(C.Socket)); // the program closed its end
                Open.erase(Open.begin() + static_cast<std::ptrdiff_t>(I));
            }
        }
    }
}

bool UnitListener::WaitForAccepted(int Count, int TimeoutMs) {
    std::unique_lock<std::mutex> Hold(Lock);
    return Changed.wait_for(Hold, std::chrono::milliseconds(TimeoutMs),
                            [&] { return AcceptedCount >= Count; });
}

bool UnitListener::WaitForReceived(std::size_t Bytes, int TimeoutMs) {
    std::unique_lock<std::mutex> Hold(Lock);
    return Changed.wait_for(Hold, std::chrono::milliseconds(TimeoutMs), [&] {
        std::size_t Total = 0;
        for (const ReceivedChunk& C : Received)
            Total += C.Bytes.size();
        return Total >= Bytes;
    });
}

int UnitListener::Accepted() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return AcceptedCount;
}

std::vector<ReceivedChunk> UnitListener::Chunks() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return Received;
}

std::size_t UnitListener::ReceivedBytes() const {
    std::lock_guard<std::mutex> Hold(Lock);
    std::size_t Total = 0;
    for (const ReceivedChunk& C : Received)
        Total += C.Bytes.size();
    return Total;
}

} // namespace Tavo::Testing
