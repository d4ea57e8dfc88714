// Attaching to the simulator's mapping, taking frames and the live loop,
// over a mapping built in memory.
#include <gtest/gtest.h>

#include <vector>

#include "tel_fake_sim.h"

namespace {

std::vector<uint8_t> Dest() { return std::vector<uint8_t>(fake::FRAME_LEN, 0); }

float RpmIn(const std::vector<uint8_t>& frame) {
    float v;
    std::memcpy(&v, frame.data() + fake::OFF_RPM, 4);
    return v;
}

fake::Frame WithRpm(float rpm) {
    fake::Frame f;
    f.rpm = rpm;
    return f;
}

}  // namespace

TEST(TelConnection, StartupOpensWhatIsMissingAndResyncsTicks) {
    fake::Install();
    fake::mapping_exists = false;
    EXPECT_FALSE(Sim_Startup());
    EXPECT_EQ(sim_initialized, 0);

    fake::mapping_exists = true;
    fake::event_exists = false;
    EXPECT_FALSE(Sim_Startup());
    EXPECT_NE(sim_mapping, SHM_NONE);
    EXPECT_NE(sim_view, nullptr);
    EXPECT_EQ(sim_initialized, 0);

    sim_last_tick = 5;
    fake::event_exists = true;
    EXPECT_TRUE(Sim_Startup());
    EXPECT_EQ(sim_initialized, 1);
    EXPECT_EQ(sim_last_tick, SIM_NO_TICK);
    EXPECT_EQ(sim_view_size, static_cast<size_t>(fake::VIEW_SIZE));

    // Nothing left to open: the tick is not touched.
    sim_last_tick = 5;
    EXPECT_TRUE(Sim_Startup());
    EXPECT_EQ(sim_last_tick, 5);
}

TEST(TelConnection, TakesNewestBufferAfterOneResyncFrame) {
    fake::Install(3);
    std::vector<uint8_t> dest = Dest();
    fake::WriteFrame(0, 7, WithRpm(70));
    fake::WriteFrame(1, 9, WithRpm(90));
    fake::WriteFrame(2, 9, WithRpm(91));
    // First frame after attaching only sets the tick.
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, 9);
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));

    // Equal ticks: the lower entry wins.
    fake::WriteFrame(0, 12, WithRpm(120));
    fake::WriteFrame(2, 12, WithRpm(121));
    fake::now_seconds = 2000;
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(RpmIn(dest), 120.0f);
    EXPECT_EQ(sim_last_tick, 12);
    EXPECT_EQ(sim_last_valid_time, 2000);

    fake::WriteFrame(1, 13, WithRpm(130));
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(RpmIn(dest), 130.0f);

    // Without a destination a newer frame is only noted.
    fake::WriteFrame(2, 14, WithRpm(140));
    dest.assign(dest.size(), 0);
    EXPECT_TRUE(Sim_GetNewData(nullptr, 0));
    EXPECT_EQ(sim_last_tick, 14);
    EXPECT_EQ(RpmIn(dest), 0.0f);
}

namespace {
int torn_reads_left = 0;
void TearFrameCopy(const uint8_t* src, size_t len) {
    // The simulator rewrites buffer 0 while its frame is being copied.
    if (len == static_cast<size_t>(fake::FRAME_LEN) && src == fake::mem.data() + fake::FrameAt(0) &&
        torn_reads_left > 0) {
        torn_reads_left--;
        int32_t tick = 0;
        std::memcpy(&tick, fake::mem.data() + 48, 4);
        fake::SetTick(0, tick + 1);
    }
}
}  // namespace

TEST(TelConnection, TornCopyIsRetriedOnceThenSkipped) {
    fake::Install(1);
    std::vector<uint8_t> dest = Dest();
    fake::WriteFrame(0, 1, WithRpm(10));
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));

    fake::WriteFrame(0, 2, WithRpm(20));
    fake::on_read = TearFrameCopy;
    torn_reads_left = 1;
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, 3);   // the tick that held still during the copy
    EXPECT_EQ(torn_reads_left, 0);

    fake::WriteFrame(0, 10, WithRpm(100));
    torn_reads_left = 2;
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, 3);   // unchanged, so the next pass tries again

    fake::on_read = nullptr;
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, 12);
}

TEST(TelConnection, TickGoingBackOrStatusClearResynchronises) {
    fake::Install(2);
    std::vector<uint8_t> dest = Dest();
    fake::WriteFrame(0, 100, WithRpm(1));
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    fake::WriteFrame(1, 101, WithRpm(2));
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));

    // Simulator restarted: ticks start low again; that frame is not taken.
    fake::WriteFrame(0, 3, WithRpm(3));
    fake::WriteFrame(1, 2, WithRpm(2));
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, 3);
    fake::WriteFrame(1, 4, WithRpm(4));
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(RpmIn(dest), 4.0f);

    fake::SetStatus(0);
    fake::WriteFrame(0, 5, WithRpm(5));
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(sim_last_tick, SIM_NO_TICK);
    fake::SetStatus(1);
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    fake::WriteFrame(1, 6, WithRpm(6));
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    EXPECT_EQ(RpmIn(dest), 6.0f);
}

TEST(TelConnection, LivePassesSetUpThenReduceAndRedoSetupOnNewFrameLength) {
    fake::Install(2);
    fake::Frame f = WithRpm(1111);
    fake::WriteFrame(0, 1, f);
    Tel_LivePass();   // attach; first frame only resyncs
    EXPECT_EQ(sim_initialized, 1);
    EXPECT_EQ(tel_frame, nullptr);
    EXPECT_EQ(fake::waits, 1);

    fake::WriteFrame(1, 2, f);
    Tel_LivePass();   // second frame: set up, nothing published
    EXPECT_EQ(sim_connected.load(), 1);
    ASSERT_NE(tel_frame, nullptr);
    EXPECT_EQ(tel_frame_len, fake::FRAME_LEN);
    EXPECT_EQ(tel_var_offsets[TEL_VAR_RPM], fake::OFF_RPM);
    EXPECT_EQ(live_snapshot.rpm, 0);

    fake::WriteFrame(0, 3, f);
    Tel_LivePass();   // third frame: reduced and published
    EXPECT_EQ(live_snapshot.rpm, 1111);
    EXPECT_EQ(live_snapshot.on_track, 1);

    // The frame grows: the next frame is not copied, the buffer is remade.
    fake::SetFrameLength(fake::FRAME_LEN + 8);
    fake::WriteFrame(1, 4, WithRpm(2222));
    Tel_LivePass();
    EXPECT_EQ(tel_frame_len, fake::FRAME_LEN + 8);
    EXPECT_EQ(live_snapshot.rpm, 1111);
    fake::WriteFrame(0, 5, WithRpm(3333));
    Tel_LivePass();
    EXPECT_EQ(live_snapshot.rpm, 3333);
}

namespace {
int32_t next_tick = 0;
void WriteFrameOnWait() {
    next_tick++;
    fake::WriteFrame(0, next_tick, WithRpm(static_cast<float>(next_tick)));
}
}  // namespace

TEST(TelConnection, FrameSignalledDuringTheWaitIsTakenInTheSamePass) {
    fake::Install(1);
    next_tick = 1;
    fake::WriteFrame(0, 1, WithRpm(1));
    fake::on_wait = WriteFrameOnWait;
    Tel_LivePass();   // resync on tick 1, tick 2 arrives during the wait: set up
    EXPECT_NE(tel_frame, nullptr);
    Tel_LivePass();   // tick 2 already taken; tick 3 arrives during the wait
    EXPECT_EQ(live_snapshot.rpm, 3);
    EXPECT_EQ(fake::waits, 2);
}

TEST(TelConnection, StaleFramesLoseTheSimulatorAfterThirtySeconds) {
    fake::Install(1);
    fake::WriteFrame(0, 1, WithRpm(10));
    Tel_LivePass();
    // Right after attaching nothing was taken yet: counts from time 0.
    EXPECT_EQ(sim_connected.load(), 0);
    fake::WriteFrame(0, 2, WithRpm(10));
    Tel_LivePass();
    fake::WriteFrame(0, 3, WithRpm(10));
    Tel_LivePass();
    ASSERT_EQ(live_snapshot.on_track, 1);
    ASSERT_EQ(sim_connected.load(), 1);

    fake::now_seconds += 29;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);
    EXPECT_EQ(live_snapshot.on_track, 1);

    fake::now_seconds += 1;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(tel_frame, nullptr);

    fake::WriteFrame(0, 4, WithRpm(40));
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);   // back at once, setting up again
    EXPECT_NE(tel_frame, nullptr);

    // A clear status bit loses the simulator in the same pass.
    fake::SetStatus(0);
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
}

TEST(TelConnection, AbsentSimulatorStaysNotConnected) {
    fake::Install();
    fake::mapping_exists = false;
    for (int i = 0; i < 3; i++) Tel_LivePass();
    EXPECT_EQ(fake::sleeps, 3);
    EXPECT_EQ(fake::waits, 0);
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(live_snapshot.on_track, 0);
}

TEST(TelConnection, HostileHeadersGiveNoDataAndNoReadOutsideTheView) {
    std::vector<uint8_t> dest = Dest();
    auto attached = [&](int buffers) {
        fake::Install(buffers);
        fake::WriteFrame(0, 1, WithRpm(1));
        Sim_GetNewData(dest.data(), fake::FRAME_LEN);
        fake::WriteFrame(0, 2, WithRpm(2));
    };

    // A view too small for the header.
    fake::Install(1, 20);
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);

    const int32_t bad_counts[] = {0, -1, 1 << 30, (fake::VIEW_SIZE - 48) / 16 + 1};
    for (int32_t count : bad_counts) {
        attached(1);
        fake::SetBufferCount(count);
        EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN)) << count;
        EXPECT_EQ(sim_last_tick, SIM_NO_TICK) << count;
        Tel_LivePass();
        EXPECT_EQ(sim_connected.load(), 0) << count;
    }

    const int32_t bad_offsets[] = {-1, -2147483647 - 1, fake::VIEW_SIZE - fake::FRAME_LEN + 1,
                                   2147483647};
    for (int32_t offset : bad_offsets) {
        attached(1);
        fake::SetFrameOffset(0, offset);
        EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN)) << offset;
        EXPECT_FALSE(Sim_GetNewData(nullptr, 0)) << offset;
    }

    // A frame length beyond the view: nothing noted, nothing allocated.
    attached(1);
    fake::SetFrameLength(2147483647);
    EXPECT_FALSE(Sim_GetNewData(nullptr, 0));
    Tel_SetupVars();
    EXPECT_EQ(tel_frame, nullptr);
    fake::SetFrameLength(-5);
    EXPECT_FALSE(Sim_GetNewData(nullptr, 0));

    // A frame that fits exactly at the end of the view is fine.
    attached(1);
    fake::SetFrameOffset(0, fake::VIEW_SIZE - fake::FRAME_LEN);
    EXPECT_TRUE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
    // A destination of the wrong length is never written.
    fake::WriteFrame(0, 3, WithRpm(3));
    fake::SetFrameLength(fake::FRAME_LEN + 1);
    EXPECT_FALSE(Sim_GetNewData(dest.data(), fake::FRAME_LEN));
}

TEST(TelConnection, HostileVariableTableFindsNothing) {
    fake::Install();
    ASSERT_TRUE(Sim_Startup());
    EXPECT_EQ(Sim_VarOffset("RPM"), fake::OFF_RPM);
    EXPECT_EQ(Sim_VarOffset(nullptr), -1);
    EXPECT_EQ(Sim_VarOffset("NoSuchVar"), -1);

    fake::PutInt(28, fake::VIEW_SIZE - 100);   // table runs off the view
    EXPECT_EQ(Sim_VarOffset("Speed"), -1);
    fake::PutInt(28, -144);
    EXPECT_EQ(Sim_VarOffset("Speed"), -1);
    fake::PutInt(28, fake::VAR_TABLE);
    fake::PutInt(24, 2147483647);   // count far beyond the view
    EXPECT_EQ(Sim_VarOffset("NoSuchVar"), -1);
    EXPECT_EQ(Sim_VarOffset("Speed"), fake::OFF_SPEED);

    // A 32-byte name with no terminator compares over its 32 bytes only.
    fake::PutInt(24, 1);
    std::memset(&fake::mem[fake::VAR_TABLE + 16], 'A', 32);
    fake::PutInt(fake::VAR_TABLE + 4, 8);
    EXPECT_EQ(Sim_VarOffset(std::string(32, 'A').c_str()), 8);
    EXPECT_EQ(Sim_VarOffset(std::string(40, 'A').c_str()), 8);
    EXPECT_EQ(Sim_VarOffset(std::string(31, 'A').c_str()), -1);
}

TEST(TelConnection, SessionTextOutsideTheViewOrUnterminatedReadsEmpty) {
    fake::Install();
    ASSERT_TRUE(Sim_Startup());
    fake::SetSessionText("DriverCarIdx: 3\n");
    EXPECT_STREQ(Tel_SessionInfoText(), "DriverCarIdx: 3\n");

    const int32_t bad_offsets[] = {-1, fake::VIEW_SIZE, 2147483647};
    for (int32_t offset : bad_offsets) {
        fake::PutInt(20, offset);
        EXPECT_STREQ(Tel_SessionInfoText(), "") << offset;
    }
    // Text that runs to the last byte of the view without a terminator.
    size_t start = fake::VIEW_SIZE - 20;
    std::memset(&fake::mem[start], 'x', 20);
    fake::PutInt(20, static_cast<int32_t>(start));
    EXPECT_STREQ(Tel_SessionInfoText(), "");
    fake::mem[fake::VIEW_SIZE - 1] = 0;
    EXPECT_STREQ(Tel_SessionInfoText(), std::string(19, 'x').c_str());
}
