// Tests of the dashboard client's wire module and formatters, against bytes
// written out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tools/dash/dash_show.h"
#include "tools/dash/dash_wire.h"

using Bytes = std::vector<uint8_t>;

static Bytes Append(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The basic block of an update for device type 0: engine warnings 0,
// session flags 8, gear 3, speed 208.0, shift light 0.5, rpm 1500,
// throttle 0.0, brake 0.0.
static const Bytes basic_dev0 = {0x0B, 0x00, 0x12, 0x08, 0x0C, 0x03, 0x00, 0x0E, 0x00, 0x00, 0x50,
                                 0x43, 0x0F, 0x00, 0x00, 0x00, 0x3F, 0x0D, 0xDC, 0x05, 0x10, 0x00,
                                 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x0A};

// A session block for device type 0: car -1, fastest 93.543, last 692.102,
// session laps -1 (unlimited), lap 156, water 163.7, oil 78.0, fuel 531.0,
// position 14 of 48, fuel laps 223.1.
static const Bytes session_dev0 = {
    0x1E, 0xFF, 0xFF,                     // car id -1
    0x15, 0x04, 0x16, 0xBB, 0x42,         // fastest time
    0x16, 0x87, 0x06, 0x2D, 0x44,         // last time
    0x17, 0xFF, 0xFF,                     // session laps -1
    0x18, 0x9C, 0x00,                     // lap 156
    0x19, 0x33, 0xB3, 0x23, 0x43,         // water temperature
    0x1A, 0x00, 0x00, 0x9C, 0x42,         // oil temperature
    0x1B, 0x00, 0xC0, 0x04, 0x44,         // fuel level
    0x1C, 0x0E,                           // position 14
    0x1D, 0x30,                           // of 48
    0x1F, 0x9A, 0x19, 0x5F, 0x43,         // fuel laps
    0x14};

static Bytes Written(const DashWriter& w) { return Bytes(w.data, w.data + w.cursize); }

TEST(DashWire, HandshakeRequestsAreTheServersTexts) {
    uint8_t buf[200];
    int n = Dash_BuildGetChallenge(buf, sizeof buf);
    std::string expect = std::string("\xFF\xFF\xFF\xFF") + "getchallenge\n";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)), expect);

    n = Dash_BuildConnect(buf, sizeof buf, 4660, 2147450879, "my dash", 0);
    expect = std::string("\xFF\xFF\xFF\xFF") + "connect 1 4660 2147450879 \"my dash\" 0\n";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)), expect);

    // Names that the server's line reader or tokenizer would take apart.
    EXPECT_EQ(Dash_BuildConnect(buf, sizeof buf, 1, 1, "a\"b", 0), 0);
    EXPECT_EQ(Dash_BuildConnect(buf, sizeof buf, 1, 1, "a\nb", 0), 0);
    EXPECT_EQ(Dash_BuildConnect(buf, sizeof buf, 1, 1, "a\xFF" "b", 0), 0);
    EXPECT_TRUE(Dash_NameIsValid(std::string(79, 'x').c_str()));
    EXPECT_FALSE(Dash_NameIsValid(std::string(80, 'x').c_str()));
    // A buffer too small for the request gives nothing rather than a part.
    EXPECT_EQ(Dash_BuildGetChallenge(buf, 10), 0);
}

static DashOobKind Parse(const std::string& text, DashOobReply& reply) {
    return Dash_ParseOob(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()),
                         reply);
}

TEST(DashWire, SortsEveryServerReply) {
    const std::string oob = "\xFF\xFF\xFF\xFF";
    DashOobReply r;
    EXPECT_EQ(Parse(oob + "c2147450879", r), DASH_OOB_CHALLENGE);
    EXPECT_EQ(r.challenge, 2147450879);
    EXPECT_EQ(Parse(oob + "c0", r), DASH_OOB_CHALLENGE);
    EXPECT_EQ(r.challenge, 0);
    EXPECT_EQ(Parse(oob + "c", r), DASH_OOB_OTHER);
    EXPECT_EQ(Parse(oob + "c12x", r), DASH_OOB_OTHER);
    EXPECT_EQ(Parse(oob + "c99999999999", r), DASH_OOB_OTHER);
    EXPECT_EQ(Parse(oob + "j", r), DASH_OOB_ACCEPT);
    EXPECT_EQ(Parse(oob + "n\nBad challenge.\n", r), DASH_OOB_PRINT);
    EXPECT_STREQ(r.text, "\nBad challenge.\n");
    EXPECT_EQ(Parse(oob + "n\nServer is full\n\n", r), DASH_OOB_PRINT);
    EXPECT_STREQ(r.text, "\nServer is full\n\n");
    EXPECT_EQ(Parse(oob + "n\x1b[2J", r), DASH_OOB_PRINT);
    EXPECT_STREQ(r.text, "?[2J");   // nothing unprintable reaches the terminal
    EXPECT_EQ(Parse(oob + "o\n", r), DASH_OOB_BAD_VERSION);
    EXPECT_EQ(Parse(oob + "x", r), DASH_OOB_OTHER);
    EXPECT_EQ(Parse("\x01\x00\x00\x00\x00\x00\x00\x00", r), DASH_OOB_NOT_OOB);
    EXPECT_EQ(Parse("\xFF\xFF", r), DASH_OOB_NOT_OOB);
}

// A server packet: two longs, then the payload.
static Bytes ServerPacket(uint32_t seq, bool reliable, uint32_t ack, int toggle, const Bytes& payload) {
    uint8_t buf[DASH_PACKET_MAX];
    DashWriter w{buf, sizeof buf, 0, false};
    Dash_WriteLong(w, seq | (reliable ? 0x80000000u : 0u));
    Dash_WriteLong(w, ack | (toggle ? 0x80000000u : 0u));
    Dash_WriteBytes(w, payload.data(), static_cast<int>(payload.size()));
    return Written(w);
}

static bool Accept(DashChannel& c, const Bytes& p, DashServerPacket& out) {
    return DashChan_Accept(c, p.data(), static_cast<int>(p.size()), out);
}

static Bytes Transmit(DashChannel& c, const Bytes& data = {}) {
    uint8_t buf[DASH_PACKET_MAX];
    int n = DashChan_Transmit(c, data.data(), static_cast<int>(data.size()), buf);
    return Bytes(buf, buf + n);
}

TEST(DashChannel, SendsItsCommandReliablyUntilTheServerFlipsTheToggle) {
    DashChannel c;
    DashChan_Setup(c, 0x1234);
    // First packet: number 1, nothing acknowledged yet, the qport.
    EXPECT_EQ(Transmit(c), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12}));

    ASSERT_TRUE(DashChan_QueueCommand(c, "key 13"));
    EXPECT_TRUE(DashChan_ReliablePending(c));
    const Bytes cmd = {4, 'k', 'e', 'y', ' ', '1', '3', 0};
    EXPECT_EQ(Transmit(c), Append({2, 0, 0, 0x80, 0, 0, 0, 0, 0x34, 0x12}, cmd));   // packet 2

    // The server accepted packets 1 and then 3 (toggle still 0): neither
    // proves that packet 2 was lost, so 3 and 4 go without the command.
    DashServerPacket p;
    ASSERT_TRUE(Accept(c, ServerPacket(1, false, 1, 0, {5}), p));
    EXPECT_EQ(Transmit(c), (Bytes{3, 0, 0, 0, 1, 0, 0, 0, 0x34, 0x12}));
    ASSERT_TRUE(Accept(c, ServerPacket(2, false, 3, 0, {5}), p));
    EXPECT_EQ(Transmit(c), (Bytes{4, 0, 0, 0, 2, 0, 0, 0, 0x34, 0x12}));
    EXPECT_TRUE(DashChan_ReliablePending(c));

    // The server accepted packet 4, sent after the one behind the command,
    // with the old toggle: packet 2 was lost, so the command goes again.
    ASSERT_TRUE(Accept(c, ServerPacket(3, false, 4, 0, {5}), p));
    EXPECT_EQ(Transmit(c), Append({5, 0, 0, 0x80, 3, 0, 0, 0, 0x34, 0x12}, cmd));

    // Toggle flipped: the command was taken; nothing is repeated, and a new
    // message starts with the toggle flipped back.
    ASSERT_TRUE(Accept(c, ServerPacket(4, false, 5, 1, {5}), p));
    EXPECT_FALSE(DashChan_ReliablePending(c));
    EXPECT_EQ(Transmit(c), (Bytes{6, 0, 0, 0, 4, 0, 0, 0, 0x34, 0x12}));
    ASSERT_TRUE(DashChan_QueueCommand(c, "a"));
    ASSERT_TRUE(DashChan_QueueCommand(c, "b"));   // both ride in one message
    EXPECT_EQ(Transmit(c), (Bytes{7, 0, 0, 0x80, 4, 0, 0, 0, 0x34, 0x12, 4, 'a', 0, 4, 'b', 0}));
    ASSERT_TRUE(Accept(c, ServerPacket(5, false, 7, 0, {5}), p));
    EXPECT_FALSE(DashChan_ReliablePending(c));

    // The unreliable part follows the header when nothing reliable is due.
    EXPECT_EQ(Transmit(c, {CLC_DISCONNECT}), (Bytes{8, 0, 0, 0, 5, 0, 0, 0, 0x34, 0x12, 2}));
}

TEST(DashChannel, AcceptsOnlyNewerServerPacketsAndMirrorsItsReliableMessages) {
    DashChannel c;
    DashChan_Setup(c, 7);
    DashServerPacket p;
    const Bytes first = ServerPacket(5, false, 0, 0, {5});
    ASSERT_TRUE(Accept(c, first, p));   // p points into `first`
    EXPECT_EQ(p.sequence, 5u);
    EXPECT_EQ(p.payload_length, 1);
    EXPECT_EQ(p.payload[0], 5);

    // Repeated, late, too short and out-of-band datagrams change nothing.
    EXPECT_FALSE(Accept(c, ServerPacket(5, false, 0, 0, {5}), p));
    EXPECT_FALSE(Accept(c, ServerPacket(4, true, 0, 0, {2}), p));
    EXPECT_FALSE(Accept(c, Bytes{9, 0, 0, 0, 0, 0, 0}, p));
    EXPECT_FALSE(Accept(c, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'j', 0, 0, 0}, p));
    EXPECT_EQ(Transmit(c), (Bytes{1, 0, 0, 0, 5, 0, 0, 0, 7, 0}));

    // A server packet with its reliable bit flips our toggle (bit 31 of our
    // acknowledgement); a second one flips it back. A jump in numbers is fine.
    ASSERT_TRUE(Accept(c, ServerPacket(9, true, 1, 0, {2}), p));
    EXPECT_TRUE(p.reliable);
    EXPECT_EQ(Transmit(c), (Bytes{2, 0, 0, 0, 9, 0, 0, 0x80, 7, 0}));
    ASSERT_TRUE(Accept(c, ServerPacket(10, true, 2, 0, {2}), p));
    EXPECT_EQ(Transmit(c), (Bytes{3, 0, 0, 0, 10, 0, 0, 0, 7, 0}));
}

static DashUpdate Decode(const Bytes& b, bool reliable = false) {
    DashUpdate u;
    Dash_DecodeUpdate(b.data(), static_cast<int>(b.size()), reliable, u);
    return u;
}

TEST(DashUpdate, DecodesTheOtherDeviceVariantAndTheServersDisconnect) {
    // The other variant: no session flags, no fuel laps (29 + 39 bytes).
    Bytes basic_other = basic_dev0;
    basic_other.erase(basic_other.begin() + 2, basic_other.begin() + 4);
    Bytes session_other(session_dev0.begin(), session_dev0.end() - 6);
    session_other.push_back(0x14);
    DashUpdate u = Decode(Append(basic_other, session_other));
    EXPECT_EQ(u.status, DASH_DECODE_OK);
    EXPECT_EQ(u.present, ((1u << DF_COUNT) - 1) & ~(1u << DF_SESSION_FLAGS) & ~(1u << DF_FUEL_LAPS));
    EXPECT_EQ(u.ivalue[DF_NUM_POSITIONS], 48);

    // The reliable disconnect byte in front of a body; without the reliable
    // bit the byte 2 is no disconnect.
    u = Decode({0x02, 0x0C, 0xFF, 0xFF}, true);
    EXPECT_TRUE(u.server_disconnect);
    EXPECT_EQ(u.ivalue[DF_GEAR], -1);
    u = Decode({0x02}, false);
    EXPECT_FALSE(u.server_disconnect);
    EXPECT_EQ(u.status, DASH_DECODE_UNKNOWN_TAG);
}

static std::string Json(uint32_t seq, double t, const Bytes& body) {
    char buf[1024];
    DashUpdate u = Decode(body);
    Dash_FormatJson(buf, sizeof buf, seq, t, u);
    return buf;
}

TEST(DashShow, JsonLineCarriesSequenceTimeAndEveryDecodedField) {
    EXPECT_EQ(Json(12, 1234.5, basic_dev0),
              "{\"seq\":12,\"t_ms\":1234.500,\"engine_warnings\":0,\"session_flags\":8,\"gear\":3,"
              "\"speed\":208,\"shift_indicator_pct\":0.5,\"rpm\":1500,\"throttle\":0,\"brake\":0,"
              "\"end_basic\":true}\n");
    std::string full = Json(13, 0.25, Append(basic_dev0, session_dev0));
    EXPECT_NE(full.find(",\"car_id\":-1,\"fastest_time\":93.543,\"last_time\":692.102,"
                        "\"session_laps\":-1,\"lap\":156,\"water_temp\":163.7,\"oil_temp\":78,"
                        "\"fuel_level\":531,\"position\":14,\"num_positions\":48,\"fuel_laps\":223.1,"
                        "\"end_basic\":true,\"end_session\":true}\n"),
              std::string::npos)
        << full;
    EXPECT_EQ(Json(1, 2.0, {0x05}), "{\"seq\":1,\"t_ms\":2.000,\"no_data\":true}\n");
    EXPECT_EQ(Json(2, 3.0, {0x0C, 0x01, 0x00, 0x33}),
              "{\"seq\":2,\"t_ms\":3.000,\"gear\":1,\"error\":\"unknown tag 0x33 at offset 3\"}\n");
    // A speed that is not a number is written as null, so the line stays JSON.
    EXPECT_EQ(Json(3, 4.0, {0x0E, 0x00, 0x00, 0xC0, 0x7F}),
              "{\"seq\":3,\"t_ms\":4.000,\"speed\":null}\n");
}

// The live view is redrawn in place: every line of the block ends by
// clearing what an older, longer line left on the screen.
TEST(DashShow, BlockIsItsFixedNumberOfClearedLines) {
    DashView v;
    DashView_Reset(v);
    DashView_Apply(v, 40, 1000.0, Decode(Append(basic_dev0, session_dev0)));
    for (DashStreamState state : {DASH_STREAM_LIVE, DASH_STREAM_STALE}) {
        char buf[4096];
        DashLive live{"127.0.0.1:2047", state, 1500.0, 0.0, 0, true};
        const std::string block(buf, static_cast<size_t>(Dash_FormatBlock(buf, sizeof buf, v, live)));
        int lines = 0;
        for (size_t at = 0; (at = block.find("\x1b[K\n", at)) != std::string::npos; at++) lines++;
        EXPECT_EQ(lines, DASH_BLOCK_LINES) << block;
        EXPECT_EQ(std::count(block.begin(), block.end(), '\n'), DASH_BLOCK_LINES) << block;
        EXPECT_NE(block.find("Position 14 of 48    Car -1"), std::string::npos) << block;
    }
}

TEST(DashShow, StatisticsUseNearestRankOverReceiveIntervals) {
    char buf[512];
    DashSummary s;
    DashStats_Reset();

    for (double t : {100.0, 150.0, 200.0, 260.0, 300.0}) DashStats_Add(t);
    DashStats_Summarize(s);
    EXPECT_EQ(DashStats_RecentIntervalMs(), 50.0);
    Dash_FormatStatsJson(buf, sizeof buf, s);
    // Intervals 50, 50, 60, 40: four updates after the first in 200 ms.
    EXPECT_STREQ(buf, "{\"stats\":{\"updates\":5,\"rate_hz\":20.000,\"interval_ms\":"
                      "{\"min\":40.000,\"median\":50.000,\"p99\":60.000,\"max\":60.000},\"lost\":0,"
                      "\"duplicated\":0,\"out_of_order\":0,\"session_blocks\":0,\"reconnects\":0}}\n");

    // A reconnect: the 10-second pause is no interval, the new connection's
    // first update opens a new chain and its numbers start again at 1.
    DashStats_Reconnect();
    EXPECT_EQ(DashStats_RecentIntervalMs(), 0.0);
    for (double t : {10300.0, 10400.0}) DashStats_Add(t);
    DashStats_Summarize(s);
    EXPECT_EQ(s.intervals, 5);
    EXPECT_EQ(s.max_ms, 100.0);
    EXPECT_EQ(s.reconnects, 1u);
    EXPECT_NEAR(s.rate_hz, 5 * 1000.0 / 300.0, 1e-9);   // 5 intervals in 200 + 100 ms
    EXPECT_EQ(DashStats_RecentIntervalMs(), 100.0);
    DashStats_Reset();
}

TEST(DashShow, PacketNumbersCountLossDuplicatesAndLateArrivals) {
    DashStats_Reset();
    // 1 2 5 (3 and 4 missing), 4 late, 5 again, 9 (6 to 8 missing), 7
    // late, 2 again, 100 (10 to 99 missing), 9 again but too far behind to
    // be told from a late one, 99 late, 99 again.
    const std::vector<std::pair<uint32_t, DashArrival>> arrivals = {
        {1, DASH_ARRIVAL_NEXT},       {2, DASH_ARRIVAL_NEXT},      {5, DASH_ARRIVAL_NEXT},
        {4, DASH_ARRIVAL_LATE},       {5, DASH_ARRIVAL_DUPLICATE}, {9, DASH_ARRIVAL_NEXT},
        {7, DASH_ARRIVAL_LATE},       {2, DASH_ARRIVAL_DUPLICATE}, {100, DASH_ARRIVAL_NEXT},
        {9, DASH_ARRIVAL_LATE},       {99, DASH_ARRIVAL_LATE},     {99, DASH_ARRIVAL_DUPLICATE}};
    for (const auto& [seq, kind] : arrivals) EXPECT_EQ(DashStats_Sequence(seq), kind) << seq;
    DashSummary s;
    DashStats_Summarize(s);
    // Lost for good: 3, 6, 8 and 10 to 98 (89 numbers).
    EXPECT_EQ(s.duplicated, 3u);
    EXPECT_EQ(s.out_of_order, 4u);
    EXPECT_EQ(s.lost, 92u);
    // After a reconnect the server counts from 1 again: no duplicates.
    DashStats_Reconnect();
    EXPECT_EQ(DashStats_Sequence(1), DASH_ARRIVAL_NEXT);
    // Numbers start at 1: a stray packet numbered 0 was never counted lost.
    DashStats_Reset();
    EXPECT_EQ(DashStats_Sequence(3), DASH_ARRIVAL_NEXT);
    EXPECT_EQ(DashStats_Sequence(0), DASH_ARRIVAL_LATE);
    DashStats_Summarize(s);
    EXPECT_EQ(s.lost, 2u);
    DashStats_Reset();
}
