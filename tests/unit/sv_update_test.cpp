// Update body: the exact bytes a dashboard receives for each device type.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "net/msg.h"
#include "server/clients.h"
#include "server/update.h"
#include "shell/sys.h"
#include "telemetry/snapshot.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The body for `client` (which remembers the session values it was sent).
Bytes BodyFor(ClientSlot& client) {
    std::array<uint8_t, CLIENT_DATAGRAM_SIZE> storage{};
    SizeBuffer msg{1, 0, storage.data(), CLIENT_DATAGRAM_SIZE, 0};
    SV_WriteUpdate(msg, client);
    return Bytes(storage.begin(), storage.begin() + msg.cursize);
}

// The body for a client that has just connected.
Bytes Body(int device_type) {
    ClientSlot client{};
    client.device_type = device_type;
    return BodyFor(client);
}

TelemetrySnapshot Known() {
    TelemetrySnapshot s{};
    s.on_track = 1;
    s.engine_warnings = 0;
    s.session_flags = 8;
    s.gear = 3;
    s.speed = 208.0f;
    s.shift_indicator_pct = 0.5f;
    s.rpm = 1500;
    s.throttle = 0.0f;
    s.brake = 0.0f;
    return s;
}

const Bytes kBasicFull = {0x0B, 0x00, 0x12, 0x08, 0x0C, 0x03, 0x00, 0x0E, 0x00, 0x00, 0x50,
                          0x43, 0x0F, 0x00, 0x00, 0x00, 0x3F, 0x0D, 0xDC, 0x05, 0x10, 0x00,
                          0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x0A};

class UpdateBody : public ::testing::Test {
protected:
    void SetUp() override {
        Snap_Reset();
        Sys_ResetOptions();
    }
    void TearDown() override { Sys_ResetOptions(); }
};

}  // namespace

TEST_F(UpdateBody, OffTrackIsTheSingleNoDataByte) {
    TelemetrySnapshot s = Known();
    s.on_track = 0;
    s.session_refreshed = 1;
    Snap_Publish(s, live_snapshot);
    EXPECT_EQ(Body(0), Bytes{0x05});
    EXPECT_EQ(Body(3), Bytes{0x05});
    // Nothing published yet reads as off track too.
    Snap_Reset();
    EXPECT_EQ(Body(0), Bytes{0x05});
}

TEST_F(UpdateBody, BasicBlockBytesForBothDeviceTypes) {
    Snap_Publish(Known(), live_snapshot);
    EXPECT_EQ(Body(0), kBasicFull);

    // Any other device type leaves out the session flags (12 08).
    Bytes reduced = kBasicFull;
    reduced.erase(reduced.begin() + 2, reduced.begin() + 4);
    EXPECT_EQ(Body(1), reduced);
    EXPECT_EQ(Body(-7), reduced);
    EXPECT_EQ(reduced.size(), 29u);

    TelemetrySnapshot s = Known();
    s.gear = -1;
    Snap_Publish(s, live_snapshot);
    Bytes b = Body(0);
    ASSERT_EQ(b.size(), 31u);
    EXPECT_EQ(b[4], 0x0C);
    EXPECT_EQ(b[5], 0xFF);
    EXPECT_EQ(b[6], 0xFF);
}

TEST_F(UpdateBody, SessionBlockBytesForBothDeviceTypes) {
    TelemetrySnapshot s = Known();
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
    Snap_Publish(s, live_snapshot);
    Bytes expect = kBasicFull;
    expect.insert(expect.end(), {0x1E, 0xFF, 0xFF,                    // car id -1
                                 0x15, 0x00, 0x00, 0x80, 0x3F,        // fastest 1.0
                                 0x16, 0x00, 0x00, 0x00, 0xC0,        // last -2.0
                                 0x17, 0xFF, 0xFF,                    // laps unlimited
                                 0x18, 0x02, 0x01,                    // lap 258
                                 0x19, 0x00, 0x00, 0xB4, 0x42,        // water 90.0
                                 0x1A, 0x00, 0x00, 0xC8, 0x42,        // oil 100.0
                                 0x1B, 0x00, 0x00, 0x00, 0x3F,        // fuel 0.5
                                 0x1C, 0x03, 0x1D, 0x14,              // position 3 of 20
                                 0x1F, 0x00, 0x00, 0x00, 0x40,        // fuel laps 2.0
                                 0x14});
    ClientSlot full{}, reduced{};
    reduced.device_type = 2;
    EXPECT_EQ(BodyFor(full), expect);
    // The other device types leave out the session flags and the fuel laps.
    Bytes other = expect;
    other.erase(other.end() - 6, other.end() - 1);
    other.erase(other.begin() + 2, other.begin() + 4);
    EXPECT_EQ(BodyFor(reduced), other);

    // Off track the single byte goes, and the block waits for the client's
    // first update back on track.
    Snap_Publish(s, live_snapshot);
    s.on_track = 0;
    Snap_Publish(s, live_snapshot);
    EXPECT_EQ(BodyFor(full), Bytes{0x05});
    s.on_track = 1;
    s.session_refreshed = 0;
    Snap_Publish(s, live_snapshot);
    EXPECT_EQ(BodyFor(full), expect);
}
