// Updates: the bytes each dashboard receives, and their pacing.
#include "sv_support.h"

using Updates = SvServer;

TEST_F(Updates, EachDashboardGetsTheBlocksOfItsDeviceTypeByteForByte) {
    Dash full, reduced;
    ASSERT_EQ(Connect(full, 1, "full", 0), 0);
    ASSERT_EQ(Connect(reduced, 2, "reduced", 2), 1);
    TelemetrySnapshot s{};
    s.on_track = 1;
    s.session_flags = 8;
    s.gear = -1;
    s.speed = 208.0f;
    s.shift_indicator_pct = 0.5f;
    s.rpm = 1500;
    s.session_refreshed = 1;
    s.car_id = -1;
    s.fastest_time = 1.0f;
    s.last_time = -2.0f;
    s.session_laps = -1;
    s.lap = 258;
    s.water_temp = 90.0f;
    s.oil_temp = 100.0f;
    s.fuel_level = 0.5f;
    s.position = 3;
    s.num_positions = 20;
    s.fuel_laps = 2.0f;
    const Bytes basic = {0x0B, 0x00,                       // engine warnings
                         0x12, 0x08,                       // session flags
                         0x0C, 0xFF, 0xFF,                 // gear -1
                         0x0E, 0x00, 0x00, 0x50, 0x43,     // speed 208.0
                         0x0F, 0x00, 0x00, 0x00, 0x3F,     // shift light 0.5
                         0x0D, 0xDC, 0x05,                 // rpm 1500
                         0x10, 0x00, 0x00, 0x00, 0x00,     // throttle 0.0
                         0x11, 0x00, 0x00, 0x00, 0x00,     // brake 0.0
                         0x0A};
    const Bytes session = {0x1E, 0xFF, 0xFF,               // car id -1
                           0x15, 0x00, 0x00, 0x80, 0x3F,   // fastest 1.0
                           0x16, 0x00, 0x00, 0x00, 0xC0,   // last -2.0
                           0x17, 0xFF, 0xFF,               // laps unlimited
                           0x18, 0x02, 0x01,               // lap 258
                           0x19, 0x00, 0x00, 0xB4, 0x42,   // water 90.0
                           0x1A, 0x00, 0x00, 0xC8, 0x42,   // oil 100.0
                           0x1B, 0x00, 0x00, 0x00, 0x3F,   // fuel 0.5
                           0x1C, 0x03, 0x1D, 0x14,         // position 3 of 20
                           0x1F, 0x00, 0x00, 0x00, 0x40,   // fuel laps 2.0
                           0x14};
    // Other device types leave out the session flags and the fuel laps.
    Bytes basic_reduced = basic, session_reduced = session;
    basic_reduced.erase(basic_reduced.begin() + 2, basic_reduced.begin() + 4);
    session_reduced.erase(session_reduced.end() - 6, session_reduced.end() - 1);

    uint32_t sequence = 1;
    auto pass = [&](const Bytes& to_full, const Bytes& to_reduced) {
        Pass(curtime + 51);
        Bytes got;
        EXPECT_TRUE(full.Receive(got));
        EXPECT_EQ(got, Header(sequence, 0) + to_full) << sequence;
        EXPECT_TRUE(reduced.Receive(got));
        EXPECT_EQ(got, Header(sequence, 0) + to_reduced) << sequence;
        sequence++;
    };
    pass({0x05}, {0x05});   // nothing published yet: no data
    Snap_Publish(s, live_snapshot);
    pass(basic + session, basic_reduced + session_reduced);
    pass(basic, basic_reduced);   // the session block goes once per refresh
    s.on_track = 0;
    Snap_Publish(s, live_snapshot);
    pass({0x05}, {0x05});
    // Back on track, the refresh made while off track is sent.
    s.on_track = 1;
    s.session_refreshed = 0;
    Snap_Publish(s, live_snapshot);
    pass(basic + session, basic_reduced + session_reduced);
}

TEST_F(Updates, LeaveAtOnceAfterTheConnectThenMoreThanTheIntervalApartAcrossTheClockWrap) {
    for (uint32_t start : {70000u, 0x7FFFFFE0u, 0xFFFFFFE0u}) {
        SV_ResetClients();
        curtime = start;
        Dash dash;
        ASSERT_EQ(Connect(dash, 1, "paced"), 0);
        frame_count = start;   // the pass counter wraps as well
        const struct {
            uint32_t after;   // ms after the connect
            size_t packets;
        } passes[] = {{0, 1}, {25, 0}, {50, 0}, {51, 1}, {101, 0}, {102, 1}};
        for (const auto& p : passes) {
            Pass(start + p.after);
            EXPECT_EQ(dash.Drain().size(), p.packets) << start << " + " << p.after;
        }
    }
}
