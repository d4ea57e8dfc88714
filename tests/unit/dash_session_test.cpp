// Whole sessions of the dashboard client against a small fake server on
// 127.0.0.1: the handshake, the acknowledgements, the reliable commands,
// the output formats and the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/dashnet.h"
#include "tools/dash/dash_client.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Sized once and filled in place: an insert that grows a four-byte vector
// draws a false -Warray-bounds from g++ 12 at -O2.
Bytes Oob(const std::string& text) {
    Bytes b(4 + text.size(), 0xFF);
    std::copy(text.begin(), text.end(), b.begin() + 4);
    return b;
}

void PutLong(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetLong(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Basic block for device type 0 (gear 3, speed 208, rpm 1500, ...), and a
// session block carrying lap 156 of 554.
const Bytes basic_dev0 = {0x0B, 0x00, 0x12, 0x08, 0x0C, 0x03, 0x00, 0x0E, 0x00, 0x00, 0x50,
                          0x43, 0x0F, 0x00, 0x00, 0x00, 0x3F, 0x0D, 0xDC, 0x05, 0x10, 0x00,
                          0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x0A};
const Bytes session_dev0 = {0x1E, 0x07, 0x00, 0x15, 0x04, 0x16, 0xBB, 0x42, 0x16, 0x87, 0x06,
                            0x2D, 0x44, 0x17, 0x2A, 0x02, 0x18, 0x9C, 0x00, 0x19, 0x33, 0xB3,
                            0x23, 0x43, 0x1A, 0x00, 0x00, 0x9C, 0x42, 0x1B, 0x00, 0xC0, 0x04,
                            0x44, 0x1C, 0x0E, 0x1D, 0x30, 0x1F, 0x9A, 0x19, 0x5F, 0x43, 0x14};

// One packet the fake server received from the client.
struct ClientPacket {
    uint32_t seq;
    bool reliable;
    uint32_t ack;
    int toggle;
    uint16_t qport;
    Bytes commands;
};

// The fake server: one socket on a free port, and the client's address
// taken from the first datagram.
struct Fake {
    int sock = -1;
    DashAddr self{{127, 0, 0, 1}, 0};
    DashAddr client{};

    bool Open() {
        sock = DashNet_Open(0);
        self.port = DashNet_LocalPort(sock);
        return sock >= 0 && self.port != 0;
    }
    ~Fake() { DashNet_Close(sock); }

    // The next datagram within `ms`; empty on a timeout.
    bool Receive(Bytes& out, int ms) {
        uint8_t buf[2048];
        DashAddr from{};
        int n = DashNet_Receive(sock, buf, sizeof buf, from, ms);
        if (n < 0) return false;
        client = from;
        out.assign(buf, buf + n);
        return true;
    }
    void Send(const Bytes& b) { DashNet_Send(sock, client, b.data(), static_cast<int>(b.size())); }
};

bool IsOob(const Bytes& b) { return b.size() >= 4 && GetLong(b, 0) == 0xFFFFFFFFu; }

std::string OobText(const Bytes& b) { return std::string(b.begin() + 4, b.end()); }

bool ParseClientPacket(const Bytes& b, ClientPacket& p) {
    if (b.size() < 10 || IsOob(b)) return false;
    uint32_t s = GetLong(b, 0), a = GetLong(b, 4);
    p.seq = s & 0x7FFFFFFF;
    p.reliable = (s >> 31) != 0;
    p.ack = a & 0x7FFFFFFF;
    p.toggle = static_cast<int>(a >> 31);
    p.qport = static_cast<uint16_t>(b[8] | b[9] << 8);
    p.commands.assign(b.begin() + 10, b.end());
    return true;
}

// The command stream of one packet: text commands collected, true once the
// disconnect byte is read.
bool ReadCommands(const Bytes& c, std::vector<std::string>& texts) {
    size_t i = 0;
    while (i < c.size()) {
        uint8_t cmd = c[i++];
        if (cmd == 1) continue;
        if (cmd == 2) return true;
        if (cmd != 4) break;
        std::string t;
        while (i < c.size() && c[i] != 0) t += static_cast<char>(c[i++]);
        i++;
        texts.push_back(t);
    }
    return false;
}

// Runs the client with these options while `server` plays its part.
struct RunResult {
    int code;
    std::string out, err;
    double seconds;
};

std::string ReadAll(FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

template <typename Server>
RunResult RunClient(std::vector<std::string> args, uint16_t port, Server server, int silence_ms = 0,
                    bool ansi = false) {
    args.insert(args.begin(), {"tarmis_dash", "--port", std::to_string(port)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    DashOptions opt;
    Dash_DefaultOptions(opt);
    Dash_Reset();
    if (silence_ms > 0) dash_silence_ms = silence_ms;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    EXPECT_EQ(Dash_ParseOptions(static_cast<int>(argv.size()), argv.data(), opt, out, err), -1);
    opt.ansi = ansi;
    std::thread t(server);
    auto start = Clock::now();
    int code = Dash_Run(opt, out, err);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    t.join();
    return RunResult{code, ReadAll(out), ReadAll(err), seconds};
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    size_t at = 0, nl;
    while ((nl = s.find('\n', at)) != std::string::npos) {
        v.push_back(s.substr(at, nl - at));
        at = nl + 1;
    }
    return v;
}

// The server's side of a handshake, whatever the client sent before it
// (packets of an earlier connection are passed over): a challenge, then the
// acceptance. Keeps the connect text.
bool AcceptClient(Fake& fake, std::string& connect_text) {
    Bytes in;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (!fake.Receive(in, 200)) continue;
        if (IsOob(in) && OobText(in) == "getchallenge\n") break;
    }
    if (Clock::now() >= deadline) return false;
    fake.Send(Oob("c5"));
    if (!fake.Receive(in, 3000) || !IsOob(in)) return false;
    connect_text = OobText(in);
    fake.Send(Oob("j"));
    return true;
}

// A sequenced packet from the server.
Bytes ServerPacket(uint32_t seq, uint32_t ack, int toggle, const Bytes& body) {
    Bytes p;
    PutLong(p, seq);
    PutLong(p, ack | (toggle ? 0x80000000u : 0u));
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

}  // namespace

TEST(DashSession, ConnectsAcknowledgesResendsLostCommandsAndDisconnects) {
    Fake fake;
    ASSERT_TRUE(fake.Open());
    std::string challenge_request, connect_request;
    std::vector<std::string> texts;
    std::atomic<bool> got_disconnect{false};
    uint32_t disconnect_ack = 0;

    auto server = [&] {
        Bytes in;
        if (!fake.Receive(in, 3000) || !IsOob(in)) return;
        challenge_request = OobText(in);
        fake.Send(Oob("c12345"));
        if (!fake.Receive(in, 3000) || !IsOob(in)) return;
        connect_request = OobText(in);
        fake.Send(Oob("j"));

        // The server's side of the channel, just enough to acknowledge.
        uint32_t incoming = 0, seq = 0;
        int toggle = 0;
        bool dropped_one = false;
        auto deadline = Clock::now() + std::chrono::seconds(5);
        auto next_update = Clock::now();
        while (!got_disconnect && Clock::now() < deadline) {
            if (Clock::now() >= next_update) {
                Bytes body = basic_dev0;
                if (++seq == 1) body.insert(body.end(), session_dev0.begin(), session_dev0.end());
                fake.Send(ServerPacket(seq, incoming, toggle, body));
                next_update += std::chrono::milliseconds(20);
            }
            ClientPacket cp;
            if (!fake.Receive(in, 5) || !ParseClientPacket(in, cp)) continue;
            // The first packet with the reliable commands is lost on the way.
            if (cp.reliable && !dropped_one) {
                dropped_one = true;
                continue;
            }
            if (cp.seq <= incoming) continue;
            incoming = cp.seq;
            if (cp.reliable) toggle ^= 1;
            if (ReadCommands(cp.commands, texts)) {
                got_disconnect = true;
                disconnect_ack = cp.ack;
            }
        }
    };
    RunResult r = RunClient({"--json", "--count", "8", "--name", "tester", "--qport", "4660",
                             "--command", "key 13", "--command", "key 27", "--duration", "5"},
                            fake.self.port, server);

    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(challenge_request, "getchallenge\n");
    EXPECT_EQ(connect_request, "connect 1 4660 12345 \"tester\" 0\n");
    // Both commands went in one reliable message whose first copy was lost:
    // each arrived once, in order, acknowledged when the second copy came.
    EXPECT_EQ(texts, (std::vector<std::string>{"key 13", "key 27"}));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, std::regex("command \"key 13\" acknowledged by the server after (\\d+) ms\n"
                                                      "command \"key 27\" acknowledged by the server after (\\d+) ms\n")))
        << r.err;
    EXPECT_EQ(m[1].str(), m[2].str());
    EXPECT_GE(std::stoi(m[1].str()), 15);   // the resend waits for an update at least
    EXPECT_TRUE(got_disconnect);
    EXPECT_GE(disconnect_ack, 8u);          // the disconnect acknowledges the eighth update

    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;
    EXPECT_EQ(lines[0].rfind("{\"seq\":1,\"t_ms\":", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\"gear\":3,\"speed\":208,\"shift_indicator_pct\":0.5,\"rpm\":1500"), std::string::npos);
    EXPECT_NE(lines[0].find("\"car_id\":7,\"fastest_time\":93.543,\"last_time\":692.102,"
                            "\"session_laps\":554,\"lap\":156"),
              std::string::npos);
    EXPECT_EQ(lines[7].rfind("{\"seq\":8,", 0), 0u) << lines[7];
    EXPECT_EQ(lines[7].find("\"lap\":"), std::string::npos);   // the session block came once
    EXPECT_EQ(lines[8].rfind("{\"stats\":{\"updates\":8,\"rate_hz\":", 0), 0u) << lines[8];
    EXPECT_NE(lines[8].find(",\"lost\":0,\"duplicated\":0,\"out_of_order\":0,\"session_blocks\":1,"
                            "\"reconnects\":0}}"),
              std::string::npos)
        << lines[8];
}

TEST(DashSession, EveryHandshakeFailureHasItsMessageAndExitCode) {
    {
        // Nobody answers.
        Fake fake;
        ASSERT_TRUE(fake.Open());
        int requests = 0;
        auto server = [&] {
            Bytes in;
            while (fake.Receive(in, 700)) requests++;
        };
        // Given by name: the report shows the name and the address found.
        RunResult r = RunClient({"--timeout", "900", "--host", "localhost"}, fake.self.port, server);
        std::string port = std::to_string(fake.self.port);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err.rfind("no reply from localhost:" + port + " (127.0.0.1)\n"
                              "Nothing answered within 0.9 s. Check that:\n", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("firewall on the server's PC lets UDP port " + port + " in"), std::string::npos);
        EXPECT_EQ(requests, 2);   // repeated after 500 ms, within the 900
    }
    struct Case {
        std::string reply_to_connect;   // "" for none
        int code;
        std::string err;
    };
    const Case cases[] = {
        {"n\nBad challenge.\n", 3, "refused by 127.0.0.1:%P: Bad challenge.\n"},
        {"n\nServer is full\n\n", 3, "refused by 127.0.0.1:%P: Server is full\n"},
        {"o\n", 3, "refused by 127.0.0.1:%P: protocol version 1 not accepted\n"},
        {"", 2,
         "no reply from 127.0.0.1:%P\n(the challenge came but the connect got no answer; a client "
         "with qport 99 may still be connected)\n"},
    };
    for (const Case& c : cases) {
        Fake fake;
        ASSERT_TRUE(fake.Open());
        std::string connect_request;
        auto server = [&] {
            Bytes in;
            if (!fake.Receive(in, 3000)) return;
            fake.Send(Oob("c7"));
            if (!fake.Receive(in, 3000)) return;
            connect_request = OobText(in);
            if (!c.reply_to_connect.empty()) fake.Send(Oob(c.reply_to_connect));
            while (fake.Receive(in, 250)) {
            }
        };
        RunResult r = RunClient({"--timeout", "500", "--qport", "99", "--device", "2", "--name", "a b"},
                                fake.self.port, server);
        std::string err = c.err;
        err.replace(err.find("%P"), 2, std::to_string(fake.self.port));
        EXPECT_EQ(r.code, c.code) << c.reply_to_connect;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(connect_request, "connect 1 99 7 \"a b\" 2\n");
    }
}

TEST(DashSession, KeepsTryingAGoneServerUntilTheDurationEnds) {
    Fake fake;
    ASSERT_TRUE(fake.Open());
    int challenges_after = 0;
    auto server = [&] {
        std::string connect;
        if (!AcceptClient(fake, connect)) return;
        Bytes in;
        fake.Send(ServerPacket(1, 0, 0, basic_dev0));
        fake.Send(ServerPacket(2, 0, 0, basic_dev0));
        // Gone: nothing is answered any more; count the attempts.
        auto deadline = Clock::now() + std::chrono::milliseconds(2500);
        while (Clock::now() < deadline)
            if (fake.Receive(in, 100) && IsOob(in) && OobText(in) == "getchallenge\n") challenges_after++;
    };
    RunResult r = RunClient({"--json", "--duration", "1.8", "--timeout", "400"}, fake.self.port, server, 300);
    std::string who = "127.0.0.1:" + std::to_string(fake.self.port);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "connection lost: no packet from " + who + " for 0.3 s; connecting again\n"
                     "connection lost: " + who + " did not answer again\n");
    // Attempts of 400 ms with a second's pause between them, ended by the
    // duration: two, each asking again (500 ms resend) at most once more.
    EXPECT_GE(challenges_after, 2);
    EXPECT_LE(challenges_after, 4);
    EXPECT_LT(r.seconds, 2.5);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[2].find("\"reconnects\":0}}"), std::string::npos) << lines[2];
}

TEST(DashSession, LiveViewSaysWhenTheStreamStallsAndDimsTheOldValues) {
    Fake fake;
    ASSERT_TRUE(fake.Open());
    auto server = [&] {
        std::string connect;
        if (!AcceptClient(fake, connect)) return;
        Bytes in;
        for (uint32_t seq = 1; seq <= 20; seq++) {
            fake.Send(ServerPacket(seq, 0, 0, seq == 1 ? Bytes(session_dev0) : basic_dev0));
            // 20 ms apart, with a 700 ms stall after the tenth.
            auto next = Clock::now() + std::chrono::milliseconds(seq == 10 ? 700 : 20);
            while (Clock::now() < next) fake.Receive(in, 5);
        }
        while (fake.Receive(in, 300)) {
        }
    };
    RunResult r = RunClient({"--count", "20"}, fake.self.port, server, 0, true);
    EXPECT_EQ(r.code, 0) << r.err;
    // Drawn in place: every drawing after the first goes back ten lines.
    EXPECT_NE(r.out.find("\x1b[10A\r"), std::string::npos);
    // Every drawing in the stall shows the tenth update, its age growing,
    // and the values dimmed under it.
    std::regex stale("update (\\d+)  seq \\d+  no update for ([0-9.]+) s \\(values below are the last received\\)"
                     "\x1b\\[K\n\x1b\\[2mGear");
    int stalls = 0;
    double longest = 0.0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), stale); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ((*it)[1].str(), "10");
        longest = std::max(longest, std::stod((*it)[2].str()));
        stalls++;
    }
    EXPECT_GE(stalls, 3) << r.out;   // drawn on while it lasts, as its time grows
    EXPECT_GE(longest, 0.3);
    EXPECT_LE(longest, 0.8);
    // Three 20-ms intervals without an update are not yet a stall worth
    // telling (the view's 100 ms floor), so only the stall itself shows.
    EXPECT_EQ(r.out.find("no update for"), r.out.find("update 10  seq 10  no update for") + 19);
    // Back to live with the last update.
    size_t last = r.out.rfind("tarmis_dash  ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(r.out.find("update 20  seq 20  live\x1b[K\nGear", last), std::string::npos) << r.out.substr(last);
}

TEST(DashOptions, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},           {"--port"},          {"--port", "0"},       {"--port", "65536"},
        {"--host", "1.2.3"},   {"--host", "no-such-host.invalid"}, {"--host", "1.2.3.256"}, {"--qport", "70000"}, {"--count", "0"},
        {"--duration", "-1"},  {"--duration", "x"},  {"--timeout", "0"},    {"--name", "a\"b"},
        {"--name", std::string(80, 'n')},           {"--command", std::string(105, 'k')},
        {"--disconnects", "0"}, {"--disconnects", "11"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> all = {"tarmis_dash"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        DashOptions opt;
        Dash_DefaultOptions(opt);
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        EXPECT_EQ(Dash_ParseOptions(static_cast<int>(argv.size()), argv.data(), opt, out, err), 1)
            << args[0];
        std::string e = ReadAll(err);
        EXPECT_NE(e.find("usage: tarmis_dash"), std::string::npos);
        EXPECT_EQ(ReadAll(out), "");
    }

    std::vector<std::string> all = {"tarmis_dash", "--host", "10.0.0.7", "--duration", "2.5",
                                    "--command", std::string(104, 'k')};
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    DashOptions opt;
    Dash_DefaultOptions(opt);
    FILE* out = std::tmpfile();
    EXPECT_EQ(Dash_ParseOptions(static_cast<int>(argv.size()), argv.data(), opt, out, out), -1);
    std::fclose(out);
    EXPECT_EQ(opt.server.ip[3], 7);
    EXPECT_EQ(opt.server.port, 2047);
    EXPECT_EQ(opt.duration_s, 2.5);
    EXPECT_EQ(opt.num_commands, 1);
}

TEST(DashSession, KeepsTryingAMissingServerAndTellsTheFailureOnceAndEachChange) {
    // Nobody answers the first three attempts, then every one is refused:
    // the full report comes once, later attempts tell only the change.
    Fake fake;
    ASSERT_TRUE(fake.Open());
    std::vector<char*> argv;
    std::string args[] = {"tarmis_dash", "--port", std::to_string(fake.self.port), "--timeout", "200"};
    for (auto& a : args) argv.push_back(a.data());
    DashOptions opt;
    Dash_DefaultOptions(opt);
    Dash_Reset();
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ASSERT_EQ(Dash_ParseOptions(static_cast<int>(argv.size()), argv.data(), opt, out, err), -1);
    std::thread server([&] {
        std::set<int> sessions;   // one socket per attempt
        Bytes in;
        auto deadline = Clock::now() + std::chrono::seconds(15);
        while (sessions.size() < 6 && Clock::now() < deadline) {
            if (!fake.Receive(in, 100)) continue;
            sessions.insert(fake.client.port);
            if (sessions.size() > 3) fake.Send(Oob("n\nServer is full\n"));
        }
        dash_stop = true;
    });
    int code = Dash_RunKeepTrying(opt, out, err);
    server.join();
    std::string who = "127.0.0.1:" + std::to_string(fake.self.port);
    std::string text = ReadAll(err);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(text.find("no reply from " + who + "\nNothing answered within 0.2 s."), 0u) << text;
    EXPECT_EQ(text.substr(text.find("checks the server locally.\n") + 27),
              "tarmis_dash: trying " + who + " again every second until it answers (Ctrl-C ends)\n"
              "tarmis_dash: " + who + " refused the connection; still trying\n");
    ReadAll(out);
}
