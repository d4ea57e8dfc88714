// Attaching to the simulator, taking frames and the live loop, over a
// mapping built in memory.
#include <gtest/gtest.h>

#include "tel_fake_sim.h"

using fake::WithRpm;

namespace {

std::vector<uint8_t> dest(fake::FRAME_LEN);

bool Take() { return Sim_GetNewData(dest.data(), fake::FRAME_LEN); }
float DestRpm() {
    float v;
    std::memcpy(&v, dest.data() + fake::RPM, 4);
    return v;
}

int torn_reads_left = 0;
bool mark_rewriting = false;
void TearFrameCopy(const uint8_t* src, size_t len) {
    // The simulator rewrites buffer 0 while its frame is being copied: it
    // either finished (new tick) or is still at it (tick -1).
    if (len != fake::FRAME_LEN || src != fake::mem.data() + fake::FrameAt(0) || torn_reads_left == 0) return;
    torn_reads_left--;
    fake::SetTick(0, mark_rewriting ? -1 : static_cast<int32_t>(fake::mem[48]) + 1);
}

int32_t next_tick = 0;
void WriteFrameOnWait() {
    next_tick++;
    fake::WriteFrame(0, next_tick, WithRpm(static_cast<float>(next_tick)));
}

}  // namespace

TEST(TelConnection, StartupOpensWhatIsMissingAndResetsTheTick) {
    fake::Install();
    fake::mapping_exists = false;
    EXPECT_FALSE(Sim_Startup());
    fake::mapping_exists = true;
    fake::event_exists = false;
    EXPECT_FALSE(Sim_Startup());
    EXPECT_NE(sim_view, nullptr);
    EXPECT_EQ(sim_initialized, 0);
    sim_last_tick = 5;
    fake::event_exists = true;
    EXPECT_TRUE(Sim_Startup());
    EXPECT_EQ(sim_last_tick, SIM_NO_TICK);
    sim_last_tick = 5;
    EXPECT_TRUE(Sim_Startup());   // nothing left to open: tick untouched
    EXPECT_EQ(sim_last_tick, 5);
}

TEST(TelConnection, NewestBufferTornCopiesAndTickResync) {
    fake::Install(3);
    fake::WriteFrame(0, 7, WithRpm(70));
    fake::WriteFrame(1, 9, WithRpm(90));
    fake::WriteFrame(2, 9, WithRpm(91));
    EXPECT_FALSE(Take());   // the first frame after attaching only sets the tick
    EXPECT_EQ(sim_last_tick, 9);
    EXPECT_FALSE(Take());

    fake::WriteFrame(0, 12, WithRpm(120));
    fake::WriteFrame(2, 12, WithRpm(121));
    fake::now_seconds = 2000;
    EXPECT_TRUE(Take());    // equal ticks: the lower entry
    EXPECT_EQ(DestRpm(), 120.0f);
    EXPECT_EQ(sim_last_valid_time, 2000);
    fake::WriteFrame(1, 13, WithRpm(130));
    EXPECT_TRUE(Sim_GetNewData(nullptr, 0));   // only noted
    EXPECT_EQ(DestRpm(), 120.0f);
    EXPECT_EQ(sim_last_tick, 13);

    fake::on_read = TearFrameCopy;
    fake::WriteFrame(0, 20, WithRpm(200));
    torn_reads_left = 1;
    EXPECT_TRUE(Take());    // second try holds still
    EXPECT_EQ(sim_last_tick, 21);
    fake::WriteFrame(0, 30, WithRpm(300));
    torn_reads_left = 2;
    EXPECT_FALSE(Take());   // both torn: skipped, tick kept for the next pass
    EXPECT_EQ(sim_last_tick, 21);
    mark_rewriting = true;   // caught mid-rewrite: tick -1 before and after
    torn_reads_left = 1;
    fake::WriteFrame(0, 40, WithRpm(400));
    EXPECT_FALSE(Take());
    EXPECT_EQ(sim_last_tick, 21);
    mark_rewriting = false;
    fake::on_read = nullptr;
    fake::WriteFrame(0, 41, WithRpm(410));
    EXPECT_TRUE(Take());

    fake::WriteFrame(0, 3, WithRpm(3));    // simulator restarted: ticks went back
    fake::WriteFrame(1, 2, WithRpm(2));
    fake::WriteFrame(2, 1, WithRpm(1));
    EXPECT_FALSE(Take());
    EXPECT_EQ(sim_last_tick, 3);
    fake::WriteFrame(1, 4, WithRpm(4));
    EXPECT_TRUE(Take());
    EXPECT_EQ(DestRpm(), 4.0f);

    fake::SetStatus(0);
    EXPECT_FALSE(Take());
    EXPECT_EQ(sim_last_tick, SIM_NO_TICK);
    fake::SetStatus(1);
    EXPECT_FALSE(Take());   // status back: one resync frame first
    fake::WriteFrame(2, 5, WithRpm(5));
    EXPECT_TRUE(Take());
}

TEST(TelConnection, LivePassesSetUpThenReduceAndRedoSetupForNewFrameLength) {
    fake::Install(2);
    fake::WriteFrame(0, 1, WithRpm(1111));
    Tel_LivePass();   // attach, resync
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(fake::waits, 1);
    fake::WriteFrame(1, 2, WithRpm(1111));
    Tel_LivePass();   // set up only
    EXPECT_EQ(sim_connected.load(), 1);
    EXPECT_EQ(tel_frame_len, fake::FRAME_LEN);
    EXPECT_EQ(live_snapshot.rpm, 0);
    fake::WriteFrame(0, 3, WithRpm(1111));
    Tel_LivePass();   // reduced and published
    EXPECT_EQ(live_snapshot.rpm, 1111);

    fake::SetFrameLength(fake::FRAME_LEN + 8);
    fake::WriteFrame(1, 4, WithRpm(2222));
    Tel_LivePass();   // not copied: buffer remade
    EXPECT_EQ(tel_frame_len, fake::FRAME_LEN + 8);
    EXPECT_EQ(live_snapshot.rpm, 1111);
    fake::WriteFrame(0, 5, WithRpm(3333));
    Tel_LivePass();
    EXPECT_EQ(live_snapshot.rpm, 3333);

    next_tick = 5;
    fake::on_wait = WriteFrameOnWait;   // a frame signalled during the wait
    Tel_LivePass();
    EXPECT_EQ(live_snapshot.rpm, 6);
}

TEST(TelConnection, SimulatorIsLostWhenAbsentClearedOrStaleForThirtySeconds) {
    fake::Install(1);
    fake::mapping_exists = false;
    Tel_LivePass();
    EXPECT_EQ(fake::sleeps, 1);
    EXPECT_EQ(fake::waits, 0);
    EXPECT_EQ(sim_connected.load(), 0);

    fake::mapping_exists = true;
    for (int tick = 1; tick <= 3; tick++) {
        fake::WriteFrame(0, tick, WithRpm(10));
        Tel_LivePass();
    }
    ASSERT_EQ(live_snapshot.on_track, 1);
    fake::now_seconds += 29;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);
    fake::now_seconds += 1;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(tel_frame, nullptr);

    fake::WriteFrame(0, 4, WithRpm(40));
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);   // back at once
    fake::SetStatus(0);
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);   // status clear: lost in the same pass
}

TEST(TelConnection, HostileHeadersGiveNoDataAndNoReadOutsideTheView) {
    auto attached = [] {
        fake::Install(1);
        fake::WriteFrame(0, 1, WithRpm(1));
        Take();
        fake::WriteFrame(0, 2, WithRpm(2));
    };
    fake::Install(1, 20);   // too small for the header
    EXPECT_FALSE(Take());
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);

    for (int32_t count : {0, -1, 1 << 30, (fake::VIEW_SIZE - 48) / 16 + 1}) {
        attached();
        fake::SetBufferCount(count);
        EXPECT_FALSE(Take()) << count;
        Tel_LivePass();
        EXPECT_EQ(sim_connected.load(), 0) << count;
    }
    for (int32_t offset : {-1, INT32_MIN, fake::VIEW_SIZE - fake::FRAME_LEN + 1, INT32_MAX}) {
        attached();
        fake::SetFrameOffset(0, offset);
        EXPECT_FALSE(Take()) << offset;
        EXPECT_FALSE(Sim_GetNewData(nullptr, 0)) << offset;
    }
    attached();
    fake::SetFrameLength(INT32_MAX);   // nothing noted, nothing allocated
    EXPECT_FALSE(Sim_GetNewData(nullptr, 0));
    Tel_SetupVars();
    EXPECT_EQ(tel_frame, nullptr);

    attached();
    fake::SetFrameOffset(0, fake::VIEW_SIZE - fake::FRAME_LEN);   // ends at the view's end
    EXPECT_TRUE(Take());
    fake::WriteFrame(0, 3, WithRpm(3));
    fake::SetFrameLength(fake::FRAME_LEN + 1);   // destination too short: not written
    EXPECT_FALSE(Take());

    fake::Install();
    ASSERT_TRUE(Sim_Startup());
    EXPECT_EQ(Sim_VarOffset("RPM"), fake::RPM);
    EXPECT_EQ(Sim_VarOffset("NoSuchVar"), -1);
    fake::PutInt(24, INT32_MAX);   // count far beyond the view
    EXPECT_EQ(Sim_VarOffset("NoSuchVar"), -1);
    fake::PutInt(28, fake::VIEW_SIZE - 100);   // table runs off the view
    EXPECT_EQ(Sim_VarOffset("Speed"), -1);
    fake::PutInt(28, fake::VAR_TABLE);
    fake::PutInt(24, 1);
    std::memset(&fake::mem[fake::VAR_TABLE + 16], 'A', 32);   // unterminated name
    EXPECT_EQ(Sim_VarOffset(std::string(40, 'A').c_str()), fake::SPEED);
    EXPECT_EQ(Sim_VarOffset(std::string(31, 'A').c_str()), -1);

    fake::SetSessionText("DriverCarIdx: 3\n");
    EXPECT_STREQ(Tel_SessionInfoText(), "DriverCarIdx: 3\n");
    for (int32_t offset : {-1, fake::VIEW_SIZE, INT32_MAX}) {
        fake::PutInt(20, offset);
        EXPECT_STREQ(Tel_SessionInfoText(), "") << offset;
    }
    std::memset(&fake::mem[fake::VIEW_SIZE - 20], 'x', 20);   // no terminator in the view
    fake::PutInt(20, fake::VIEW_SIZE - 20);
    EXPECT_STREQ(Tel_SessionInfoText(), "");
    fake::mem[fake::VIEW_SIZE - 1] = 0;
    EXPECT_STREQ(Tel_SessionInfoText(), std::string(19, 'x').c_str());
}
