// Updates: the bytes each dashboard receives, their pacing, the fullest
// packet a channel sends; and the address line printed at start-up.
#include "sv_support.h"

using Updates = SvServer;

TEST_F(Updates, EachDashboardGetsTheBlocksOfItsDeviceTypeByteForByte) {
    Dash full, reduced;
    ASSERT_TRUE(Connect(full, 1, "full", 0));
    ASSERT_TRUE(Connect(reduced, 2, "reduced", 2));
    TelemetrySnapshot s{.on_track = 1, .session_refreshed = 1, .engine_warnings = 0x21, .session_flags = 8,
                        .gear = -1, .speed = 208.0f, .shift_indicator_pct = 0.5f, .rpm = 1500, .lap = 258,
                        .fastest_time = 1.0f, .last_time = -2.0f, .session_laps = -1, .water_temp = 90.0f,
                        .oil_temp = 100.0f, .fuel_level = 0.5f, .position = 3, .num_positions = 20, .car_id = -1,
                        .throttle = 0.25f, .brake = 1.0f, .fuel_laps = 2.0f, .session_serial = 0};
    const Bytes basic = {0x0B, 0x21, 0x12, 0x08,                                     // warnings, flags
                         0x0C, 0xFF, 0xFF, 0x0E, 0x00, 0x00, 0x50, 0x43,               // gear -1, speed 208
                         0x0F, 0x00, 0x00, 0x00, 0x3F, 0x0D, 0xDC, 0x05,               // shift light 0.5, rpm 1500
                         0x10, 0x00, 0x00, 0x80, 0x3E, 0x11, 0x00, 0x00, 0x80, 0x3F,   // throttle 0.25, brake 1
                         0x0A};
    const Bytes session = {0x1E, 0xFF, 0xFF, 0x15, 0x00, 0x00, 0x80, 0x3F,             // car -1, fastest 1.0
                           0x16, 0x00, 0x00, 0x00, 0xC0, 0x17, 0xFF, 0xFF,             // last -2.0, laps unlimited
                           0x18, 0x02, 0x01, 0x19, 0x00, 0x00, 0xB4, 0x42,             // lap 258, water 90
                           0x1A, 0x00, 0x00, 0xC8, 0x42, 0x1B, 0x00, 0x00, 0x00, 0x3F, // oil 100, fuel 0.5
                           0x1C, 0x03, 0x1D, 0x14, 0x1F, 0x00, 0x00, 0x00, 0x40,       // position 3 of 20, fuel laps 2
                           0x14};
    // Other device types leave out the session flags and the fuel laps.
    Bytes basic_reduced = basic, session_reduced = session;
    basic_reduced.erase(basic_reduced.begin() + 2, basic_reduced.begin() + 4);
    session_reduced.erase(session_reduced.end() - 6, session_reduced.end() - 1);

    auto pass = [&](uint32_t sequence, const Bytes& to_full, const Bytes& to_reduced) {
        Pass(curtime + 51);
        EXPECT_EQ(full.Next(), Header(sequence, 0) + to_full) << sequence;
        EXPECT_EQ(reduced.Next(), Header(sequence, 0) + to_reduced) << sequence;
    };
    Snap_Publish(s, live_snapshot);
    pass(1, basic + session, basic_reduced + session_reduced);
    pass(2, basic, basic_reduced);   // the session block goes once per refresh
    s.on_track = 0;
    Snap_Publish(s, live_snapshot);
    pass(3, {0x05}, {0x05});         // off track: no data
    // Back on track, the refresh made while off track is sent.
    s.on_track = 1;
    s.session_refreshed = 0;
    Snap_Publish(s, live_snapshot);
    pass(4, basic + session, basic_reduced + session_reduced);
    // Dashboards that connect again start at packet 1, and get the block again.
    for (int slot : {0, 1}) SV_RemoveClient(sv_clients[slot]);
    ASSERT_TRUE(Connect(full, 1, "full", 0) && Connect(reduced, 2, "reduced", 2));
    pass(1, basic + session, basic_reduced + session_reduced);
}

TEST_F(Updates, LeaveAtOnceAfterTheConnectThenMoreThanTheIntervalApartAcrossTheClockWrap) {
    for (uint32_t start : {70000u, 0x7FFFFFE0u, 0xFFFFFFE0u}) {
        SV_ResetClients();
        curtime = start;
        Dash dash;
        ASSERT_TRUE(Connect(dash, 1, "paced"));
        frame_count = start;   // the pass counter wraps as well
        // Passes of the main loop, ms after the connect, and the packets each sends.
        for (auto [after, packets] : {std::pair{0u, 1}, {25u, 0}, {50u, 0}, {51u, 1}, {101u, 0}, {102u, 1}}) {
            Pass(start + after);
            int sent = 0;
            while (dash.Next(20)) sent++;
            EXPECT_EQ(sent, packets) << start << " + " << after;
        }
    }
}

TEST(AddressLine, ListsTheAddressesJoinedByOrOrSaysUnknown) {
    const std::array<std::array<uint8_t, 4>, 2> two = {{{192, 168, 1, 20}, {10, 0, 0, 5}}};
    ::testing::internal::CaptureStdout();
    NET_PrintAddressList(two.data(), 2);
    NET_PrintAddressList(nullptr, -1);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "IP address (use in app settings) = 192.168.1.20 or 10.0.0.5\n"
              "IP address (use in app settings) = Unknown\n");
}

TEST_F(Updates, AChannelPacketCarriesUnreliableDataUpToItsFull128Bytes) {
    Dash dash;
    NetChannel chan{};
    Netchan_Setup(chan, dash.Address(), 1);
    const Bytes data(121, 0x07);
    Netchan_Transmit(chan, 120, data.data());
    Netchan_Transmit(chan, 121, data.data());   // one byte too many: the header goes alone
    EXPECT_EQ(dash.Next(), Header(1, 0) + Bytes(120, 0x07));
    EXPECT_EQ(dash.Next(), Header(2, 0));
    EXPECT_EQ(TakeLog(), Lines{"Netchan_Transmit: dumped unreliable"});
}
