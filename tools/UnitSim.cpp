// tavo-unit-sim: a stand-in for one unit's TCP control port, for the end-to-end tests and the benchmark.
// One thread, one poll() loop. Every event is one machine-readable line on stdout, flushed at once, with a
// CLOCK_MONOTONIC time stamp so that test logs of different processes can be compared.

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const Usage = R"(usage: tavo-unit-sim --port N [options]

A stand-in for one unit: a TCP server on 127.0.0.1 (or --bind ADDR) that greets, logs every block it
receives and answers it. A block is everything up to and including an empty line ("\n\n").

options:
  --port N              port to listen on; 0 picks a free one (it is printed in the "listening" line)
  --bind ADDR           IPv4 address to listen on (default 127.0.0.1), e.g. one of a test's own
                        network namespace
  --greeting MODE       sent on every new connection:
                          lines       a few short lines ending in an empty line (default)
                          none        nothing
                          big         a greeting of more than 4096 bytes (10000)
                          delayed:MS  the "lines" greeting, MS milliseconds after the connect
  --reply MODE          answer to every block received:
                          ack         "ACK\n\n" (default)
                          none        no answer
                          byte        a single byte "A"
                          delayed:MS  "ACK\n\n" after MS milliseconds
                          reset       "AC" (half a reply), then the connection is reset (RST)
                          close       "AC" (half a reply), then an orderly close (FIN)
                          dribble:MS  "ACK\n\n" one byte at a time, MS milliseconds apart (the first
                                      at once); the last byte's "sent" line says what=reply, the
                                      others what=reply-part
  --stop-accepting      start with a full backlog (see stop-accepting below)
  --help                this text

commands, one per line on stdin (end of input counts as quit):
  reset                 reset every open connection (SO_LINGER 0, close: the peer sees RST); what
                        the peer sent before is read (and logged) first, as with restart and down
  close                 orderly close of every open connection (shutdown for writing, then close)
  stop-accepting        stop accepting: the listener is replaced by one with backlog 0 whose queue is
                        filled with the stand-in's own dummy connections, so a connect from elsewhere
                        hangs (SYNs are dropped). Open connections stay open.
  accept                accept again: dummies closed, normal listener on the same port
  flood:BYTES           send BYTES bytes of unasked lines to every open connection
  greeting:MODE         change the greeting mode (modes as above)
  reply:MODE            change the reply mode (modes as above)
  restart               reset every connection, close the listener and listen again on the same port
  down                  reset every connection and close the listener: connects are refused
  up                    listen again on the same port (after down)
  quit                  close everything and exit

output, one line per event (t = CLOCK_MONOTONIC seconds, 6 decimals):
  listening t=T port=N
  connected t=T conn=C peer=ADDR:PORT
  block t=T conn=C bytes=N hex=HEX          a complete block received
  sent t=T conn=C what=greeting|reply|flood bytes=N   (when the bytes have been handed to the kernel)
  closed t=T conn=C reason=peer-closed|peer-reset|reset|close|restart|down|quit|reply-reset|reply-close|error
  partial t=T conn=C bytes=N hex=HEX        bytes of an unfinished block when its connection closed
  down t=T                                   the listener is closed
  stopped-accepting t=T dummies=N
  accepting t=T
  error t=T what=TEXT                        a bad command; the stand-in goes on
)";

double Now() {
    timespec Ts{};
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return static_cast<double>(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec) / 1e9;
}

std::int64_t NowMs() {
    timespec Ts{};
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return static_cast<std::int64_t>(Ts.tv_sec) * 1000 + Ts.tv_nsec / 1000000;
}

void Log(const std::string& Event, const std::string& Rest) {
    std::printf("%s t=%.6f%s%s\n", Event.c_str(), Now(), Rest.empty() ? "" : " ", Rest.c_str());
    std::fflush(stdout);
}

std::string Hex(std::string_view Bytes) {
    static const char Digits[] = "0123456789abcdef";
    std::string Out;
    Out.reserve(Bytes.size() * 2);
    for (unsigned char C : Bytes) {
        Out += Digits[C >> 4];
        Out += Digits[C & 15];
    }
    return Out;
}

std::optional<long> ParseNumber(std::string_view Text, long Min, long Max) {
    long Value = 0;
    auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Ec != std::errc() || End != Text.data() + Text.size() || Value < Min || Value > Max)
        return std::nullopt;
    return Value;
}

enum class GreetingKind { Lines, None, Big, Delayed };
enum class ReplyKind { Ack, None, Byte, Delayed, Reset, Close, Dribble };

struct Greeting {
    GreetingKind Kind = GreetingKind::Lines;
    long DelayMs = 0;
};
struct Reply {
    ReplyKind Kind = ReplyKind::Ack;
    long DelayMs = 0;
};

std::optional<Greeting> ParseGreeting(std::string_view Text) {
    if (Text == "lines")
        return Greeting{GreetingKind::Lines, 0};
    if (Text == "none")
        return Greeting{GreetingKind::None, 0};
    if (Text == "big")
        return Greeting{GreetingKind::Big, 0};
    if (Text.starts_with("delayed:"))
        if (auto Ms = ParseNumber(Text.substr(8), 0, 3600000))
            return Greeting{GreetingKind::Delayed, *Ms};
    return std::nullopt;
}

std::optional<Reply> ParseReply(std::string_view Text) {
    if (Text == "ack")
        return Reply{ReplyKind::Ack, 0};
    if (Text == "none")
        return Reply{ReplyKind::None, 0};
    if (Text == "byte")
        return Reply{ReplyKind::Byte, 0};
    if (Text == "reset")
        return Reply{ReplyKind::Reset, 0};
    if (Text == "close")
        return Reply{ReplyKind::Close, 0};
    if (Text.starts_with("delayed:"))
        if (auto Ms = ParseNumber(Text.substr(8), 0, 3600000))
            return Reply{ReplyKind::Delayed, *Ms};
    if (Text.starts_with("dribble:"))
        if (auto Ms = ParseNumber(Text.substr(8), 0, 3600000))
            return Reply{ReplyKind::Dribble, *Ms};
    return std::nullopt;
}

const std::string LinesGreeting = "UNIT STAND-IN 1.0\nModel: tavo-unit-sim\n\n";
const std::string AckReply = "ACK\n\n";

std::string BigGreeting() {
    std::string Text = "UNIT STAND-IN 1.0\n";
    while (Text.size() < 10000 - 2)
        Text += "Parameter: 0123456789abcdefghijklmnopqrstuvwxyz0123456789\n";
    Text.resize(10000 - 2);
    Text += "\n\n";
    return Text;
}

std::string FloodText(long Bytes) {
    std::string Text;
    Text.reserve(static_cast<std::size_t>(Bytes));
    const std::string Line = "NOTIFY: unasked data 0123456789abcdefghijklmnopqrstuvwxyz0123\n";
    while (Text.size() + Line.size() <= static_cast<std::size_t>(Bytes))
        Text += Line;
    Text.append(static_cast<std::size_t>(Bytes) - Text.size(), '\n');
    return Text;
}

// What is still to be sent, tagged so that the "sent" line names it when the last byte has gone.
struct Outgoing {
    std::string Bytes;
    std::string What;
};

enum class AfterSend { Nothing, Reset, Close };

struct Connection {
    int Fd = -1;
    int Id = 0;
    std::string In;
    std::vector<Outgoing> Out;
    std::size_t OutOffset = 0;
    AfterSend Then = AfterSend::Nothing;
};

struct Pending {
    std::int64_t DueMs = 0;
    int ConnId = 0;
    std::string Bytes;
    std::string What;
    AfterSend Then = AfterSend::Nothing;
};

class UnitSim {
  public:
    UnitSim(in_addr Bind, std::uint16_t Port, Greeting G, Reply R)
        : Bind(Bind), Port(Port), GreetingMode(G), ReplyMode(R) {}

    bool Listen(int Backlog) {
        Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (Listener < 0)
            return Fail("socket");
        int One = 1;
        setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(Port);
        Address.sin_addr = Bind;
        if (bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
            return Fail("bind to port " + std::to_string(Port));
        if (listen(Listener, Backlog) != 0)
            return Fail("listen");
        socklen_t Length = sizeof Address;
        getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length);
        Port = ntohs(Address.sin_port);
        return true;
    }

    bool Start(bool StopAccepting) {
        if (!Listen(SOMAXCONN))
            return false;
        Log("listening", "port=" + std::to_string(Port));
        if (StopAccepting)
            return StopAcceptingNow();
        return true;
    }

    int Run() {
        std::vector<pollfd> Fds;
        while (!Quit) {
            Fds.clear();
            Fds.push_back({StdinOpen ? 0 : -1, POLLIN, 0});
            Fds.push_back({Accepting ? Listener : -1, POLLIN, 0});
            for (auto& [Id, Conn] : Connections)
                Fds.push_back({Conn.Fd, static_cast<short>(POLLIN | (Conn.Out.empty() ? 0 : POLLOUT)), 0});
            int Timeout = -1;
            if (!Timers.empty()) {
                std::int64_t Soonest = Timers.front().DueMs;
                for (auto& P : Timers)
                    Soonest = std::min(Soonest, P.DueMs);
                Timeout = static_cast<int>(std::max<std::int64_t>(0, Soonest - NowMs()));
            }
            if (poll(Fds.data(), Fds.size(), Timeout) < 0) {
                if (errno == EINTR)
                    continue;
                Fail("poll");
                return 1;
            }
            RunTimers();
            if (Fds[0].revents)
                ReadStdin();
            if (Fds[1].revents && Accepting)
                AcceptAll();
            // Connections may close while being served: collect the ids first.
            std::vector<std::pair<int, short>> Ready;
            for (std::size_t I = 2; I < Fds.size(); ++I)
                if (Fds[I].revents)
                    for (auto& [Id, Conn] : Connections)
                        if (Conn.Fd == Fds[I].fd)
                            Ready.emplace_back(Id, Fds[I].revents);
            for (auto [Id, Events] : Ready) {
                if (Events & POLLOUT)
                    Flush(Id);
                if (Connections.count(Id) && (Events & (POLLIN | POLLHUP | POLLERR)))
                    ReadFrom(Id);
            }
        }
        CloseAll("quit", false);
        return 0;
    }

  private:
    bool Fail(const std::string& What) {
        std::fprintf(stderr, "tavo-unit-sim: %s failed: %s\n", What.c_str(), std::strerror(errno));
        return false;
    }

    void AcceptAll() {
        while (true) {
            sockaddr_in Peer{};
            socklen_t Length = sizeof Peer;
            int Fd =
                accept4(Listener, reinterpret_cast<sockaddr*>(&Peer), &Length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (Fd < 0)
                return;
            int One = 1;
            setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
            Connection Conn;
            Conn.Fd = Fd;
            Conn.Id = ++LastId;
            char Text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &Peer.sin_addr, Text, sizeof Text);
            Log("connected", "conn=" + std::to_string(Conn.Id) + " peer=" + Text + ":" +
                                 std::to_string(ntohs(Peer.sin_port)));
            int Id = Conn.Id;
            Connections.emplace(Id, std::move(Conn));
            switch (GreetingMode.Kind) {
            case GreetingKind::Lines:
                Queue(Id, LinesGreeting, "greeting");
                break;
            case GreetingKind::Big:
                Queue(Id, BigGreeting(), "greeting");
                break;
            case GreetingKind::Delayed:
                Timers.push_back(
                    {NowMs() + GreetingMode.DelayMs, Id, LinesGreeting, "greeting", AfterSend::Nothing});
                break;
            case GreetingKind::None:
                break;
            }
        }
    }

    void Queue(int Id, std::string Bytes, const std::string& What, AfterSend Then = AfterSend::Nothing) {
        auto It = Connections.find(Id);
        if (It == Connections.end())
            return;
        It->second.Out.push_back({std::move(Bytes), What});
        if (Then != AfterSend::Nothing)
            It->second.Then = Then;
        Flush(Id);
    }

    void Flush(int Id) {
        auto It = Connections.find(Id);
        if (It == Connections.end())
            return;
        Connection& Conn = It->second;
        while (!Conn.Out.empty()) {
            Outgoing& Front = Conn.Out.front();
            ssize_t Sent = send(Conn.Fd, Front.Bytes.data() + Conn.OutOffset,
                                Front.Bytes.size() - Conn.OutOffset, MSG_NOSIGNAL);
            if (Sent < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                Close(Id, errno == ECONNRESET || errno == EPIPE ? "peer-reset" : "error", false);
                return;
            }
            Conn.OutOffset += static_cast<std::size_t>(Sent);
            if (Conn.OutOffset < Front.Bytes.size())
                return;
            Log("sent", "conn=" + std::to_string(Id) + " what=" + Front.What +
                            " bytes=" + std::to_string(Front.Bytes.size()));
            Conn.Out.erase(Conn.Out.begin());
            Conn.OutOffset = 0;
        }
        if (Conn.Then == AfterSend::Reset)
            Close(Id, "reply-reset", true);
        else if (Conn.Then == AfterSend::Close)
            Close(Id, "reply-close", false);
    }

    void ReadFrom(int Id) {
        Connection& Conn = Connections.at(Id);
        char Buffer[65536];
        while (true) {
            ssize_t Count = recv(Conn.Fd, Buffer, sizeof Buffer, 0);
            if (Count > 0) {
                Conn.In.append(Buffer, static_cast<std::size_t>(Count));
                continue;
            }
            if (Count == 0) {
                TakeBlocks(Id);
                if (Connections.count(Id))
                    Close(Id, "peer-closed", false);
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            TakeBlocks(Id);
            if (Connections.count(Id))
                Close(Id, errno == ECONNRESET ? "peer-reset" : "error", false);
            return;
        }
        TakeBlocks(Id);
    }

    void TakeBlocks(int Id) {
        while (Connections.count(Id)) {
            Connection& Conn = Connections.at(Id);
            std::size_t End = Conn.In.find("\n\n");
            if (End == std::string::npos)
                return;
            std::string Block = Conn.In.substr(0, End + 2);
            Conn.In.erase(0, End + 2);
            Log("block", "conn=" + std::to_string(Id) + " bytes=" + std::to_string(Block.size()) +
                             " hex=" + Hex(Block));
            Answer(Id);
        }
    }

    void Answer(int Id) {
        switch (ReplyMode.Kind) {
        case ReplyKind::Ack:
            Queue(Id, AckReply, "reply");
            break;
        case ReplyKind::None:
            break;
        case ReplyKind::Byte:
            Queue(Id, "A", "reply");
            break;
        case ReplyKind::Delayed:
            Timers.push_back({NowMs() + ReplyMode.DelayMs, Id, AckReply, "reply", AfterSend::Nothing});
            break;
        case ReplyKind::Reset:
            Queue(Id, "AC", "reply", AfterSend::Reset);
            break;
        case ReplyKind::Close:
            Queue(Id, "AC", "reply", AfterSend::Close);
            break;
        case ReplyKind::Dribble:
            // Timers of one due time run in the order queued, so the bytes go out in order.
            for (std::size_t I = 0; I < AckReply.size(); ++I)
                Timers.push_back({NowMs() + static_cast<std::int64_t>(I) * ReplyMode.DelayMs, Id,
                                  AckReply.substr(I, 1), I + 1 == AckReply.size() ? "reply" : "reply-part",
                                  AfterSend::Nothing});
            break;
        }
    }

    void RunTimers() {
        std::int64_t Now = NowMs();
        std::vector<Pending> Due;
        for (auto It = Timers.begin(); It != Timers.end();) {
            if (It->DueMs <= Now) {
                Due.push_back(std::move(*It));
                It = Timers.erase(It);
            } else {
                ++It;
            }
        }
        for (auto& P : Due)
            Queue(P.ConnId, std::move(P.Bytes), P.What, P.Then);
    }

    void Close(int Id, const std::string& Reason, bool Abort) {
        auto It = Connections.find(Id);
        if (It == Connections.end())
            return;
        Connection& Conn = It->second;
        if (!Conn.In.empty())
            Log("partial", "conn=" + std::to_string(Id) + " bytes=" + std::to_string(Conn.In.size()) +
                               " hex=" + Hex(Conn.In));
        if (Abort) {
            linger Linger{1, 0};
            setsockopt(Conn.Fd, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
        } else {
            shutdown(Conn.Fd, SHUT_WR);
        }
        close(Conn.Fd);
        Connections.erase(It);
        Log("closed", "conn=" + std::to_string(Id) + " reason=" + Reason);
    }

    // What a peer sent before a reset is taken first, so a block already handed to the kernel is logged.
    void ReadAll() {
        std::vector<int> Ids;
        for (auto& [Id, Conn] : Connections)
            Ids.push_back(Id);
        for (int Id : Ids)
            if (Connections.count(Id))
                ReadFrom(Id);
    }

    void CloseAll(const std::string& Reason, bool Abort) {
        std::vector<int> Ids;
        for (auto& [Id, Conn] : Connections)
            Ids.push_back(Id);
        for (int Id : Ids)
            Close(Id, Reason, Abort);
        std::erase_if(Timers, [](const Pending&) { return true; });
    }

    void CloseListener() {
        if (Listener >= 0)
            close(Listener);
        Listener = -1;
        for (int Fd : Dummies)
            close(Fd);
        Dummies.clear();
    }

    // A listener with backlog 0 takes one connection into its queue; every later SYN is dropped, so a
    // connect from elsewhere hangs in SYN_SENT. The queue is filled with our own connections.
    bool StopAcceptingNow() {
        CloseListener();
        if (!Listen(0))
            return false;
        Accepting = false;
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(Port);
        Address.sin_addr = Bind;
        for (int I = 0; I < 3; ++I) {
            int Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (Fd < 0)
                return Fail("socket");
            connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
            Dummies.push_back(Fd);
        }
        Log("stopped-accepting", "dummies=" + std::to_string(Dummies.size()));
        return true;
    }

    bool AcceptAgain() {
        CloseListener();
        if (!Listen(SOMAXCONN))
            return false;
        Accepting = true;
        Log("accepting", "");
        return true;
    }

    void ReadStdin() {
        char Buffer[4096];
        ssize_t Count = read(0, Buffer, sizeof Buffer);
        if (Count <= 0) {
            if (Count < 0 && errno == EINTR)
                return;
            StdinOpen = false;
            Quit = true;
            return;
        }
        StdinText.append(Buffer, static_cast<std::size_t>(Count));
        std::size_t End;
        while ((End = StdinText.find('\n')) != std::string::npos) {
            std::string Line = StdinText.substr(0, End);
            StdinText.erase(0, End + 1);
            while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
                Line.pop_back();
            if (!Line.empty())
                Command(Line);
        }
    }

    void Command(const std::string& Line) {
        std::string_view L = Line;
        if (L == "reset") {
            ReadAll();
            CloseAll("reset", true);
        } else if (L == "close") {
            CloseAll("close", false);
        } else if (L == "stop-accepting") {
            if (!StopAcceptingNow())
                Quit = true;
        } else if (L == "accept") {
            if (!AcceptAgain())
                Quit = true;
        } else if (L.starts_with("flood:")) {
            auto Bytes = ParseNumber(L.substr(6), 1, 1L << 30);
            if (!Bytes) {
                Log("error", "what=flood-needs-a-byte-count-1..2^30:" + Line);
                return;
            }
            std::string Text = FloodText(*Bytes);
            std::vector<int> Ids;
            for (auto& [Id, Conn] : Connections)
                Ids.push_back(Id);
            for (int Id : Ids)
                Queue(Id, Text, "flood");
        } else if (L.starts_with("greeting:")) {
            if (auto G = ParseGreeting(L.substr(9)))
                GreetingMode = *G;
            else
                Log("error", "what=unknown-greeting-mode:" + Line);
        } else if (L.starts_with("reply:")) {
            if (auto R = ParseReply(L.substr(6)))
                ReplyMode = *R;
            else
                Log("error", "what=unknown-reply-mode:" + Line);
        } else if (L == "restart" || L == "up") {
            if (L == "restart") {
                ReadAll();
                CloseAll("restart", true);
            }
            CloseListener();
            if (!Listen(SOMAXCONN)) {
                Quit = true;
                return;
            }
            Accepting = true;
            Log("listening", "port=" + std::to_string(Port));
        } else if (L == "down") {
            ReadAll();
            CloseAll("down", true);
            CloseListener();
            Accepting = false;
            Log("down", "");
        } else if (L == "quit") {
            Quit = true;
        } else {
            Log("error", "what=unknown-command:" + Line);
        }
    }

    in_addr Bind;
    std::uint16_t Port;
    Greeting GreetingMode;
    Reply ReplyMode;
    int Listener = -1;
    bool Accepting = true;
    bool StdinOpen = true;
    bool Quit = false;
    int LastId = 0;
    std::string StdinText;
    std::map<int, Connection> Connections;
    std::vector<Pending> Timers;
    std::vector<int> Dummies;
};

int BadUsage(const std::string& What) {
    std::fprintf(stderr, "tavo-unit-sim: %s (see --help)\n", What.c_str());
    return 2;
}

} // namespace

int main(int Argc, char** Argv) {
    std::optional<long> Port;
    in_addr Bind{htonl(INADDR_LOOPBACK)};
    Greeting G;
    Reply R;
    bool StopAccepting = false;
    for (int I = 1; I < Argc; ++I) {
        std::string_view Arg = Argv[I];
        auto Value = [&]() -> std::optional<std::string_view> {
            if (I + 1 >= Argc)
                return std::nullopt;
            return std::string_view(Argv[++I]);
        };
        if (Arg == "--help" || Arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (Arg == "--port") {
            auto V = Value();
            if (!V || !(Port = ParseNumber(*V, 0, 65535)))
                return BadUsage("--port needs a number 0..65535");
        } else if (Arg == "--bind") {
            auto V = Value();
            if (!V || inet_pton(AF_INET, std::string(*V).c_str(), &Bind) != 1)
                return BadUsage("--bind needs an IPv4 address");
        } else if (Arg == "--greeting") {
            auto V = Value();
            auto Parsed = V ? ParseGreeting(*V) : std::nullopt;
            if (!Parsed)
                return BadUsage("--greeting needs lines, none, big or delayed:MS");
            G = *Parsed;
        } else if (Arg == "--reply") {
            auto V = Value();
            auto Parsed = V ? ParseReply(*V) : std::nullopt;
            if (!Parsed)
                return BadUsage("--reply needs ack, none, byte, delayed:MS, reset, close or dribble:MS");
            R = *Parsed;
        } else if (Arg == "--stop-accepting") {
            StopAccepting = true;
        } else {
            return BadUsage("unknown argument '" + std::string(Arg) + "'");
        }
    }
    if (!Port)
        return BadUsage("--port is required");
    signal(SIGPIPE, SIG_IGN);
    UnitSim Sim(Bind, static_cast<std::uint16_t>(*Port), G, R);
    if (!Sim.Start(StopAccepting))
        return 1;
    return Sim.Run();
}
