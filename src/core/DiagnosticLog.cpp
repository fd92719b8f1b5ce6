#include "core/DiagnosticLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

namespace Tavo {

namespace {

#ifdef _WIN32
constexpr const char* Eol = "\r\n"; // for Notepad
#else
constexpr const char* Eol = "\n";
#endif

constexpr const char* NoEndText = "the previous run left no end line: it was ended from outside (killed, or "
                                  "its session ended), it crashed, or the computer stopped";

// "2026-03-14 14:02:07.123", local time.
std::string Stamp(std::chrono::system_clock::time_point At) {
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(At);
    std::tm Local{};
#ifdef _WIN32
    (void)localtime_s(&Local, &Seconds);
#else
    (void)localtime_r(&Seconds, &Local);
#endif
    const auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(At.time_since_epoch()).count() % 1000;
    char Text[48];
    (void)std::snprintf(Text, sizeof Text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Local.tm_year + 1900,
                        Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min, Local.tm_sec,
                        static_cast<int>(Ms));
    return Text;
}

std::string Reason(int Error) {
    return Error != 0 ? std::generic_category().message(Error) : std::string("not all of it was written");
}

// True when the file holds lines and the last is no end line. Only a plain file is read: opening a pipe
// for reading would wait for a writer.
bool EndedWithoutWord(const std::string& Path) {
    std::error_code Ignored;
    if (!std::filesystem::is_regular_file(Path, Ignored))
        return false;
    std::ifstream In(Path, std::ios::binary | std::ios::ate);
    const std::streamoff Size = In ? static_cast<std::streamoff>(In.tellg()) : 0;
    const std::streamoff From = std::max<std::streamoff>(0, Size - 2048);
    std::string Tail(static_cast<std::size_t>(std::max<std::streamoff>(0, Size - From)), '\0');
    In.seekg(From);
    In.read(Tail.data(), static_cast<std::streamsize>(Tail.size()));
    const std::size_t Last = Tail.find_last_not_of("\r\n\0", std::string::npos, 3);
    if (!In || Last == std::string::npos)
        return false;
    const std::size_t Start = Tail.find_last_of('\n', Last);
    return Tail.find(DiagnosticLog::EndedWord, Start == std::string::npos ? 0 : Start) == std::string::npos;
}

void RenameToOlder(const std::string& Path) {
    const std::string Older = Path + ".1";
    // Windows renames onto no existing file; elsewhere the rename replaces it in one step.
    if (std::rename(Path.c_str(), Older.c_str()) != 0) {
        (void)std::remove(Older.c_str());
        (void)std::rename(Path.c_str(), Older.c_str());
    }
}

// Appends Text, first renaming a file that would grow past RotateBytes (a pipe or a device has no size,
// and is never renamed). Empty when written; else why not.
std::string Append(const std::string& Path, const std::string& Text) {
    std::FILE* File = std::fopen(Path.c_str(), "ab");
    if (File && std::fseek(File, 0, SEEK_END) == 0) {
        const long Size = std::ftell(File);
        if (Size > 0 && static_cast<std::size_t>(Size) + Text.size() > DiagnosticLog::RotateBytes) {
            (void)std::fclose(File);
            RenameToOlder(Path); // when it fails (a viewer holds the file), the same file grows on
            File = std::fopen(Path.c_str(), "ab");
        }
    }
    if (!File)
        return Reason(errno);
    errno = 0;
    const bool Whole = std::fwrite(Text.data(), 1, Text.size(), File) == Text.size();
    const int WriteError = errno;
    const bool Closed = std::fclose(File) == 0; // a full disk may say so only here
    if (Whole && Closed)
        return {};
    return Reason(Whole ? errno : WriteError);
}

} // namespace

DiagnosticLog::~DiagnosticLog() {
    if (!Writer.joinable())
        return;
    {
        const std::lock_guard Guard(Lock);
        Stopping = true;
    }
    Wake.notify_one();
    Writer.join();
}

void DiagnosticLog::Open(const std::string& File, ProblemReport OnProblem) {
    if (IsOpen())
        return;
    Path = File;
    Report = std::move(OnProblem);
    try {
        Writer = std::thread([this] { Run(); });
    } catch (const std::system_error& Error) {
        if (Report)
            Report(std::string("cannot be written (no thread to write it: ") + Error.what() + ")");
    }
}

void DiagnosticLog::Write(std::string Line) {
    Enqueue(std::move(Line), false);
}

void DiagnosticLog::Enqueue(std::string Line, bool IsEnd) {
    if (!IsOpen())
        return;
    const auto Now = std::chrono::system_clock::now();
    {
        const std::lock_guard Guard(Lock);
        if (Ended)
            return;
        // The end line goes past a full queue: without it the next run would say this one ended without
        // a word.
        if (Queue.size() >= MaxQueued && !IsEnd) {
            ++Dropped;
            return;
        }
        Queue.push_back({Now, std::move(Line)});
        ++Queued;
    }
    Wake.notify_one();
}

void DiagnosticLog::End(const std::string& Who, const std::string& Why, int WaitMs) {
    if (!IsOpen())
        return;
    Enqueue(Who + EndedWord + Why, true);
    std::unique_lock Guard(Lock);
    Ended = true;
    // Blocking, without running events: the form is being unloaded, and its handlers must not run again.
    (void)Settled.wait_for(Guard, std::chrono::milliseconds(WaitMs), [this] { return Handled == Queued; });
}

void DiagnosticLog::Run() {
    bool LookBack = true; // until the first batch is written: did the run before end in order?
    bool Failing = false;
    std::uint64_t Lost = 0;
    std::deque<Entry> Batch;
    std::unique_lock Guard(Lock);
    for (;;) {
        Wake.wait(Guard, [this] { return !Queue.empty() || Stopping; });
        if (Queue.empty())
            return;
        Batch.swap(Queue);
        Lost += std::exchange(Dropped, 0);
        Guard.unlock();

        const std::string First = Stamp(Batch.front().At);
        std::string Text;
        if (LookBack && EndedWithoutWord(Path))
            Text += First + " " + NoEndText + Eol;
        if (Lost > 0)
            Text += First + " " + std::to_string(Lost) + " earlier lines could not be written" + Eol;
        for (const Entry& Item : Batch)
            Text += Stamp(Item.At) + " " + Item.Line + Eol;
        const std::string Problem = Append(Path, Text);
        if (Problem.empty()) {
            LookBack = Failing = false;
            Lost = 0;
        } else {
            Lost += Batch.size();
            if (!Failing && Report)
                Report("cannot be written (" + Problem + "); its lines are lost until it can be");
            Failing = true;
        }
        const std::size_t Count = Batch.size();
        Batch.clear();

        Guard.lock();
        Handled += Count;
        Settled.notify_all();
    }
}

} // namespace Tavo
