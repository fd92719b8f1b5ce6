#pragma once
// A stand-in unit on a loopback address: a thread of its own accepts connections, greets, records every
// read exactly as it came, answers, and carries out the peer actions a test asks for (send, reset,
// orderly close). Built on the same socket calls as the program, so it runs on Linux and under wine.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Desktop.h"

namespace Tavo::Testing {

struct ReceivedChunk {
    int Connection; // 0 for the first connection accepted, 1 for the next, ...
    std::string Bytes;
    double AtMs; // when it was read, on the steady clock
};

class UnitListener {
  public:
    // Listens on Address:Port (0: an ephemeral port). Throws std::runtime_error naming the address when
    // it cannot listen there.
    explicit UnitListener(const std::string& Address = "127.0.0.1", int Port = 0);
    ~UnitListener();
    UnitListener(const UnitListener&) = delete;
    UnitListener& operator=(const UnitListener&) = delete;

    int Port() const { return BoundPort; }
    std::string Endpoint() const { return BoundAddress + ":" + std::to_string(BoundPort); }

    // Sent to every connection right after it is accepted (empty: a silent unit).
    void SetGreeting(std::string Bytes);
    // Sent back after every read from a connection (empty: no answer).
    void SetAnswer(std::string Bytes);

    // Peer actions on the newest open connection, carried out by the listener's thread; each returns
    // once done. Reset closes with linger 0, so the program sees a reset, not an orderly end.
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
    enum class Action { Send, Reset, Close, Stop };
    struct Command {
        Action What;
        std::string Bytes;
        bool Done = false;
    };
    struct Connection {
        std::intptr_t Socket;
        int Index;
    };

    void Run();
    void Carry(Command& C);
    void Post(Action What, std::string Bytes);

    std::string BoundAddress;
    int BoundPort = 0;
    std::intptr_t ListenSocket = -1;
    std::intptr_t WakeWriter = -1;
    std::intptr_t WakeReader = -1;

    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::string Greeting;
    std::string Answer;
    std::deque<Command*> Commands;
    std::vector<Connection> Open;
    std::vector<ReceivedChunk> Received;
    int AcceptedCount = 0;
    std::thread Worker;
};

} // namespace Tavo::Testing
