#pragma once
// A stand-in unit on a loopback address, on a thread of its own: accepts, greets, records every read
// as it came, answers, and does to its newest connection what a test asks (send, reset, orderly
// close). Built on the program's own socket calls, so it runs on Linux and under wine.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Tavo::Testing {

struct ReceivedChunk {
    int Connection; // 0 for the first connection accepted, 1 for the next, ...
    std::string Bytes;
    double AtMs; // when it was read, on the steady clock
};

class UnitListener {
  public:
    // Listens on Address:Port (0: an ephemeral port); throws std::runtime_error when it cannot.
    explicit UnitListener(const std::string& Address = "127.0.0.1", int Port = 0);
    ~UnitListener();
    UnitListener(const UnitListener&) = delete;
    UnitListener& operator=(const UnitListener&) = delete;

    int Port() const { return BoundPort; }
    std::string Endpoint() const { return BoundAddress + ":" + std::to_string(BoundPort); }

    void SetGreeting(std::string Bytes); // sent on every new connection (empty: a silent unit)
    void SetAnswer(std::string Bytes);   // sent back after every read (empty: no answer)
    // On the newest open connection; each returns once done. Reset closes with linger 0 (the program
    // sees a reset, not an orderly end).
    void Send(std::string Bytes);
    void Reset();
    void CloseOrderly();

    // Bounded waits for what the program did; false on timeout.
    bool WaitForAccepted(int Count, int TimeoutMs);
    bool WaitForReceived(std::size_t Bytes, int TimeoutMs);
    int Accepted() const;
    std::vector<ReceivedChunk> Chunks() const;
    std::size_t ReceivedBytes() const;

  private:
    void Run();
    void Do(std::function<void(std::intptr_t Newest)> Action);

    std::string BoundAddress;
    int BoundPort = 0;
    std::intptr_t ListenSocket = -1;
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::string Greeting, Answer;
    std::deque<std::function<void()>> Actions;
    std::vector<std::pair<std::intptr_t, int>> Open; // socket, connection index
    std::vector<ReceivedChunk> Received;
    std::size_t ReceivedTotal = 0;
    int AcceptedCount = 0;
    bool Stopping = false;
    std::thread Worker;
};

} // namespace Tavo::Testing
