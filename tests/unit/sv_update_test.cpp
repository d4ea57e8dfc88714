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
