// Tests of the dashboard client's wire module and formatters, against bytes
// written out by hand.
#include <gtest/gtest.h>

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

TEST(DashWire, FieldsAreLittleEndianAndReadsStopAtTheEnd) {
    uint8_t buf[16];
    DashWriter w{buf, sizeof buf, 0, false};
    Dash_WriteShort(w, -2);
    Dash_WriteLong(w, 0xFFFFFFFFu);
    Dash_WriteFloat(w, 1.0f);
    Dash_WriteByte(w, 0x1FF);
    EXPECT_EQ(Written(w), (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x3F, 0xFF}));

    // A field that does not fit is not written at all.
    uint8_t small[6] = {0, 0, 0, 0, 0xAA, 0xAA};
    DashWriter s{small, 5, 3, false};
    Dash_WriteLong(s, 0x01020304u);
    EXPECT_TRUE(s.overflowed);
    EXPECT_EQ(s.cursize, 3);
    EXPECT_EQ(small[3], 0);
    EXPECT_EQ(small[4], 0xAA);
    EXPECT_EQ(small[5], 0xAA);

    const uint8_t in[] = {0xFF, 0x7F, 0x00, 0x80, 0x01, 0x02, 0x03};
    DashReader r{in, sizeof in, 0, false};
    EXPECT_EQ(Dash_ReadShort(r), 32767);
    EXPECT_EQ(Dash_ReadShort(r), -32768);
    EXPECT_EQ(Dash_ReadLong(r), 0xFFFFFFFFu);   // three bytes left
    EXPECT_TRUE(r.badread);
    EXPECT_EQ(r.pos, 4);
    EXPECT_EQ(Dash_ReadU8(r), 1);                // the cursor stayed
    EXPECT_EQ(Dash_ReadShort(r), 0x0302);
    EXPECT_EQ(Dash_ReadU8(r), -1);
}

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

TEST(DashChannel, RefusesCommandsThatCannotTravel) {
    DashChannel c;
    DashChan_Setup(c, 1);
    EXPECT_FALSE(DashChan_QueueCommand(c, ""));
    EXPECT_FALSE(DashChan_QueueCommand(c, "a\xFF" "b"));
    EXPECT_FALSE(DashChan_QueueCommand(c, std::string(DASH_COMMAND_TEXT_MAX + 1, 'x').c_str()));
    // The longest command fills a packet exactly.
    ASSERT_TRUE(DashChan_QueueCommand(c, std::string(DASH_COMMAND_TEXT_MAX, 'x').c_str()));
    EXPECT_FALSE(DashChan_QueueCommand(c, "y"));   // waits for the next message
    EXPECT_EQ(Transmit(c).size(), static_cast<size_t>(DASH_PACKET_MAX));
    // With the message in flight the queue is free again; unreliable data
    // that does not fit beside it is left out, never cut.
    EXPECT_TRUE(DashChan_QueueCommand(c, "y"));
    c.incoming_acknowledged = 5;   // the server saw later packets, old toggle
    EXPECT_EQ(Transmit(c, {CLC_NOP}).size(), static_cast<size_t>(DASH_PACKET_MAX));
}

static DashUpdate Decode(const Bytes& b, bool reliable = false) {
    DashUpdate u;
    Dash_DecodeUpdate(b.data(), static_cast<int>(b.size()), reliable, u);
    return u;
}

TEST(DashUpdate, DecodesEveryTagOfBothDeviceVariants) {
    DashUpdate u = Decode(Append(basic_dev0, session_dev0));
    EXPECT_EQ(u.status, DASH_DECODE_OK);
    EXPECT_EQ(u.present, (1u << DF_COUNT) - 1);   // every field
    EXPECT_TRUE(u.end_basic);
    EXPECT_TRUE(u.end_session);
    EXPECT_FALSE(u.no_data);
    EXPECT_EQ(u.ivalue[DF_ENGINE_WARNINGS], 0);
    EXPECT_EQ(u.ivalue[DF_SESSION_FLAGS], 8);
    EXPECT_EQ(u.ivalue[DF_GEAR], 3);
    EXPECT_EQ(u.fvalue[DF_SPEED], 208.0f);
    EXPECT_EQ(u.fvalue[DF_SHIFT_INDICATOR], 0.5f);
    EXPECT_EQ(u.ivalue[DF_RPM], 1500);
    EXPECT_EQ(u.fvalue[DF_THROTTLE], 0.0f);
    EXPECT_EQ(u.fvalue[DF_BRAKE], 0.0f);
    EXPECT_EQ(u.ivalue[DF_CAR_ID], -1);
    EXPECT_EQ(u.fvalue[DF_FASTEST_TIME], 93.543f);
    EXPECT_EQ(u.fvalue[DF_LAST_TIME], 692.102f);
    EXPECT_EQ(u.ivalue[DF_SESSION_LAPS], -1);
    EXPECT_EQ(u.ivalue[DF_LAP], 156);
    EXPECT_EQ(u.fvalue[DF_WATER_TEMP], 163.7f);
    EXPECT_EQ(u.fvalue[DF_OIL_TEMP], 78.0f);
    EXPECT_EQ(u.fvalue[DF_FUEL_LEVEL], 531.0f);
    EXPECT_EQ(u.ivalue[DF_POSITION], 14);
    EXPECT_EQ(u.ivalue[DF_NUM_POSITIONS], 48);
    EXPECT_EQ(u.fvalue[DF_FUEL_LAPS], 223.1f);

    // The other variant: no session flags, no fuel laps (29 + 39 bytes).
    Bytes basic_other = basic_dev0;
    basic_other.erase(basic_other.begin() + 2, basic_other.begin() + 4);
    Bytes session_other(session_dev0.begin(), session_dev0.end() - 6);
    session_other.push_back(0x14);
    ASSERT_EQ(basic_other.size() + session_other.size(), 68u);
    u = Decode(Append(basic_other, session_other));
    EXPECT_EQ(u.status, DASH_DECODE_OK);
    EXPECT_EQ(u.present, ((1u << DF_COUNT) - 1) & ~(1u << DF_SESSION_FLAGS) & ~(1u << DF_FUEL_LAPS));
    EXPECT_EQ(u.ivalue[DF_RPM], 1500);
    EXPECT_EQ(u.ivalue[DF_NUM_POSITIONS], 48);

    // Basic block alone; then the body of a car not on track.
    u = Decode(basic_dev0);
    EXPECT_TRUE(u.end_basic);
    EXPECT_FALSE(u.end_session);
    EXPECT_EQ(u.present & (1u << DF_LAP), 0u);
    u = Decode({0x05});
    EXPECT_TRUE(u.no_data);
    EXPECT_EQ(u.present, 0u);
    EXPECT_EQ(u.status, DASH_DECODE_OK);

    // Gear -1 (reverse), and the server's reliable disconnect byte in front.
    u = Decode({0x02, 0x0C, 0xFF, 0xFF}, true);
    EXPECT_TRUE(u.server_disconnect);
    EXPECT_EQ(u.ivalue[DF_GEAR], -1);
    // Without the reliable bit the byte 2 is not a disconnect.
    u = Decode({0x02}, false);
    EXPECT_FALSE(u.server_disconnect);
    EXPECT_EQ(u.status, DASH_DECODE_UNKNOWN_TAG);
}

TEST(DashUpdate, StopsAtAnUnknownTagOrACutValueAndKeepsWhatCameBefore) {
    DashUpdate u = Decode({0x0C, 0x04, 0x00, 0x07, 0x0D, 0x10, 0x27});
    EXPECT_EQ(u.status, DASH_DECODE_UNKNOWN_TAG);
    EXPECT_EQ(u.bad_tag, 7);
    EXPECT_EQ(u.bad_offset, 3);
    EXPECT_EQ(u.present, 1u << DF_GEAR);   // the rpm behind the bad tag is not read
    EXPECT_EQ(u.ivalue[DF_GEAR], 4);

    u = Decode({0x0B, 0x01, 0x0E, 0x00, 0x00, 0x50});
    EXPECT_EQ(u.status, DASH_DECODE_TRUNCATED);
    EXPECT_EQ(u.bad_tag, 0x0E);
    EXPECT_EQ(u.bad_offset, 2);
    EXPECT_EQ(u.present, 1u << DF_ENGINE_WARNINGS);
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

static std::string Block(const DashView& v, DashStreamState state, double now_ms, bool ansi) {
    char buf[4096];
    DashLive live{"127.0.0.1:2047", state, now_ms, 0.0, 0, ansi};
    int n = Dash_FormatBlock(buf, sizeof buf, v, live);
    return std::string(buf, static_cast<size_t>(n));
}

TEST(DashShow, BlockShowsLastKnownValuesWithUnitsNamesAndLapTimes) {
    DashView v;
    DashView_Reset(v);
    DashView_Apply(v, 40, 1000.0, Decode(Append(basic_dev0, session_dev0)));
    Bytes reverse = basic_dev0;
    reverse[5] = 0xFF;   // gear -1
    reverse[6] = 0xFF;
    reverse[1] = 0x0C;   // oil pressure and engine stalled
    reverse[3] = 0x0C;   // green and yellow
    DashView_Apply(v, 41, 1400.0, Decode(reverse));   // no session block this time

    std::string block = Block(v, DASH_STREAM_LIVE, 1500.0, true);
    int lines = 0;
    for (size_t at = 0; (at = block.find("\x1b[K\n", at)) != std::string::npos; at++) lines++;
    EXPECT_EQ(lines, DASH_BLOCK_LINES);
    EXPECT_EQ(block.find("\x1b[2m"), std::string::npos) << "live values are not dimmed";
    EXPECT_NE(block.find("update 2  seq 41  live"), std::string::npos) << block;
    // 208 m/s, the shift light 0.5 and the pedals 0.0 as the driver reads them.
    EXPECT_NE(block.find("Gear      R    RPM 1500    Speed 749 km/h    Shift light 50 %"),
              std::string::npos) << block;
    EXPECT_NE(block.find("Pedals    throttle 0 %    brake 0 %"), std::string::npos) << block;
    EXPECT_NE(block.find("Warnings  oil pressure, engine stalled\x1b[K"), std::string::npos) << block;
    EXPECT_NE(block.find("Flags     green, yellow\x1b[K"), std::string::npos) << block;
    EXPECT_NE(block.find("Lap       156 of unlimited    Position 14 of 48    Car -1"), std::string::npos)
        << block;
    EXPECT_NE(block.find("Times     fastest 1:33.543    last 11:32.102"), std::string::npos) << block;
    EXPECT_NE(block.find("Fuel      531.0 l    laps of fuel: 223.1"), std::string::npos) << block;
    EXPECT_NE(block.find("Temps     water 163.7 \xC2\xB0" "C    oil 78.0 \xC2\xB0" "C"), std::string::npos)
        << block;
    // The session block came with the first update, 0.5 s before the drawing.
    EXPECT_NE(block.find("Session   block 0.5 s ago, 1 received"), std::string::npos) << block;

    // The stream went quiet: the first line says for how long, the values
    // are dimmed and marked as the last received.
    block = Block(v, DASH_STREAM_STALE, 2600.0, true);
    EXPECT_NE(block.find("seq 41  no update for 1.2 s (values below are the last received)"),
              std::string::npos) << block;
    EXPECT_NE(block.find("\x1b[2mGear      R"), std::string::npos) << block;
    EXPECT_NE(block.find("\x1b[2mSession   block 1.6 s ago"), std::string::npos) << block;
    // Lost and connecting again: for how long, and how often it happened.
    {
        char buf[4096];
        DashLive live{"127.0.0.1:2047", DASH_STREAM_RECONNECTING, 20000.0, 17000.0, 2, true};
        Dash_FormatBlock(buf, sizeof buf, v, live);
        EXPECT_NE(std::string(buf).find("seq 41  server lost 3 s ago, connecting again  (reconnects: 2) "
                                        "(values below are the last received)\x1b[K\n\x1b[2mGear"),
                  std::string::npos)
            << buf;
    }
    // Without escapes the words alone tell it.
    block = Block(v, DASH_STREAM_STALE, 2600.0, false);
    EXPECT_EQ(block.find('\x1b'), std::string::npos);
    EXPECT_NE(block.find("no update for 1.2 s (values below are the last received)"), std::string::npos);

    // Not on track, nothing else known: every value shows "–"; the fuel
    // estimate of 0 reads as still being made; device type 1 sends no flags.
    DashView_Reset(v);
    DashView_Apply(v, 1, 0.0, Decode({0x05}));
    block = Block(v, DASH_STREAM_LIVE, 0.0, false);
    EXPECT_EQ(block.find('\x1b'), std::string::npos);
    EXPECT_NE(block.find("(no data: car not on track)"), std::string::npos);
    EXPECT_NE(block.find("Gear      \xE2\x80\x93    RPM \xE2\x80\x93    Speed \xE2\x80\x93"),
              std::string::npos) << block;
    EXPECT_NE(block.find("Session   no block yet"), std::string::npos) << block;
    DashView_Apply(v, 2, 0.0, Decode({0x1F, 0x00, 0x00, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00, 0x00}));
    block = Block(v, DASH_STREAM_LIVE, 0.0, false);
    EXPECT_NE(block.find("laps of fuel: estimating"), std::string::npos) << block;
    EXPECT_NE(block.find("Flags     \xE2\x80\x93\n"), std::string::npos) << block;
    EXPECT_NE(block.find("fastest \xE2\x80\x93    last \xE2\x80\x93"), std::string::npos) << block;
    // A small buffer is cut, never overrun, and stays terminated.
    char tiny[10];
    DashLive live{"h", DASH_STREAM_LIVE, 0.0, 0.0, 0, false};
    EXPECT_EQ(Dash_FormatBlock(tiny, sizeof tiny, v, live), 9);
    EXPECT_EQ(tiny[9], 0);
}

TEST(DashShow, LapTimesAndBitNames) {
    char buf[64];
    const std::vector<std::pair<float, std::string>> times = {
        {93.543f, "1:33.543"}, {59.9996f, "1:00.000"}, {5.0f, "0:05.000"}, {692.102f, "11:32.102"},
        {0.0f, "\xE2\x80\x93"}, {-1.0f, "\xE2\x80\x93"}, {NAN, "\xE2\x80\x93"}};
    for (const auto& [seconds, text] : times) {
        Dash_FormatLapTime(buf, sizeof buf, seconds);
        EXPECT_EQ(std::string(buf), text) << seconds;
    }
    Dash_FormatBits(buf, sizeof buf, 0, dash_session_flag_names);
    EXPECT_STREQ(buf, "none");
    Dash_FormatBits(buf, sizeof buf, 0x81, dash_session_flag_names);
    EXPECT_STREQ(buf, "checkered, crossed");
    Dash_FormatBits(buf, sizeof buf, 0x31, dash_engine_warning_names);
    EXPECT_STREQ(buf, "water temperature, pit speed limiter, rev limiter");
}

TEST(DashShow, StatisticsUseNearestRankOverReceiveIntervals) {
    char buf[512];
    DashSummary s;
    DashStats_Reset();
    DashStats_Summarize(s);
    Dash_FormatStatsJson(buf, sizeof buf, s);
    EXPECT_STREQ(buf, "{\"stats\":{\"updates\":0,\"rate_hz\":0.000,\"interval_ms\":"
                      "{\"min\":null,\"median\":null,\"p99\":null,\"max\":null},\"lost\":0,"
                      "\"duplicated\":0,\"out_of_order\":0,\"session_blocks\":0,\"reconnects\":0}}\n");
    EXPECT_EQ(DashStats_RecentIntervalMs(), 0.0);

    for (double t : {100.0, 150.0, 200.0, 260.0, 300.0}) DashStats_Add(t);
    DashStats_Summarize(s);
    EXPECT_EQ(s.updates, 5u);
    EXPECT_EQ(s.intervals, 4);
    EXPECT_EQ(DashStats_RecentIntervalMs(), 50.0);
    Dash_FormatStatsJson(buf, sizeof buf, s);
    // Intervals 50, 50, 60, 40: four updates after the first in 200 ms.
    EXPECT_STREQ(buf, "{\"stats\":{\"updates\":5,\"rate_hz\":20.000,\"interval_ms\":"
                      "{\"min\":40.000,\"median\":50.000,\"p99\":60.000,\"max\":60.000},\"lost\":0,"
                      "\"duplicated\":0,\"out_of_order\":0,\"session_blocks\":0,\"reconnects\":0}}\n");
    Dash_FormatStatsText(buf, sizeof buf, s);
    EXPECT_STREQ(buf, "Received 5 updates at 20.0 per second; interval in ms: min 40.0, median 50.0, "
                      "99th percentile 60.0, max 60.0; 0 lost, 0 duplicated, 0 out of order; "
                      "0 session blocks; 0 reconnects.\n");

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
    DashStats_Reset();
}
