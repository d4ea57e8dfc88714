// The dashboard client: its channel and the update body against bytes
// written out by hand, what it shows of them, whole sessions against a fake
// server on 127.0.0.1 (the handshake and its refusals, the stream, commands,
// leaving, and what the racer is told of each), and its web page's names
// and addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/dashnet.h"
#include "tools/dash/dash_client.h"
#include "tools/dash/dash_show.h"
#include "tools/dash/dash_web.h"
#include "tools/dash/dash_where.h"
#include "tools/dash/dash_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Append(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The basic block of an update for device type 0: engine warnings 0,
// session flags 8 (yellow), gear 3, speed 208 m/s, shift light 0.5,
// rpm 1500, throttle 0, brake 0.
const Bytes basic_dev0 = {0x0B, 0x00, 0x12, 0x08, 0x0C, 0x03, 0x00, 0x0E, 0x00, 0x00, 0x50,
                          0x43, 0x0F, 0x00, 0x00, 0x00, 0x3F, 0x0D, 0xDC, 0x05, 0x10, 0x00,
                          0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x0A};

// The session block for device type 0: car -1, fastest 93.543, last
// 692.102, session laps -1 (unlimited), lap 156, water 163.7, oil 78.0,
// fuel 531.0, position 14 of 48, fuel laps 223.1.
const Bytes session_dev0 = {0x1E, 0xFF, 0xFF, 0x15, 0x04, 0x16, 0xBB, 0x42, 0x16, 0x87, 0x06, 0x2D, 0x44, 0x17, 0xFF,
                            0xFF, 0x18, 0x9C, 0x00, 0x19, 0x33, 0xB3, 0x23, 0x43, 0x1A, 0x00, 0x00, 0x9C, 0x42, 0x1B,
                            0x00, 0xC0, 0x04, 0x44, 0x1C, 0x0E, 0x1D, 0x30, 0x1F, 0x9A, 0x19, 0x5F, 0x43, 0x14};

// A server packet: its number with the reliable bit, its acknowledgement
// with our toggle, then a body.
bool Accept(DashChannel& c, uint32_t seq, uint32_t ack) {
    Bytes p;
    for (uint32_t v : {seq, ack, 5u})
        for (int i = 0; i < 4; i++) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    DashServerPacket out;
    return DashChan_Accept(c, p.data(), static_cast<int>(p.size()), out);
}

Bytes Transmit(DashChannel& c, const Bytes& data = {}) {
    uint8_t buf[DASH_PACKET_MAX];
    return Bytes(buf, buf + DashChan_Transmit(c, data.data(), static_cast<int>(data.size()), buf));
}

DashUpdate Decode(const Bytes& body, bool reliable = false) {
    DashUpdate u;
    Dash_DecodeUpdate(body.data(), static_cast<int>(body.size()), reliable, u);
    return u;
}

uint32_t Long(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The fake server: one socket on a free port, answering whoever spoke last.
struct Fake {
    int sock = DashNet_Open(0);
    DashAddr client{};
    ~Fake() { DashNet_Close(sock); }
    // The next datagram within `ms`; empty when none came.
    Bytes Receive(int ms) {
        uint8_t buf[2048];
        int n = DashNet_Receive(sock, buf, sizeof buf, client, ms);
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }
    void Send(const Bytes& b) { DashNet_Send(sock, client, b.data(), static_cast<int>(b.size())); }
    // Sized once: inserting into a four-byte vector draws a false
    // -Warray-bounds from g++ 12 at -O2.
    void SendOob(const std::string& text) {
        Bytes b(4 + text.size(), 0xFF);
        std::copy(text.begin(), text.end(), b.begin() + 4);
        Send(b);
    }
};

std::string ReadAll(FILE* f) {
    std::string s;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

// Reads the options after the program's name as the program does; they
// point into the words, kept until the next call.
int Parse(std::vector<std::string> args, DashOptions& opt, FILE* err) {
    static std::vector<std::string> kept;
    kept = std::move(args);
    kept.insert(kept.begin(), "tarmis_dash");
    std::vector<char*> argv;
    for (auto& a : kept) argv.push_back(a.data());
    Dash_DefaultOptions(opt);
    return Dash_ParseOptions(static_cast<int>(argv.size()), argv.data(), opt, err, err);
}

}  // namespace

TEST(DashChannel, SendsItsCommandsAgainUntilTheServerFlipsTheToggleAndTakesEachServerPacketOnce) {
    DashChannel c;
    DashChan_Setup(c, 0x1234);
    EXPECT_EQ(Transmit(c), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12}));   // number 1, the qport
    ASSERT_TRUE(DashChan_QueueCommand(c, "key 13"));
    ASSERT_TRUE(DashChan_QueueCommand(c, "a"));   // both ride in one message
    const Bytes message = {4, 'k', 'e', 'y', ' ', '1', '3', 0, 4, 'a', 0};
    EXPECT_EQ(Transmit(c), Append({2, 0, 0, 0x80, 0, 0, 0, 0, 0x34, 0x12}, message));
    // Packets 1 and 3 accepted with the old toggle prove nothing about 2...
    ASSERT_TRUE(Accept(c, 1, 1));
    EXPECT_EQ(Transmit(c), (Bytes{3, 0, 0, 0, 1, 0, 0, 0, 0x34, 0x12}));
    ASSERT_TRUE(Accept(c, 2, 3));
    EXPECT_EQ(Transmit(c), (Bytes{4, 0, 0, 0, 2, 0, 0, 0, 0x34, 0x12}));
    // ... packet 4, sent after it, does: 2 was lost, the message goes again.
    ASSERT_TRUE(Accept(c, 3, 4));
    EXPECT_EQ(Transmit(c), Append({5, 0, 0, 0x80, 3, 0, 0, 0, 0x34, 0x12}, message));
    ASSERT_TRUE(Accept(c, 4, 0x80000005u));   // toggle flipped: taken, not sent again
    // Repeated, out-of-band and cut server datagrams are refused and change nothing.
    const uint8_t cut[7] = {5, 0, 0, 0, 6, 0, 0};
    DashServerPacket p;
    EXPECT_FALSE(Accept(c, 4, 5) || Accept(c, 0xFFFFFFFFu, 5) || DashChan_Accept(c, cut, sizeof cut, p));
    EXPECT_EQ(Transmit(c, {CLC_DISCONNECT}), (Bytes{6, 0, 0, 0, 4, 0, 0, 0, 0x34, 0x12, 2}));
}

// Every field decoded reaches the JSON line under its name; a body the
// client cannot read says where it stopped.
TEST(DashUpdate, JsonLineCarriesEveryDecodedField) {
    const std::tuple<Bytes, bool, std::string> cases[] = {   // body, reliable, the line after seq and time
        {Append(basic_dev0, session_dev0), false,
         ",\"engine_warnings\":0,\"session_flags\":8,\"gear\":3,\"speed\":208,\"shift_indicator_pct\":0.5,"
         "\"rpm\":1500,\"throttle\":0,\"brake\":0,\"car_id\":-1,\"fastest_time\":93.543,\"last_time\":692.102,"
         "\"session_laps\":-1,\"lap\":156,\"water_temp\":163.7,\"oil_temp\":78,\"fuel_level\":531,"
         "\"position\":14,\"num_positions\":48,\"fuel_laps\":223.1,\"end_basic\":true,\"end_session\":true}\n"},
        {{0x05}, false, ",\"no_data\":true}\n"},
        {{0x0C, 0x01, 0x00, 0x33}, false, ",\"gear\":1,\"error\":\"unknown tag 0x33 at offset 3\"}\n"},
        {{0x0E, 0x00, 0x00}, false, ",\"error\":\"value of tag 0x0E cut at offset 0\"}\n"},
        {{0x02, 0x0C, 0xFF, 0xFF}, true, ",\"server_disconnect\":true,\"gear\":-1}\n"},
    };
    for (const auto& [body, reliable, json] : cases) {
        char buf[1024];
        Dash_FormatJson(buf, sizeof buf, 12, 1234.5, Decode(body, reliable));
        EXPECT_EQ(buf, "{\"seq\":12,\"t_ms\":1234.500" + json);
    }
}

// The values of each update stay until a later one changes them; a stalled
// stream says so and dims the old values. Blanks are squeezed: the racer
// reads words and units, not columns.
TEST(DashShow, BlockShowsEachValueWithItsUnitAndSaysWhenItIsOld) {
    const std::tuple<Bytes, DashStreamState, std::vector<const char*>> cases[] = {   // update at 1000 ms, state, shown
        {Append(basic_dev0, session_dev0), DASH_STREAM_LIVE,
         {"update 1 seq 1 live", "Gear 3 ", "RPM 1500 ", "Speed 749 km/h", "Shift light 50 %", "Flags yellow",
          "Lap 156 of unlimited", "Position 14 of 48", "fastest 1:33.543", "last 11:32.102", "Fuel 531.0 l",
          "laps of fuel: 223.1", "water 163.7 \xC2\xB0" "C"}},
        // The server's fuel estimate is 0 until two laps are done.
        {{0x0B, 0x05, 0x1F, 0x00, 0x00, 0x00, 0x00}, DASH_STREAM_LIVE,
         {"Warnings water temperature, oil pressure", "laps of fuel: estimating", "Gear 3 "}},
        {{}, DASH_STREAM_STALE, {"no update for 1.5 s (values below are the last received)", "\x1b[2mGear 3 "}},
    };
    DashView v;
    DashView_Reset(v);
    for (const auto& [body, state, shown] : cases) {
        if (!body.empty()) DashView_Apply(v, v.sequence + 1, 1000.0, Decode(body));
        char buf[4096];
        DashLive live{"127.0.0.1:2047", state, 2500.0, 0.0, 0, true};
        std::string block(buf, static_cast<size_t>(Dash_FormatBlock(buf, sizeof buf, v, live)));
        block = std::regex_replace(block, std::regex(" {2,}"), " ");
        for (const char* text : shown) EXPECT_NE(block.find(text), std::string::npos) << text << "\n" << block;
    }
}

// Each packet number is sorted as it comes; numbers skipped count as lost
// until they arrive late.
TEST(DashStats, PacketNumbersCountLossDuplicatesAndLateArrivals) {
    DashStats_Reset();
    const std::pair<uint32_t, DashArrival> arrivals[] = {
        {1, DASH_ARRIVAL_NEXT},      {2, DASH_ARRIVAL_NEXT},      {5, DASH_ARRIVAL_NEXT}, {4, DASH_ARRIVAL_LATE},
        {5, DASH_ARRIVAL_DUPLICATE}, {2, DASH_ARRIVAL_DUPLICATE}, {100, DASH_ARRIVAL_NEXT},
        {2, DASH_ARRIVAL_LATE}, {0, DASH_ARRIVAL_LATE}};   // 2: too far behind to tell from a late one; 0: never lost
    for (const auto& [seq, kind] : arrivals) EXPECT_EQ(DashStats_Sequence(seq), kind) << seq;
    DashSummary s;
    DashStats_Summarize(s);
    // Lost: 3, and 6 to 99; duplicated: 5 and 2; out of order: 4, 2 and 0.
    EXPECT_EQ(std::vector<uint32_t>({s.lost, s.duplicated, s.out_of_order}), (std::vector<uint32_t>{95, 2, 3}));
}

// An address as typed, and the longest name the server keeps and text it
// relays.
TEST(DashOptions, TakesTheServersAddressAndItsLongestNameAndCommand) {
    DashOptions opt;
    ASSERT_EQ(Parse({"--host", "10.0.0.7", "--name", std::string(79, 'n'), "--command", std::string(104, 'k')},
                    opt, stderr), -1);
    EXPECT_EQ(std::vector<int>(opt.server.ip, opt.server.ip + 4), (std::vector<int>{10, 0, 0, 7}));
    EXPECT_EQ(opt.num_commands, 1);
}

// What the fake answers to each request decides the session: a refusal,
// silence, or an acceptance after which it sends an update every 20 ms and
// acknowledges every packet, until the client leaves or, when `updates` is
// set, until it falls silent after that many.
TEST(DashSession, HandshakeStreamAndLeavingAsTheRacerIsToldOfThem) {
    struct Case {
        const char* challenge;   // the answer to each request; "" for none
        const char* accept;
        uint32_t updates;
        int code;
        std::string err;         // a line the racer is told; %P: the port
        int requests;            // each repeated every 500 ms until the 900 ms timeout
    };
    const Case cases[] = {
        {"", "", 0, 2, "no reply from localhost:%P (127.0.0.1)\nNothing answered within 0.9 s. Check that:\n", 2},
        // Nothing unprintable from the server reaches the terminal.
        {"c7", "n\nServer is full\x1b[2J\n\n", 0, 3, "refused by localhost:%P (127.0.0.1): Server is full?[2J\n", 2},
        {"c7", "o\n", 0, 3, "refused by localhost:%P (127.0.0.1): protocol version 1 not accepted\n", 2},
        {"c7", "", 0, 2, "no reply from localhost:%P (127.0.0.1)\n(the challenge came but the connect got no answer; "
                         "a client with qport 99 may still be connected)\n", 3},
        {"c7", "j", 0, 0, "command \"key 13\" acknowledged by the server after ", 2},
        {"c7", "j", 2, 4, "connection lost: no packet from localhost:%P (127.0.0.1) for 0.3 s; connecting again\n", 2},
    };
    for (const Case& c : cases) {
        Fake fake;
        std::vector<std::string> requests;
        uint32_t disconnect_ack = 0;
        auto server = [&] {
            uint32_t seq = 0, incoming = 0, toggle = 0;   // seq: the next update, 0 before the acceptance
            for (auto next = std::chrono::steady_clock::now(); disconnect_ack == 0 && seq < 250;) {
                if (c.updates > 0 && seq > c.updates) return;   // fallen silent
                if (seq > 0 && std::chrono::steady_clock::now() >= next) {
                    // Number, acknowledgement with the client's toggle (both stay small), gear 3.
                    fake.Send({static_cast<uint8_t>(seq++), 0, 0, 0, static_cast<uint8_t>(incoming), 0, 0,
                               static_cast<uint8_t>(toggle << 7), 0x0C, 3, 0, 0x0A});
                    next += std::chrono::milliseconds(20);
                }
                Bytes in = fake.Receive(seq > 0 ? 5 : 800);
                if (in.empty() && seq == 0) return;   // the client gave up
                if (in.size() >= 4 && Long(in, 0) == 0xFFFFFFFFu) {   // out-of-band
                    requests.emplace_back(in.begin() + 4, in.end());
                    const std::string reply = requests.back() == "getchallenge\n" ? c.challenge : c.accept;
                    if (!reply.empty()) fake.SendOob(reply);
                    if (reply == "j") seq = 1;
                } else if (in.size() >= 10 && (Long(in, 0) & 0x7FFFFFFF) > incoming) {
                    incoming = Long(in, 0) & 0x7FFFFFFF;
                    toggle ^= Long(in, 0) >> 31;   // its reliable commands taken
                    if (in.size() == 11 && in[10] == CLC_DISCONNECT) disconnect_ack = Long(in, 4) & 0x7FFFFFFF;
                }
            }
        };
        const std::string port = std::to_string(DashNet_LocalPort(fake.sock));
        DashOptions opt;
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        ASSERT_EQ(Parse({"--port", port, "--host", "localhost", "--timeout", "900", "--qport", "99", "--name", "a b",
                         "--device", "2", "--json", "--count", "8", "--duration", "2", "--command", "key 13"},
                        opt, err), -1);
        Dash_Reset();
        if (c.updates > 0) dash_silence_ms = 300;   // a server gone silent is found out soon
        std::thread t(server);
        EXPECT_EQ(Dash_Run(opt, out, err), c.code) << c.accept;
        t.join();
        const std::string shown = ReadAll(out), told = ReadAll(err);
        std::string line = c.err;
        if (line.find("%P") != std::string::npos) line.replace(line.find("%P"), 2, port);
        EXPECT_NE(told.find(line), std::string::npos) << told;
        ASSERT_EQ(static_cast<int>(requests.size()), c.requests) << c.accept;
        EXPECT_EQ(requests.back(), *c.challenge ? "connect 1 99 7 \"a b\" 2\n" : "getchallenge\n");
        if (c.code != 0) continue;
        EXPECT_GE(disconnect_ack, 8u);   // the disconnect acknowledges the eighth update
        // A JSON line per update, then the figures.
        EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 9) << shown;
        EXPECT_NE(shown.find("{\"stats\":{\"updates\":8,"), std::string::npos) << shown;
    }
}

// --web with a port alone serves every address of the PC, for the phone;
// an address it cannot serve on is refused with the reason.
TEST(DashWeb, APortAloneMeansEveryAddressAndAnAddressThatCannotServeSaysWhy) {
    char host[16];
    int port = 0;
    ASSERT_TRUE(DashWeb_ParseAddress("8080", host, sizeof host, port));
    EXPECT_EQ(std::string(host) + ":" + std::to_string(port), "0.0.0.0:8080");
    FILE* err = std::tmpfile();
    EXPECT_FALSE(DashWeb_Start("192.0.2.1", 8080, stdout, err));   // no address of this PC
    EXPECT_NE(ReadAll(err).find("--web cannot listen on 192.0.2.1:8080 (port in use, or not an address of this PC)"),
              std::string::npos);
}

// Only names of this PC are answered: a page elsewhere that points its own
// name at the PC (DNS rebinding) gets nothing.
TEST(DashWeb, AnswersOnlyToThisPcsAddressesAndNames) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, true}, {"192.168.1.20:8080", true}, {"LocalHost:8080", true}, {"[::1]", true}, {"Racing-PC", true},
        {"racing-pc.local:8080", true}, {"", false}, {"racing-pcx", false}, {"racing-p", false},
        {"racing-pc.evil.example", false}, {"localhost.evil.example", false}, {"192.168.1.256", false}};
    for (const auto& [host, allowed] : cases)
        EXPECT_EQ(DashWeb_HostAllowed(host, "racing-pc"), allowed) << (host ? host : "(none)");
}

// The page's addresses: real adapters first, virtual ones (that a phone on
// the home network cannot reach) after them and marked, loopback left out.
// The name is the Windows connection's or the Linux interface's, the
// description the Windows adapter's; on Linux a bridge has no device.
TEST(DashWhere, PutsRealAdaptersFirstMarksVirtualOnesAndLeavesLoopbackOut) {
    DashAdapter list[] = {
        {{10, 0, 0, 0}, "vEthernet (WSL)", "Hyper-V Virtual Ethernet Adapter", DASHNET_LINK_ETHERNET, true, false},
        {{10, 0, 0, 1}, "Loopback", "Software Loopback Interface 1", DASHNET_LINK_LOOPBACK, true, false},
        {{10, 0, 0, 2}, "Ethernet", "Intel(R) Ethernet Connection (7) I219-V", DASHNET_LINK_ETHERNET, true, false},
        {{10, 0, 0, 5}, "PPP adapter", "WAN Miniport (PPPOE)", DASHNET_LINK_TUNNEL, true, false},
        {{10, 0, 0, 6}, "eth0", "", DASHNET_LINK_ETHERNET, true, false},
        {{10, 0, 0, 7}, "docker0", "", DASHNET_LINK_ETHERNET, true, false},
        {{10, 0, 0, 8}, "br0", "", DASHNET_LINK_ETHERNET, false, false},
    };
    const int n = DashWhere_Order(list, static_cast<int>(std::size(list)));
    std::string order;   // by the last number of the address, "v" when marked virtual
    for (int i = 0; i < n; i++) order += std::to_string(list[i].ip[3]) + (list[i].is_virtual ? "v " : " ");
    EXPECT_EQ(order, "2 6 0v 5v 7v 8v ");
}
