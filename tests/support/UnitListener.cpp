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

void SendAll(NativeSocket S, const std::string& Bytes) {
    for (std::size_t Done = 0; Done < Bytes.size();) {
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
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<std::uint16_t>(Port));
    SockLen Length = sizeof A;
#ifndef _WIN32
    // A fixed port may be bound again while old connections on it linger in TIME_WAIT.
    const int On = 1;
    (void)setsockopt(L, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
#endif
    if (L == InvalidNative || inet_pton(AF_INET, Address.c_str(), &A.sin_addr) != 1 ||
        bind(L, reinterpret_cast<const sockaddr*>(&A), sizeof A) != 0 || listen(L, 16) != 0 ||
        getsockname(L, reinterpret_cast<sockaddr*>(&A), &Length) != 0) {
        (void)CloseNative(L);
        throw std::runtime_error("cannot listen on " + Address + ":" + std::to_string(Port));
    }
    ListenSocket = static_cast<std::intptr_t>(L);
    BoundPort = ntohs(A.sin_port);
    Worker = std::thread([this] { Run(); });
}

UnitListener::~UnitListener() {
    {
        const std::lock_guard Hold(Lock);
        Stopping = true;
    }
    Worker.join();
    for (const auto& [S, Index] : Open)
        (void)CloseNative(Native(S));
    (void)CloseNative(Native(ListenSocket));
}

void UnitListener::SetGreeting(std::string Bytes) {
    const std::lock_guard Hold(Lock);
    Greeting = std::move(Bytes);
}

void UnitListener::SetAnswer(std::string Bytes) {
    const std::lock_guard Hold(Lock);
    Answer = std::move(Bytes);
}

void UnitListener::Send(std::string Bytes) {
    Do([Bytes = std::move(Bytes)](std::intptr_t S) { SendAll(Native(S), Bytes); });
}

void UnitListener::Reset() {
    Do([](std::intptr_t S) {
        const linger Abort{1, 0};
        (void)setsockopt(Native(S), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Abort),
                         sizeof Abort);
    });
    Do({}); // an empty action closes the newest connection
}

void UnitListener::CloseOrderly() {
    Do({});
}

// Runs Action on the listener's thread with the newest connection (an empty one closes it); returns
// once it has run.
void UnitListener::Do(std::function<void(std::intptr_t Newest)> Action) {
    std::unique_lock Hold(Lock);
    bool Done = false;
    Actions.push_back([this, &Action, &Done] {
        if (!Open.empty()) {
            if (Action) {
                Action(Open.back().first);
            } else {
                (void)CloseNative(Native(Open.back().first));
                Open.pop_back();
            }
        }
        Done = true;
    });
    if (!Changed.wait_for(Hold, std::chrono::seconds(10), [&] { return Done; }))
        throw std::runtime_error("the stand-in unit did not carry out a command within 10 s");
}

void UnitListener::Run() {
    std::array<char, 8192> Buffer;
    for (;;) {
        fd_set Readable;
        FD_ZERO(&Readable);
        NativeSocket Highest = Native(ListenSocket);
        FD_SET(Native(ListenSocket), &Readable);
        {
            const std::lock_guard Hold(Lock);
            if (Stopping)
                return;
            while (!Actions.empty()) {
                Actions.front()();
                Actions.pop_front();
                Changed.notify_all();
            }
            for (const auto& [S, Index] : Open) {
                FD_SET(Native(S), &Readable);
                Highest = std::max(Highest, Native(S));
            }
        }
        // Commands are picked up within a slice; the program's traffic wakes the wait at once.
        timeval Slice{0, 5000};
        if (select(static_cast<int>(Highest) + 1, &Readable, nullptr, nullptr, &Slice) <= 0)
            continue;
        const std::lock_guard Hold(Lock);
        if (FD_ISSET(Native(ListenSocket), &Readable)) {
            const NativeSocket S = accept(Native(ListenSocket), nullptr, nullptr);
            if (S != InvalidNative) {
                Open.emplace_back(static_cast<std::intptr_t>(S), AcceptedCount++);
                SendAll(S, Greeting);
            }
        }
        for (std::size_t I = 0; I < Open.size();) {
            const auto [S, Index] = Open[I];
            if (!FD_ISSET(Native(S), &Readable)) {
                ++I;
                continue;
            }
            const auto Count = recv(Native(S), Buffer.data(), static_cast<IoLength>(Buffer.size()), 0);
            if (Count <= 0) {
                (void)CloseNative(Native(S)); // the program closed its end
                Open.erase(Open.begin() + static_cast<std::ptrdiff_t>(I));
                continue;
            }
            ReceivedTotal += static_cast<std::size_t>(Count);
            Received.push_back(
                {Index, std::string(Buffer.data(), static_cast<std::size_t>(Count)), RealMilliseconds()});
            SendAll(Native(S), Answer);
            ++I;
        }
        Changed.notify_all();
    }
}

bool UnitListener::WaitForAccepted(int Count, int TimeoutMs) {
    std::unique_lock Hold(Lock);
    return Changed.wait_for(Hold, std::chrono::milliseconds(TimeoutMs),
                            [&] { return AcceptedCount >= Count; });
}

bool UnitListener::WaitForReceived(std::size_t Bytes, int TimeoutMs) {
    std::unique_lock Hold(Lock);
    return Changed.wait_for(Hold, std::chrono::milliseconds(TimeoutMs),
                            [&] { return ReceivedTotal >= Bytes; });
}

int UnitListener::Accepted() const {
    const std::lock_guard Hold(Lock);
    return AcceptedCount;
}

std::vector<ReceivedChunk> UnitListener::Chunks() const {
    const std::lock_guard Hold(Lock);
    return Received;
}

std::size_t UnitListener::ReceivedBytes() const {
    const std::lock_guard Hold(Lock);
    return ReceivedTotal;
}

} // namespace Tavo::Testing
