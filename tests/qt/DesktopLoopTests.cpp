// The desktop's timers and waits on a real Qt event loop: the timer rules the passes rely on, and a
// wait that sleeps until there is something to do.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "QtTestEnvironment.h"
#include "Recorder.h"

namespace Tavo::Testing {

double CpuMilliseconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return (Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) * 1000.0 +
           (Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1000.0;
}

namespace {

constexpr double GenerousMs = 5000; // only a hung or broken loop takes this long

TEST(DesktopTimers, IntervalZeroNeverFiresAndCostsNothing) {
    QtPlatform::QtDesktop Desk;
    Recorder Rec(Desk);
    // Zero from the start, and zero set while on: neither may fire, nor spin.
    Desk.SetTimerInterval(TimerId::Poll, 0);
    Desk.EnableTimer(TimerId::Poll, true);
    Desk.SetTimerInterval(TimerId::CheckConnection, 40);
    Desk.EnableTimer(TimerId::CheckConnection, true);
    Desk.SetTimerInterval(TimerId::CheckConnection, 0);
    const double Cpu = CpuMilliseconds();
    EXPECT_FALSE(Rec.PumpUntil([&] { return !Rec.Ticks.empty(); }, 400));
    const double Used = CpuMilliseconds() - Cpu;
    std::printf("[ figures ] 400 ms with two zero-interval timers on: %.1f ms of processor time\n", Used);
    EXPECT_TRUE(Rec.Ticks.empty());
    EXPECT_LT(Used, 200.0) << "a zero-interval timer must not make the loop spin";

    // A real interval set while on starts it.
    Desk.SetTimerInterval(TimerId::Poll, 30);
    ASSERT_TRUE(Rec.PumpUntil([&] { return !Rec.Ticks.empty(); }, GenerousMs));
    EXPECT_EQ(Rec.Ticks[0].Timer, TimerId::Poll);
}

TEST(DesktopTimers, SwitchingOnOrANewIntervalStartsAFullInterval) {
    constexpr std::uint32_t Interval = 300;
    struct Case {
        const char* Name;
        void (*Restart)(QtPlatform::QtDesktop&);
    };
    const Case Cases[] = {
        {"switched off and on",
         [](QtPlatform::QtDesktop& D) {
             D.EnableTimer(TimerId::Poll, false);
             D.EnableTimer(TimerId::Poll, true);
         }},
        {"same interval set again while on",
         [](QtPlatform::QtDesktop& D) { D.SetTimerInterval(TimerId::Poll, Interval); }},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        QtPlatform::QtDesktop Desk;
        Recorder Rec(Desk);
        Desk.SetTimerInterval(TimerId::Poll, Interval);
        Desk.EnableTimer(TimerId::Poll, true);
        const double Start = Desk.SteadyMilliseconds();
        // Half way through, restart. Had it kept its first interval it would fire 150 ms after that.
        Rec.PumpUntil([&] { return !Rec.Ticks.empty(); }, Start + Interval / 2.0 - Desk.SteadyMilliseconds());
        ASSERT_TRUE(Rec.Ticks.empty()) << "fired before its interval";
        const double Restarted = Desk.SteadyMilliseconds();
        C.Restart(Desk);
        ASSERT_TRUE(Rec.PumpUntil([&] { return !Rec.Ticks.empty(); }, GenerousMs)) << "never fired";
        // A load can only make it later, never earlier; the timer works in whole milliseconds.
        EXPECT_GE(Rec.Ticks[0].At - Restarted, Interval - 1.0);
        std::printf("[ figures ] %s: fired %.1f ms after the restart (interval %u ms)\n", C.Name,
                    Rec.Ticks[0].At - Restarted, Interval);
    }
}

// A loopback listener, a client socket and the accepted end.
struct LoopbackPair {
    int Listener = -1, Client = -1, Server = -1;
    int Port = 0;
    LoopbackPair() {
        Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t L = sizeof A;
        bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A);
        listen(Listener, 4);
        getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &L);
        Port = ntohs(A.sin_port);
    }
    void Connect() {
        Client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        A.sin_port = htons(static_cast<std::uint16_t>(Port));
        connect(Client, reinterpret_cast<sockaddr*>(&A), sizeof A);
        Server = accept(Listener, nullptr, nullptr);
    }
    ~LoopbackPair() {
        for (int S : {Listener, Client, Server})
            if (S >= 0)
                close(S);
    }
};

TEST(DesktopWait, WakesForSocketDataAndPostedEventsAndOtherwiseSleepsToItsTimeout) {
    QtPlatform::QtDesktop Desk;
    Recorder Rec(Desk);
    LoopbackPair Pair;
    Pair.Connect();
    ASSERT_GE(Pair.Server, 0);

    // Data that arrives during the wait ends it.
    {
        std::thread Sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            (void)send(Pair.Server, "x", 1, 0);
        });
        const double Start = Desk.SteadyMilliseconds();
        const double Cpu = CpuMilliseconds();
        char Byte = 0;
        int Wakes = 0;
        while (recv(Pair.Client, &Byte, 1, MSG_PEEK | MSG_DONTWAIT) != 1 &&
               Desk.SteadyMilliseconds() - Start < GenerousMs) {
            Desk.WaitForEventOrSocket(Pair.Client, SocketInterest::Readable, 10000);
            ++Wakes;
        }
        const double Took = Desk.SteadyMilliseconds() - Start;
        Sender.join();
        std::printf(
            "[ figures ] socket data after 150 ms: wait ended after %.1f ms, %d wake-ups, %.1f ms CPU\n",
            Took, Wakes, CpuMilliseconds() - Cpu);
        EXPECT_LT(Took, 3000.0) << "the wait did not end when data arrived";
        EXPECT_LE(Wakes, 10);
    }

    // An event posted (from elsewhere) during the wait ends it.
    {
        QObject Target;
        std::thread Poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            QCoreApplication::postEvent(&Target, new QEvent(QEvent::User));
        });
        const double Start = Desk.SteadyMilliseconds();
        Desk.WaitForEventOrSocket(0, SocketInterest::Readable, 10000);
        const double Took = Desk.SteadyMilliseconds() - Start;
        Poster.join();
        Desk.DoEvents();
        std::printf("[ figures ] posted event after 150 ms: wait ended after %.1f ms\n", Took);
        EXPECT_LT(Took, 3000.0) << "the wait did not end for a posted event";
    }

    // Nothing happens: the wait lasts to its timeout and uses (almost) no processor time.
    {
        char Drain[16];
        (void)recv(Pair.Client, Drain, sizeof Drain, MSG_DONTWAIT);
        const double Start = Desk.SteadyMilliseconds();
        const double Cpu = CpuMilliseconds();
        int Wakes = 0;
        while (Desk.SteadyMilliseconds() - Start < 1000) {
            Desk.WaitForEventOrSocket(Pair.Client, SocketInterest::Readable,
                                      static_cast<std::int64_t>(1000 - (Desk.SteadyMilliseconds() - Start)) +
                                          1);
            ++Wakes;
        }
        const double Used = CpuMilliseconds() - Cpu;
        std::printf("[ figures ] 1 s idle wait on a quiet socket: %d wake-ups, %.2f ms CPU\n", Wakes, Used);
        EXPECT_LE(Wakes, 5) << "the wait woke without cause";
        EXPECT_LT(Used, 100.0);
    }
}

TEST(DesktopWait, ConnectEndsTheWaitWhetherItSucceedsOrFails) {
    QtPlatform::QtDesktop Desk;
    for (const bool Listening : {true, false}) {
        SCOPED_TRACE(Listening ? "port listening" : "port closed");
        LoopbackPair Pair;
        int Port = Pair.Port;
        if (!Listening) {
            close(Pair.Listener); // nothing listens on the port now: the connect is refused
            Pair.Listener = -1;
        }
        const int S = socket(AF_INET, SOCK_STREAM, 0);
        fcntl(S, F_SETFL, fcntl(S, F_GETFL, 0) | O_NONBLOCK);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        A.sin_port = htons(static_cast<std::uint16_t>(Port));
        const int Result = connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
        const double Start = Desk.SteadyMilliseconds();
        if (Result != 0)
            Desk.WaitForEventOrSocket(S, SocketInterest::ConnectDone, 10000);
        const double Took = Desk.SteadyMilliseconds() - Start;
        int Error = -1;
        socklen_t L = sizeof Error;
        getsockopt(S, SOL_SOCKET, SO_ERROR, &Error, &L);
        close(S);
        EXPECT_LT(Took, 3000.0);
        EXPECT_EQ(Error == 0, Listening);
    }
}

} // namespace
} // namespace Tavo::Testing
