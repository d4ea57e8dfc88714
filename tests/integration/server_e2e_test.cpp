// The dashboard server as its clients see it: the running server (test
// pattern, debug log on) against raw UDP clients and the project's own
// dashboard client. Refusals and replies of the handshake, ten slots and the
// eleventh client, disconnect and reconnect, packets from unknown clients and
// from translated ports, the update bodies and their per-client pacing.
// Every check is made on the wire, in the debug log and on the console, for
// the native build and, when available, the Windows build under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include "harness.h"
#include "udp_client.h"

namespace {

// Lets `ms` pass while the server's console output is collected.
void Pause(Proc& server, int ms) {
    const double end = Harness_NowMs() + ms;
    for (double left = ms; left > 0; left = end - Harness_NowMs())
        Harness_Poll(server, static_cast<int>(left) + 1);
}

// ---- the debug log ---------------------------------------------------------

// The messages of the server's debug log: each record's text after its
// "... - " time stamp. Continuation lines of a record are kept as they are.
std::vector<std::string> LogMessages(const Proc& server) {
    static const std::regex stamp(
        "^[A-Z][a-z]{2} \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d .*? - (.*)$");
    std::vector<std::string> out;
    for (const std::string& line : Harness_Lines(Harness_ReadFile(server.dir + "/log.txt"))) {
        std::smatch m;
        out.push_back(std::regex_match(line, m, stamp) ? m[1].str() : line);
    }
    return out;
}

int Count(const std::vector<std::string>& messages, const std::string& text) {
    return static_cast<int>(std::count(messages.begin(), messages.end(), text));
}

// Position of the first `text` at or after `from`, or -1.
int Find(const std::vector<std::string>& messages, const std::string& text, int from = 0) {
    for (size_t i = static_cast<size_t>(std::max(from, 0)); i < messages.size(); i++)
        if (messages[i] == text) return static_cast<int>(i);
    return -1;
}

// ---- a client's updates ----------------------------------------------------

struct Update {
    ServerPacket packet;
    double stamp_ms = 0;
    bool no_data = false;   // the one-byte body: nothing published yet
    bool session = false;   // the body carries the session block
};

// Everything that has arrived for `client` within `ms`, as updates. Fails
// the test on datagrams that are not updates for `device_type`: an
// unreliable packet whose body is "no data" or the basic block (31 bytes,
// 29 for device type 1), alone or with the session block (75 or 68 bytes).
std::vector<Update> Collect(UdpClient& client, int device_type, int ms, const std::string& who) {
    std::vector<Update> out;
    Datagram d;
    const double end = Harness_NowMs() + ms;
    while (client.Receive(d, static_cast<int>(std::max(0.0, end - Harness_NowMs())))) {
        Update u;
        u.stamp_ms = d.stamp_ms;
        EXPECT_FALSE(Udp_IsOob(d.bytes)) << who << ": unexpected out-of-band reply";
        if (Udp_IsOob(d.bytes) || !Udp_ParseServerPacket(d.bytes, u.packet)) continue;
        EXPECT_FALSE(u.packet.reliable) << who << " packet " << u.packet.sequence;
        const Bytes& b = u.packet.payload;
        const size_t basic = device_type == 0 ? 31 : 29, full = device_type == 0 ? 75 : 68;
        u.no_data = b.size() == 1 && b[0] == 5;
        u.session = b.size() == full;
        EXPECT_TRUE(u.no_data || b.size() == basic || u.session)
            << who << " packet " << u.packet.sequence << " of " << b.size() << " bytes";
        out.push_back(u);
    }
    return out;
}

// Updates numbered first, first + 1, ... without a gap.
void ExpectNumberedFrom(const std::vector<Update>& ups, uint32_t first, const std::string& who) {
    for (size_t i = 0; i < ups.size(); i++)
        EXPECT_EQ(ups[i].packet.sequence, first + i) << who << " update " << i;
}

// The sorted send intervals of a client's updates, from the kernel's
// receive stamps. The first is left out: the connect's pass writes its log
// records before it sends the first update, so that send can come late
// (by milliseconds under Wine) while the pacing counts from the pass's start.
std::vector<double> Intervals(const std::vector<Update>& ups) {
    std::vector<double> gaps;
    for (size_t i = 2; i < ups.size(); i++) gaps.push_back(ups[i].stamp_ms - ups[i - 1].stamp_ms);
    std::sort(gaps.begin(), gaps.end());
    return gaps;
}

class ServerE2E : public BuildRun {
protected:
    // How long the tests listen to be sure that nothing comes.
    int quiet_ms() const { return wine() ? 700 : 300; }

    // Starts the server in test mode with the debug log on a free port.
    void StartServer(Proc& server, int& port) {
        port = Harness_FreeUdpPort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server",
                                         {"-t", "-d", "-p", std::to_string(port)}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port) + "\n", wait_ms()))
            << server.out;
    }

    // Ctrl-C ends the server with exit code 0; returns its debug log.
    std::vector<std::string> StopServer(Proc& server) {
        Harness_Interrupt(server);
        EXPECT_TRUE(Harness_WaitExit(server, wine() ? 15000 : 5000)) << "Ctrl-C did not end the server";
        EXPECT_EQ(server.exit_code, 0);
        return LogMessages(server);
    }

    // The server's diagnostics stay in the log; none reaches the console.
    void ExpectNoDiagnosticsOnConsole(const Proc& server) {
        for (const char* text : {"getchallenge", "rejected connect", "dup connect", "full connect",
                                 "reconnect", "DeviceType", "removed", "disconnect",
                                 "sequenced packet", "fixing up", "timed out"})
            EXPECT_EQ(server.out.find(text), std::string::npos) << text << " on the console";
    }
};

}  // namespace

TEST_P(ServerE2E, HandshakeRefusalsTenSlotsDisconnectReconnectAndRouting) {
    Proc server;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, port));

    constexpr int CLIENTS = 11;
    std::vector<std::unique_ptr<UdpClient>> c;
    for (int i = 0; i < CLIENTS; i++) {
        c.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(101 + i)));
        ASSERT_TRUE(c.back()->Ok());
    }
    UdpClient& a = *c[0];

    // Before this host ever asked for a challenge.
    a.SendOob("connect 1 101 12345 \"early\" 0");
    EXPECT_EQ(a.OobReply(wait_ms()), "n\nNo challenge for address.\n");

    // The challenge belongs to the host: every port of it gets the same one.
    a.SendOob("getchallenge");
    const std::string reply = a.OobReply(2000);
    ASSERT_TRUE(std::regex_match(reply, std::regex("c[0-9]+"))) << reply;
    const std::string challenge = reply.substr(1);
    for (int i : {1, 5, 10}) {
        c[i]->SendOob("getchallenge");
        EXPECT_EQ(c[i]->OobReply(2000), reply) << "client " << i;
    }

    // Other protocol versions, then a wrong challenge.
    a.SendOob("connect 2 101 " + challenge + " \"dash0\" 0");
    EXPECT_EQ(a.OobReply(2000), "o\n");
    a.SendOob("connect");
    EXPECT_EQ(a.OobReply(2000), "o\n");
    a.SendOob("connect 1 101 " + std::to_string(std::stoll(challenge) ^ 1) + " \"dash0\" 0");
    EXPECT_EQ(a.OobReply(2000), "n\nBad challenge.\n");

    // Ten clients, each from its own port with its own qport, fill the slots.
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(c[i]->Join("dash" + std::to_string(i), i % 2, wait_ms()), "j") << "client " << i;

    // The same client again, by its qport and by its port: ignored, no reply.
    a.SendOob("connect 1 101 " + challenge + " \"dash0 again\" 0");
    a.SendOob("connect 1 999 " + challenge + " \"dash0 again\" 0");
    EXPECT_EQ(a.OobReply(quiet_ms()), "<none>");

    // All ten are served at once, each numbered from 1. The test pattern
    // refreshes its session values with every gear change (about every
    // 50 ms), so each dashboard, not only the first one served after a
    // refresh, gets the session block in most of its updates.
    const int window = wine() ? 1500 : 600;
    Pause(server, window);
    for (int i = 0; i < 10; i++) {
        const std::string who = "client " + std::to_string(i);
        std::vector<Update> ups = Collect(*c[i], i % 2, 1, who);
        EXPECT_GE(ups.size(), window / 51 - 3) << who;
        ExpectNumberedFrom(ups, 1, who);
        const long sessions = std::count_if(ups.begin(), ups.end(), [](const Update& u) { return u.session; });
        EXPECT_GE(sessions, static_cast<long>(ups.size()) / 2) << who;
    }

    // The eleventh is told the server is full.
    UdpClient& k = *c[10];
    EXPECT_EQ(k.Join("dash10", 0, wait_ms()), "n\nServer is full\n\n");

    // A disconnect command: the client gets nothing more, but its slot is held.
    UdpClient& b = *c[1];
    b.SendSequenced({2});
    Pause(server, 100);
    b.Drain(1);
    EXPECT_EQ(b.Drain(quiet_ms()), 0) << "updates after the disconnect";
    EXPECT_EQ(k.Join("dash10", 0, wait_ms()), "n\nServer is full\n\n");

    // The removed client comes back: the same slot, a fresh channel.
    ASSERT_EQ(b.Join("dash1", 1, wait_ms()), "j");
    std::vector<Update> back = Collect(b, 1, wine() ? 700 : 300, "client 1 after reconnect");
    EXPECT_GE(back.size(), 2u);
    ExpectNumberedFrom(back, 1, "client 1 after reconnect");

    // A sequenced packet with a qport the server does not know: dropped,
    // nothing goes back.
    k.SendSequenced({1});
    EXPECT_EQ(k.Drain(quiet_ms()), 0);

    // A client whose packets come from a new port (a router translating it):
    // the server follows it there. The client's packet number is far ahead
    // of the server's, so the server's numbering jumps to it.
    UdpClient& moving = *c[2];
    UdpClient moved(port, moving.Qport());
    ASSERT_TRUE(moved.Ok());
    moved.SetNextSequence(5000);
    moved.SendSequenced({1});
    std::vector<Update> there = Collect(moved, 0, wine() ? 700 : 300, "client 2 at its new port");
    ASSERT_GE(there.size(), 2u);
    EXPECT_EQ(there[0].packet.sequence, 5000u);
    EXPECT_EQ(there[0].packet.acknowledged, 5000u);
    ExpectNumberedFrom(there, 5000, "client 2 at its new port");
    moving.Drain(1);  // what was already under way to the old port
    EXPECT_EQ(moving.Drain(quiet_ms()), 0) << "updates still going to the old port";

    // The others were never disturbed.
    std::vector<Update> still = Collect(*c[9], 1, 1, "client 9");
    EXPECT_GE(still.size(), 5u);
    for (size_t i = 1; i < still.size(); i++)
        EXPECT_EQ(still[i].packet.sequence, still[i - 1].packet.sequence + 1);

    const std::vector<std::string> log = StopServer(server);
    ExpectNoDiagnosticsOnConsole(server);
    EXPECT_EQ(Count(log, "* rejected connect from version 2"), 1);
    EXPECT_EQ(Count(log, "* rejected connect from version 0"), 1);
    EXPECT_EQ(Count(log, "getchallenge"), 4 + 10 + 3);
    EXPECT_EQ(Count(log, "connect"), 1 + 3 + 10 + 2 + 2 + 1);
    // The challenge refusals are replies only.
    for (const std::string& m : log) EXPECT_EQ(m.find("hallenge."), std::string::npos) << m;
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(Count(log, "Client dash" + std::to_string(i) + " connected"), i == 1 ? 2 : 1) << i;
    }
    EXPECT_EQ(Count(log, "DeviceType is 0"), 5);
    EXPECT_EQ(Count(log, "DeviceType is 1"), 6);
    EXPECT_EQ(Count(log, a.AddressText() + ":dup connect"), 2);
    EXPECT_EQ(Count(log, k.AddressText() + ":full connect"), 2);
    const int disconnect = Find(log, "disconnect");
    ASSERT_GE(disconnect, 0);
    EXPECT_EQ(Find(log, "Client dash1 removed"), disconnect + 1);
    const int reconnect = Find(log, b.AddressText() + ":reconnect");
    ASSERT_GT(reconnect, disconnect);
    EXPECT_EQ(Find(log, "Client dash1 connected", reconnect), reconnect + 1);
    EXPECT_EQ(Count(log, "Client dash10 connected"), 0);
    EXPECT_EQ(Count(log, k.AddressText() + ":sequenced packet without connection"), 1);
    EXPECT_EQ(Count(log, "SV_ReadPackets: fixing up a translated port"), 1);
    EXPECT_EQ(Count(log, "disconnect"), 1);
}

TEST_P(ServerE2E, UpdatesCarryTheirBlocksAndEachClientIsPacedByItsOwnChannel) {
    Proc server;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, port));

    UdpClient a(port, 201), b(port, 202), c(port, 203);
    ASSERT_TRUE(a.Ok() && b.Ok() && c.Ok());
    std::string reply = "<none>";
    for (int i = 0; i < 20 && reply == "<none>"; i++) {
        a.SendOob("getchallenge");
        reply = a.OobReply(500);
    }
    ASSERT_EQ(reply.substr(0, 1), "c") << reply;
    const std::string challenge = reply.substr(1);

    // Two clients connect at once: one of device type 0, one of type 1.
    a.SendOob("connect 1 201 " + challenge + " full 0");
    b.SendOob("connect 1 202 " + challenge + " small 1");
    ASSERT_EQ(a.OobReply(2000), "j");
    ASSERT_EQ(b.OobReply(2000), "j");

    // A third one connects half an interval after one of the first one's
    // updates.
    std::vector<Update> ua = Collect(a, 0, 300, "full");
    Datagram fresh;
    ASSERT_TRUE(a.Receive(fresh, 2000));
    ASSERT_FALSE(Udp_IsOob(fresh.bytes));
    {
        Update u;
        u.stamp_ms = fresh.stamp_ms;
        ASSERT_TRUE(Udp_ParseServerPacket(fresh.bytes, u.packet));
        u.session = u.packet.payload.size() == 75;
        ua.push_back(u);
    }
    const double wait_until = fresh.at_ms + 25;
    while (Harness_NowMs() < wait_until) usleep(200);
    c.SendOob("connect 1 203 " + challenge + " late 0");
    Datagram accept;
    ASSERT_TRUE(c.Receive(accept, 2000));
    ASSERT_EQ(std::string(accept.bytes.begin(), accept.bytes.end()), std::string("\xFF\xFF\xFF\xFFj"));

    Pause(server, wine() ? 2500 : 1500);
    for (const Update& u : Collect(a, 0, 1, "full")) ua.push_back(u);
    const std::vector<Update> ub = Collect(b, 1, 1, "small");
    const std::vector<Update> uc = Collect(c, 0, 1, "late");
    ASSERT_GE(ua.size(), 20u);
    ASSERT_GE(ub.size(), 20u);
    ASSERT_GE(uc.size(), 20u);

    struct Stream {
        const char* who;
        int device_type;
        const std::vector<Update>* ups;
    };
    for (const Stream& s : {Stream{"full", 0, &ua}, Stream{"small", 1, &ub}, Stream{"late", 0, &uc}}) {
        const std::vector<Update>& ups = *s.ups;
        ExpectNumberedFrom(ups, 1, s.who);
        int sessions = 0, no_data = 0;
        for (size_t i = 0; i < ups.size(); i++) {
            const Update& u = ups[i];
            const std::string what = std::string(s.who) + " update " + std::to_string(i);
            EXPECT_EQ(u.packet.acknowledged, 0u) << what;
            // Before the test pattern's first step (a slow start under Wine)
            // there is nothing to show; once it runs, it never stops.
            if (u.no_data) {
                EXPECT_EQ(static_cast<size_t>(no_data), i) << what << ": no data after data";
                no_data++;
            }
            sessions += u.session;
        }
        EXPECT_LE(no_data, 2) << s.who;
        // The first client in the table is never the second one served in a
        // pass, so its updates carry the session block.
        if (std::string(s.who) == "full") {
            EXPECT_GE(sessions, static_cast<int>(ups.size()) / 2);
        }

        // More than 50 ms on the server's millisecond clock between two updates.
        const std::vector<double> gaps = Intervals(ups);
        const double median = gaps[gaps.size() / 2];
        // Single intervals jitter when the server is preempted between its
        // clock reading and its send; nothing ever goes out twice in a row.
        // Under Wine on a loaded machine the tenth shortest in a hundred was
        // seen at 47.9 ms (a send a few milliseconds late, the next on time).
        EXPECT_GE(gaps.front(), 40.0) << s.who;
        EXPECT_GE(gaps[gaps.size() / 10], wine() ? 47.0 : 50.0) << s.who;
        EXPECT_GE(median, 50.5) << s.who;
        EXPECT_LE(median, wine() ? 56.0 : 52.0) << s.who;
    }

    // The late client's first update came with its accept, half an interval
    // before the first client's next one: its pacing starts from its own
    // channel. (Two clients whose updates once fall due in the same pass
    // stay together from then on, so later phases are not judged.)
    EXPECT_LT(uc[0].stamp_ms - accept.stamp_ms, wine() ? 25.0 : 3.0);

    const std::vector<std::string> log = StopServer(server);
    ExpectNoDiagnosticsOnConsole(server);
    for (const char* m : {"Transmit frequency 50", "Client full connected", "Client small connected",
                          "Client late connected"})
        EXPECT_EQ(Count(log, m), 1) << m;
    const int small = Find(log, "Client small connected");
    ASSERT_GE(small, 0);
    EXPECT_EQ(Find(log, "DeviceType is 1"), small + 1);
}

TEST_P(ServerE2E, TheProjectsDashboardStreamsUpdatesAndLeavesWithItsDisconnect) {
    Proc server;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, port));

    // The dashboard of the same build, as a user would run it beside the server.
    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash",
                                     {"--json", "--count", "20", "--port", std::to_string(port),
                                      "--name", "phone one", "--device", "1", "--qport", "4242"},
                                     wine()));
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms())) << dash.out;
    EXPECT_EQ(dash.exit_code, 0) << dash.out << Harness_ReadFile(dash.dir + "/stderr.txt");

    // Twenty updates numbered from 1, then the figures of the run.
    const std::vector<std::string> lines = Harness_Lines(dash.out);
    ASSERT_EQ(lines.size(), 21u) << dash.out;
    for (size_t i = 0; i < 20; i++) {
        EXPECT_EQ(lines[i].rfind("{\"seq\":" + std::to_string(i + 1) + ",", 0), 0u) << lines[i];
        // Before the test pattern's first step there is nothing to show.
        if (lines[i].find("\"no_data\":true") != std::string::npos) continue;
        // Device type 1: no session flags and no fuel laps; a lone client
        // gets the session block every time.
        EXPECT_EQ(lines[i].find("session_flags"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("fuel_laps"), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find("\"end_session\":true"), std::string::npos) << lines[i];
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[20], m,
                                 std::regex("^\\{\"stats\":\\{\"updates\":20,\"rate_hz\":[0-9.]+,"
                                            "\"interval_ms\":\\{\"min\":[0-9.]+,\"median\":([0-9.]+),"
                                            "\"p99\":[0-9.]+,\"max\":[0-9.]+\\},\"lost\":0,.*\\}\\}$")))
        << lines[20];
    const double median = std::stod(m[1].str());
    EXPECT_GE(median, 48.0);
    EXPECT_LE(median, wine() ? 70.0 : 56.0);

    const std::vector<std::string> log = StopServer(server);
    ExpectNoDiagnosticsOnConsole(server);
    const int connected = Find(log, "Client phone one connected");
    ASSERT_GE(connected, 0) << "the name travels in quotes, blank included";
    EXPECT_EQ(Find(log, "DeviceType is 1"), connected + 1);
    const int disconnect = Find(log, "disconnect", connected);
    ASSERT_GT(disconnect, connected);
    EXPECT_EQ(Find(log, "Client phone one removed"), disconnect + 1);
}

TARMIS_BUILD_SUITE(ServerE2E);
