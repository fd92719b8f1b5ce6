#pragma once
// The log file, for those who ask for one: every line stamped with the local date and time, appended by
// a thread of its own. Opening, writing and renaming a file can block for as long as the disk or the
// share behind it likes; on that thread they hold up neither the poll nor a trigger. At RotateBytes the
// file is renamed to <name>.1, replacing the one before.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Tavo {

class DiagnosticLog {
  public:
    static constexpr std::size_t RotateBytes = 1024 * 1024;
    // Lines waiting for a file that does not take them; later ones are counted, not kept.
    static constexpr std::size_t MaxQueued = 4096;
    // What an end line says after its author, and how the next run knows the last one ended in order.
    static constexpr const char* EndedWord = " ended: ";

    // Told, mostly on the writer's thread, when the file cannot be written: once, until it can again.
    // Problem: "cannot be written (why); ...", to follow the file's name.
    using ProblemReport = std::function<void(const std::string& Problem)>;

    DiagnosticLog() = default;
    // Writes what is queued, then stops the writer.
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // Starts the writer for Path; the file itself is only touched there. A writer that cannot be started
    // is reported too: the log never stops the program.
    void Open(const std::string& Path, ProblemReport Report);
    bool IsOpen() const { return Writer.joinable(); }
    // Queues Line, stamped now. Never waits for the file; does nothing when closed or ended.
    void Write(std::string Line);
    // Queues "Who ended: Why" as the last line and waits until the writer has dealt with everything queued,
    // at most WaitMs: the process ends right after, and nothing else would write what is still queued.
    void End(const std::string& Who, const std::string& Why, int WaitMs);

  private:
    struct Entry {
        std::chrono::system_clock::time_point At;
        std::string Line;
    };
    void Enqueue(std::string Line, bool IsEnd);
    void Run();

    std::string Path;
    ProblemReport Report;
    std::mutex Lock;                 // guards everything below but the thread
    std::condition_variable Wake;    // for the writer: lines queued, or stop
    std::condition_variable Settled; // for End: the writer has dealt with a batch
    std::deque<Entry> Queue;
    std::uint64_t Queued = 0;
    std::uint64_t Handled = 0; // written, or lost to a file that could not be written
    std::uint64_t Dropped = 0; // not queued, the queue being full; said in the file once it is written
    bool Ended = false;
    bool Stopping = false;
    std::thread Writer;
};

} // namespace Tavo
