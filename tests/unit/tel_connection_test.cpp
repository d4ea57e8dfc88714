// Attaching to the simulator, taking frames and the live loop, over a
// mapping built in memory.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tel_fake_sim.h"
#include "recordings.h"

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
    fake::now_ms = 2000000;
    EXPECT_TRUE(Take());    // equal ticks: the lower entry
    EXPECT_EQ(DestRpm(), 120.0f);
    EXPECT_EQ(sim_last_valid_time, 2000000u);
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

TEST(TelConnection, AViewTooSmallForTheHeaderGivesNoData) {
    fake::Install(1, 20);
    EXPECT_FALSE(Take());
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
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
    fake::now_ms += 29999;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);
    fake::now_ms += 1;
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

namespace {

int32_t run_tick = 0;
int view_reads = 0;
void CountRead(const uint8_t*, size_t) { view_reads++; }

// A simulator delivering frames, attached, set up and reduced: rpm on the
// wire. `buffers` frame buffers.
void Running(int buffers = 3) {
    fake::Install(buffers);
    run_tick = 0;
    for (int i = 0; i < 3; i++) {
        run_tick++;
        fake::WriteFrame(run_tick % buffers, run_tick, WithRpm(1111));
        Tel_LivePass();
    }
    ASSERT_EQ(sim_connected.load(), 1);
    ASSERT_EQ(live_snapshot.on_track, 1);
    ASSERT_EQ(live_snapshot.rpm, 1111);
}

// One pass with a new frame in the next buffer.
void NextFramePass(float rpm) {
    run_tick++;
    fake::WriteFrame(run_tick % 3, run_tick, WithRpm(rpm));
    Tel_LivePass();
}

// After a fault: lost in the pass that meets it, and in every pass while it
// lasts, with the tick resynchronising; `repair` then brings the values back
// within three frames (resynchronise, set up, reduce).
void ExpectLostWhileFaulty(const char* what, const std::function<void()>& fault,
                           const std::function<void()>& repair) {
    Running();
    fault();
    for (int pass = 0; pass < 3; pass++) {
        NextFramePass(2000.0f + static_cast<float>(pass));
        EXPECT_EQ(sim_connected.load(), 0) << what << ", pass " << pass;
        EXPECT_EQ(live_snapshot.on_track, 0) << what << ", pass " << pass;
        EXPECT_EQ(live_snapshot.rpm, 1111) << what << ": no values taken from it";
    }
    repair();
    for (int pass = 0; pass < 3; pass++) NextFramePass(3333.0f);
    EXPECT_EQ(sim_connected.load(), 1) << what << " repaired";
    EXPECT_EQ(live_snapshot.on_track, 1) << what << " repaired";
    EXPECT_EQ(live_snapshot.rpm, 3333) << what << " repaired";
}

}  // namespace

TEST(TelConnection, StaleAfterThirtySecondsOfTheMonotonicTimerAcrossItsWrap) {
    // The wall clock is not consulted: only the platform timer, which a time
    // sync or a manual change of the clock does not move, through a signed
    // difference so that its wrap after 49.7 days is no jump either.
    Running(3);
    fake::now_ms = 0xFFFFFFFFu - 10000u;
    NextFramePass(1200.0f);   // the simulator's last frame before it freezes
    ASSERT_EQ(live_snapshot.rpm, 1200);
    fake::now_ms += 29999u;   // wrapped past 0
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 1);
    EXPECT_EQ(live_snapshot.on_track, 1);
    fake::now_ms += 1u;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(live_snapshot.on_track, 0);
    // Lost stays lost, however far the timer goes on (even half its range,
    // where the signed difference turns).
    fake::now_ms += 0x80000000u;
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);
}

TEST(TelConnection, AHeaderPointingOutsideTheViewIsLostAtOnce) {
    const int32_t size = fake::VIEW_SIZE;
    const auto buffers = [](int32_t n) { return [=] { fake::SetBufferCount(n); }; };
    // A buffer other than the newest one, with a frame outside the view.
    const auto frame_at = [](int32_t at) { return [=] { fake::SetFrameOffset(2, at); }; };
    const auto frame_len = [](int32_t n) { return [=] { fake::SetFrameLength(n); }; };
    const auto session_at = [](int32_t at) { return [=] { fake::PutInt(20, at); }; };
    // A change of frame length makes the next frame set the variables up anew.
    const auto var_table = [](int32_t count, int32_t at) {
        return [=] {
            fake::PutInt(24, count);
            fake::PutInt(28, at);
            fake::SetFrameLength(fake::FRAME_LEN + 4);
        };
    };
    const std::function<void()> frames_back = [] {
        fake::SetBufferCount(3);
        fake::SetFrameLength(fake::FRAME_LEN);
        fake::SetFrameOffset(2, static_cast<int32_t>(fake::FrameAt(2)));
    };
    const std::function<void()> text_back = [] { fake::SetSessionText("DriverCarIdx: 0\n"); };
    const std::function<void()> vars_back = [] { fake::SetVars(fake::StandardVars()); };
    struct Case {
        std::string what;
        std::function<void()> fault, repair;
    } cases[] = {
        {"buffer count 0", buffers(0), frames_back},
        {"buffer count -1", buffers(-1), frames_back},
        {"buffer count 5", buffers(5), frames_back},
        {"buffer count INT32_MAX", buffers(INT32_MAX), frames_back},
        {"frame offset -1", frame_at(-1), frames_back},
        {"frame past the view", frame_at(size - fake::FRAME_LEN + 1), frames_back},
        {"frame offset INT32_MAX", frame_at(INT32_MAX), frames_back},
        {"frame length 0", frame_len(0), frames_back},
        {"frame length -5", frame_len(-5), frames_back},
        {"frame running off the view", frame_len(size - static_cast<int32_t>(fake::FrameAt(2)) + 1), frames_back},
        {"session text at -1", session_at(-1), text_back},
        {"session text at the view's end", session_at(size), text_back},
        {"session text at INT32_MAX", session_at(INT32_MAX), text_back},
        {"session text running to the end of the view",
         [=] {
             std::memset(&fake::mem[size - 64], 'x', 64);
             fake::PutInt(20, size - 64);
         },
         text_back},
        {"variable count beyond the view", var_table(INT32_MAX, fake::VAR_TABLE), vars_back},
        {"variable table running off the view", var_table(13, size - 144), vars_back},
        {"variable table at -144", var_table(13, -144), vars_back},
        {"variable table at INT32_MAX", var_table(13, INT32_MAX), vars_back},
        {"variable count -1", var_table(-1, fake::VAR_TABLE), vars_back},
    };
    for (const Case& c : cases) ExpectLostWhileFaulty(c.what.c_str(), c.fault, c.repair);
}

TEST(TelConnection, TruncatedObjectIsNeverReadAndCountsAsLost) {
    Running();
    fake::on_read = CountRead;
    view_reads = 0;
    fake::object_size = fake::VIEW_SIZE - 1;   // truncated under the view
    for (int pass = 0; pass < 3; pass++) NextFramePass(2000.0f);
    EXPECT_EQ(view_reads, 0);
    EXPECT_EQ(sim_connected.load(), 0);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_STREQ(Tel_SessionInfoText(), "");
    fake::object_size = fake::VIEW_SIZE;       // large enough again
    for (int pass = 0; pass < 3; pass++) NextFramePass(4444.0f);
    EXPECT_GT(view_reads, 0);
    EXPECT_EQ(sim_connected.load(), 1);
    EXPECT_EQ(live_snapshot.rpm, 4444);
    fake::object_size = fake::VIEW_SIZE * 2;   // larger than the view: reads go on
    NextFramePass(4445.0f);
    EXPECT_EQ(live_snapshot.rpm, 4445);
}

TEST(TelConnection, SimulatorBehindRecreatedNamesIsFollowed) {
    Running();
    EXPECT_EQ(fake::follows, 0);
    // The new simulator lays its mapping out afresh: another view, another
    // variable order, its first frames at lower ticks.
    std::vector<uint8_t> old = fake::mem;
    fake::mem.assign(fake::VIEW_SIZE, 0);
    fake::SetStatus(1);
    fake::SetBufferCount(3);
    fake::SetFrameLength(fake::FRAME_LEN);
    for (int b = 0; b < 3; b++) fake::SetFrameOffset(b, static_cast<int32_t>(fake::FrameAt(b)));
    std::vector<fake::Var> vars = fake::StandardVars();
    std::swap(vars[0].offset, vars[6].offset);   // Speed and RPM change places
    fake::SetVars(vars);
    fake::SetSessionText("");
    fake::renamed = fake::mem;
    fake::mem = old;   // same size: the old view stays where it is

    Tel_LivePass();   // follows: the view now shows the new object
    EXPECT_EQ(fake::follows, 1);
    EXPECT_EQ(sim_view, fake::mem.data());
    EXPECT_EQ(sim_initialized, 1);
    for (int tick = 1; tick <= 3; tick++) {
        fake::WriteFrame(tick % 3, tick, fake::Frame{});
        // In the new layout Speed lies where RPM was, and RPM where Speed was.
        fake::PutFloat(fake::FrameAt(tick % 3) + fake::RPM, 5555.0f);
        fake::PutFloat(fake::FrameAt(tick % 3) + fake::SPEED, 12.0f);
        Tel_LivePass();
    }
    EXPECT_EQ(sim_connected.load(), 1);
    EXPECT_EQ(live_snapshot.rpm, 12);
    EXPECT_EQ(live_snapshot.speed, 5555.0f);
}
