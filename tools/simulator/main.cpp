// tools/simulator/main.cpp: the stand-in simulator: options, start-up, the
// frame loop, key reports and the way out.
//
// Standard output carries only these lines, each flushed at once:
//   start-up lines ("tarmis_simulator: ..."), left out with --quiet
//   "READY"                                 mapping, event and window exist
//   "KEY WM_KEYDOWN 13 0x00000000 123456"   one per key message received
//   "FRAME ..."                             once a second with --verbose
//   "REPLAY ...", "RECORD ..."              what --replay plays, what --record wrote
//   "Press Enter to close this window."     at the end, in a console of its own
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "tools/simulator/drive.h"
#include "tools/simulator/field.h"
#include "tools/simulator/ibt.h"
#include "tools/simulator/layout.h"
#include "tools/simulator/script.h"
#include "tools/simulator/sessioninfo.h"
#include "tools/simulator/variables.h"

static const char* const SIM_MAPPING_NAME = "Local\\IRSDKMemMapFileName";
static const char* const SIM_EVENT_NAME = "Local\\IRSDKDataValidEvent";
static const char* const SIM_WINDOW_CLASS = "iRacingSim";
static const char* const SIM_WINDOW_TITLE = "iRacing.com Simulator";
static const char* const SIM_CHILD_CLASS = "SimWinClass";

constexpr int SIM_DEFAULT_FPS = 60;
constexpr int SIM_EXIT_BAD_USAGE = 2;
constexpr int SIM_EXIT_BUSY = 3;

struct SimOptions {
    const char* script = nullptr;
    int fps = SIM_DEFAULT_FPS;
    bool quiet = false;
    bool verbose = false;
    uint32_t seed = 1;
    bool post = false;
    uint32_t post_message = 0, post_key = 0, post_flags = 0;
    bool probe = false;
    const char* dump = nullptr;
    int wait_ms = 1000;
    bool bench_rpm = false;
    const char* replay = nullptr;
    bool loop = false;
    double speed = 1.0;
    double from = 0.0;
    const char* record = nullptr;
    double seconds = 0.0;       // 0: record until the end
};

static SimOptions sim_options;
static std::mutex sim_out_lock;
static std::atomic<bool> sim_stop;
static std::atomic<bool> sim_done;
static uint8_t* sim_view;
static char sim_info[INFO_TEXT_SIZE];
static int sim_info_frames;      // frames since the race's text was last rebuilt
static bool sim_info_pending;
static std::FILE* sim_record_file;
static int64_t sim_record_limit;       // frames to record, 0 no limit
static int sim_record_lap, sim_record_laps;
static double sim_record_start, sim_record_end;

__attribute__((format(gnu_printf, 1, 2))) static void Sim_Print(const char* fmt, ...) {
    std::lock_guard<std::mutex> hold(sim_out_lock);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

// Runs on the window's thread for every key message that arrives.
static void Sim_OnKey(uint32_t message, uint32_t wparam, uint32_t lparam) {
    char name[16];
    if (message == 0x0100)
        std::snprintf(name, sizeof name, "WM_KEYDOWN");
    else if (message == 0x0101)
        std::snprintf(name, sizeof name, "WM_KEYUP");
    else
        std::snprintf(name, sizeof name, "0x%04X", message);
    Sim_Print("KEY %s %u 0x%08X %u\n", name, wparam, lparam, Sys_PlatformTimer());
}

static void Sim_FinishRecording();

// A console made for this process alone (a recording dropped onto the .exe)
// closes as the process ends: asks for Enter first, so that the racer can
// read the last lines. Returns at once in any other console.
static void Sim_HoldWindow() {
    if (!SimHost_ConsoleOfItsOwn()) return;
    Sim_Print("Press Enter to close this window.\n");
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
}

// Ends the process with `code` on a refusal or a failure at start-up (no
// frame published yet), once the racer has read why.
[[noreturn]] static void Sim_Quit(int code) {
    std::fflush(stderr);
    Sim_HoldWindow();
    std::exit(code);
}

// Clears the status bit, completes any --record file and ends the process;
// the named objects stay. At an end of its own (not Ctrl-C or closing the
// window), a console of its own stays open until Enter.
[[noreturn]] static void Sim_Shutdown(int code) {
    if (sim_view != nullptr) Layout_SetStatus(false);
    Sim_FinishRecording();
    SimHost_StopWindow();
    std::fflush(stdout);
    sim_done.store(true);
    if (!sim_stop.load()) Sim_HoldWindow();
    Sys_Exit(code);
}

// Ctrl-C, Ctrl-Break, closing the console, SIGINT, SIGTERM: the frame loop
// sees the request within a few milliseconds and shuts down; should it not,
// the status bit is cleared here.
static void Sim_CtrlHandler() {
    sim_stop.store(true);
    for (int i = 0; i < 200 && !sim_done.load(); i++) Sys_SleepMilliseconds(10);
    if (!sim_done.load() && sim_view != nullptr) Layout_SetStatus(false);
    Sys_Exit(0);
}

static bool Sim_WaitUntil(std::chrono::steady_clock::time_point when) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        if (sim_stop.load()) return false;
        auto now = Clock::now();
        if (now >= when) return true;
        auto slice = now + std::chrono::milliseconds(10);
        std::this_thread::sleep_until(when < slice ? when : slice);
    }
}

static void Sim_PublishVars() {
    static LayoutVarHeader headers[LAYOUT_MAX_VARS];
    int n = Var_PublishedHeaders(headers, LAYOUT_MAX_VARS);
    Layout_WriteVarHeaders(headers, n);
}

static void Sim_GeneratedInfo() {
    int len = Info_Build(sim_info, sizeof sim_info);
    Layout_SetSessionInfo(sim_info, len);
    sim_info_frames = 0;
    sim_info_pending = false;
}

static int v_session_tick = -1;

// Completes the --record file: header with the frame count, times and laps.
// Does nothing when no recording is open.
static void Sim_FinishRecording() {
    if (sim_record_file == nullptr) return;
    if (Ibt_FramesWritten() == 0) {
        // Not one frame: the file is still a recording, of nothing.
        Ibt_WriteBegin(sim_record_file, Layout_ReadField(LAYOUT_TICK_RATE), Layout_VarHeaders(), 0,
                       "", 0, Layout_FrameLength(), static_cast<int64_t>(std::time(nullptr)));
    }
    bool ok = Ibt_WriteEnd(Layout_LastTick(), sim_record_start, sim_record_end, sim_record_laps);
    ok = std::fclose(sim_record_file) == 0 && ok;
    sim_record_file = nullptr;
    Sim_Print("RECORD %s %d frames, %d laps completed%s\n", sim_options.record, Ibt_FramesWritten(),
              sim_record_laps, ok ? "" : ", WRITE FAILED");
}

// --record: the frame just published goes into the file; the first one
// also writes the variable table and session text as they stand then.
static void Sim_RecordFrame() {
    if (sim_record_file == nullptr) return;
    static const int v_lap = Var_Find("Lap");
    static const int v_clock = Var_Find("SessionClock");
    const int lap = static_cast<int>(Var_GetNumber(v_lap, 0));
    const int tick_rate = Layout_ReadField(LAYOUT_TICK_RATE);
    double clock = Var_GetNumber(v_clock, 0);
    if (Ibt_FramesWritten() == 0) {
        const char* text = Layout_SessionText();
        if (!Ibt_WriteBegin(sim_record_file, tick_rate, Layout_VarHeaders(),
                            Layout_ReadField(LAYOUT_NUM_VARS), text,
                            static_cast<int32_t>(std::strlen(text)), Layout_FrameLength(),
                            static_cast<int64_t>(std::time(nullptr)))) {
            Sim_Print("RECORD %s: cannot write\n", sim_options.record);
        }
        sim_record_start = clock;
        sim_record_lap = lap;
    } else if (lap == sim_record_lap + 1) {
        sim_record_laps++;
    }
    sim_record_lap = lap;
    // A script sets no session clock: count the frames instead.
    if (clock <= sim_record_start)
        clock = sim_record_start + static_cast<double>(Ibt_FramesWritten()) / tick_rate;
    sim_record_end = clock;
    Ibt_WriteFrame(var_frame);
    if (sim_record_limit > 0 && Ibt_FramesWritten() >= sim_record_limit) {
        Sim_FinishRecording();
        sim_stop.store(true);
    }
}

// Publishes the working frame with the next tick count and signals it.
static void Sim_EmitFrame() {
    Var_SetInt(v_session_tick, 0, Layout_LastTick() + 1);
    Layout_PublishFrame(var_frame);
    SimHost_SignalEvent();
    Sim_RecordFrame();
}

// One frame of the race: the cars move, the text follows the results (at
// most once a second, as a reader rescans it only now and then anyway).
static void Sim_DriveFrame() {
    Field_Step(1.0 / sim_options.fps);
    Drive_WriteVars();
    Field_WriteVars(Layout_LastTick() + 1);
    if (Field_TakeNews()) sim_info_pending = true;
    if (sim_info_pending && ++sim_info_frames >= sim_options.fps) Sim_GeneratedInfo();
    // --bench-rpm: the engine speed carries a frame number 1..30000 (it
    // travels as a 16-bit integer), and the moment just before the frame is
    // published is printed in microseconds of the monotonic clock, for
    // freshness benches (taken before, so that a reader woken by the frame
    // can never seem to have it before it was out).
    static int bench_seq = 0;
    if (sim_options.bench_rpm) {
        static const int v_rpm = Var_Find("RPM");
        bench_seq = bench_seq % 30000 + 1;
        Var_SetNumber(v_rpm, 0, bench_seq);
    }
    long long bench_us = 0;
    if (sim_options.bench_rpm)
        bench_us = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
    Sim_EmitFrame();
    if (sim_options.bench_rpm) Sim_Print("PUB %d %lld\n", bench_seq, bench_us);
    if (sim_options.verbose && Layout_LastTick() % sim_options.fps == 0) {
        const FieldCar& p = field_cars[FIELD_PLAYER];
        Sim_Print("FRAME tick %d lap %d gear %d rpm %.0f speed %.1f fuel %.2f place %d last %.3f\n",
                  Layout_LastTick(), p.laps_done + 1, drive_car.gear, drive_car.rpm,
                  drive_car.speed, drive_car.fuel, p.place, static_cast<double>(p.last_time));
    }
}

[[noreturn]] static void Sim_Usage(const char* msg) {
    if (msg != nullptr) std::fprintf(stderr, "tarmis_simulator: %s\n", msg);
    std::fprintf(stderr,
                 "usage: tarmis_simulator [--script FILE] [--fps N] [--quiet] [--verbose] [--seed N]\n"
                 "                        [--bench-rpm]\n"
                 "                        [--record FILE.ibt [--seconds N]]\n"
                 "       tarmis_simulator [--replay] FILE.ibt [--loop] [--speed X] [--from SECONDS]\n"
                 "       tarmis_simulator --post down|up|MESSAGE KEY FLAGS\n"
                 "       tarmis_simulator --probe [--dump FILE] [--wait MS]\n");
    Sim_Quit(SIM_EXIT_BAD_USAGE);
}

static uint32_t Sim_ParseU32(const char* s, const char* what) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (end == s || *end != 0 || v > 0xffffffffull || s[0] == '-') {
        char msg[128];
        std::snprintf(msg, sizeof msg, "bad %s '%s'", what, s);
        Sim_Usage(msg);
    }
    return static_cast<uint32_t>(v);
}

static double Sim_ParseNumber(const char* s, double lo, double hi, const char* what) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end == s || *end != 0 || !(v >= lo && v <= hi)) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "%s takes %g to %g, not '%s'", what, lo, hi, s);
        Sim_Usage(msg);
    }
    return v;
}

static void Sim_ParseOptions(int argc, char** argv) {
    SimOptions& o = sim_options;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        auto next = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                char msg[128];
                std::snprintf(msg, sizeof msg, "%s needs %s", a, what);
                Sim_Usage(msg);
            }
            return argv[++i];
        };
        if (std::strcmp(a, "--script") == 0) {
            o.script = next("a file");
        } else if (std::strcmp(a, "--fps") == 0) {
            uint32_t fps = Sim_ParseU32(next("a rate"), "rate");
            if (fps < 1 || fps > SCRIPT_MAX_FPS) Sim_Usage("--fps takes 1 to 1000");
            o.fps = static_cast<int>(fps);
        } else if (std::strcmp(a, "--quiet") == 0) {
            o.quiet = true;
        } else if (std::strcmp(a, "--verbose") == 0) {
            o.verbose = true;
        } else if (std::strcmp(a, "--bench-rpm") == 0) {
            o.bench_rpm = true;
        } else if (std::strcmp(a, "--seed") == 0) {
            o.seed = Sim_ParseU32(next("a number"), "seed");
        } else if (std::strcmp(a, "--post") == 0) {
            o.post = true;
            const char* m = next("a message");
            if (std::strcmp(m, "down") == 0)
                o.post_message = 0x0100;
            else if (std::strcmp(m, "up") == 0)
                o.post_message = 0x0101;
            else
                o.post_message = Sim_ParseU32(m, "message");
            o.post_key = Sim_ParseU32(next("a key code"), "key code");
            o.post_flags = Sim_ParseU32(next("flags"), "flags");
        } else if (std::strcmp(a, "--replay") == 0 || a[0] != '-') {
            // A path alone is what dropping a file onto the program gives.
            const char* path = a[0] != '-' ? a : next("a recording");
            if (o.replay != nullptr) Sim_Usage("one recording at a time");
            o.replay = path;
        } else if (std::strcmp(a, "--loop") == 0) {
            o.loop = true;
        } else if (std::strcmp(a, "--speed") == 0) {
            o.speed = Sim_ParseNumber(next("a factor"), 0.25, 8.0, "--speed");
        } else if (std::strcmp(a, "--from") == 0) {
            o.from = Sim_ParseNumber(next("seconds"), 0.0, 1e9, "--from");
        } else if (std::strcmp(a, "--record") == 0) {
            o.record = next("a file");
        } else if (std::strcmp(a, "--seconds") == 0) {
            o.seconds = Sim_ParseNumber(next("seconds"), 0.001, 1e7, "--seconds");
        } else if (std::strcmp(a, "--probe") == 0) {
            o.probe = true;
        } else if (std::strcmp(a, "--dump") == 0) {
            o.dump = next("a file");
        } else if (std::strcmp(a, "--wait") == 0) {
            uint32_t ms = Sim_ParseU32(next("milliseconds"), "wait");
            if (ms > 600000) Sim_Usage("--wait takes at most 600000");
            o.wait_ms = static_cast<int>(ms);
        } else {
            char msg[128];
            std::snprintf(msg, sizeof msg, "unknown option '%s'", a);
            Sim_Usage(msg);
        }
    }
    if (o.post && o.probe) Sim_Usage("--post and --probe exclude each other");
    if (o.replay != nullptr && (o.post || o.probe || o.script != nullptr || o.record != nullptr))
        Sim_Usage("--replay plays a recording alone, without --script, --record, --post, --probe");
    if (o.replay == nullptr && (o.loop || o.speed != 1.0 || o.from != 0.0))
        Sim_Usage("--loop, --speed and --from go with --replay");
    if (o.seconds > 0 && o.record == nullptr) Sim_Usage("--seconds goes with --record");
}

// --post: one key message to the running stand-in's window.
static int Sim_Post() {
    const SimOptions& o = sim_options;
    bool ok = SimHost_PostKey(SIM_WINDOW_CLASS, SIM_WINDOW_TITLE, SIM_CHILD_CLASS, o.post_message,
                              o.post_key, o.post_flags);
    std::printf(ok ? "POSTED\n" : "NO WINDOW\n");
    return ok ? 0 : 1;
}

static int32_t Sim_Field(const uint8_t* view, uint32_t size, uint32_t offset) {
    int32_t v = 0;
    if (offset + 4 <= size) std::memcpy(&v, view + offset, 4);
    return v;
}

// --probe: what a reader finds under the names, from another process.
static int Sim_Probe() {
    uint32_t size = 0;
    const uint8_t* view = SimHost_OpenMappingReadOnly(SIM_MAPPING_NAME, &size);
    if (view == nullptr) {
        std::printf("PROBE no mapping\n");
        return 1;
    }
    std::printf("PROBE size %u version %d status %d vars %d frame %d buffers %d session %d "
                "update %d\n",
                size, Sim_Field(view, size, LAYOUT_VER), Sim_Field(view, size, LAYOUT_STATUS),
                Sim_Field(view, size, LAYOUT_NUM_VARS), Sim_Field(view, size, LAYOUT_FRAME_LEN),
                Sim_Field(view, size, LAYOUT_NUM_BUFFERS), Sim_Field(view, size, LAYOUT_SESSION_LEN),
                Sim_Field(view, size, LAYOUT_SESSION_UPDATE));
    std::printf("PROBE ticks");
    for (int i = 0; i < LAYOUT_MAX_BUFFERS; i++)
        std::printf(" %d", Sim_Field(view, size, LAYOUT_BUFFER_TABLE + i * LAYOUT_BUFFER_ENTRY_SIZE));
    std::printf("\n");
    if (sim_options.dump != nullptr) {
        std::ofstream out(sim_options.dump, std::ios::binary);
        out.write(reinterpret_cast<const char*>(view), size);
        if (!out) {
            std::printf("PROBE cannot write '%s'\n", sim_options.dump);
            return 1;
        }
    }
    std::fflush(stdout);
    if (!SimHost_OpenEvent(SIM_EVENT_NAME)) {
        std::printf("PROBE no event\n");
        return 1;
    }
    int events = 0;
    uint32_t start = Sys_PlatformTimer();
    for (;;) {
        int32_t left = sim_options.wait_ms - static_cast<int32_t>(Sys_PlatformTimer() - start);
        if (left <= 0) break;
        if (SimHost_WaitEvent(left)) events++;
    }
    std::printf("EVENTS %d\n", events);
    SimHost_CloseEvent();
    SimHost_CloseMappingReadOnly();
    return 0;
}

// Creates the window, the mapping and the event; on failure prints why and
// ends the process (exit code 3 when another stand-in runs, else 1).
static uint8_t* Sim_CreateObjects() {
    Sys_InstallCtrlHandler(Sim_CtrlHandler);
    // The window first: it is what makes this the only stand-in running.
    SimHostWindow w =
        SimHost_StartWindow(SIM_WINDOW_CLASS, SIM_WINDOW_TITLE, SIM_CHILD_CLASS, Sim_OnKey);
    if (w == SIMHOST_WINDOW_BUSY) {
        std::fprintf(stderr, "tarmis_simulator: another simulator is running\n");
        Sim_Quit(SIM_EXIT_BUSY);
    }
    if (w != SIMHOST_WINDOW_OK) {
        std::fprintf(stderr, "tarmis_simulator: cannot create the window\n");
        Sim_Quit(1);
    }
    uint8_t* view = SimHost_CreateMapping(SIM_MAPPING_NAME, LAYOUT_MAPPING_SIZE);
    if (view == nullptr) {
        std::fprintf(stderr, "tarmis_simulator: cannot create the mapping %s\n", SIM_MAPPING_NAME);
        SimHost_StopWindow();
        Sim_Quit(1);
    }
    if (!SimHost_CreateEvent(SIM_EVENT_NAME)) {
        std::fprintf(stderr, "tarmis_simulator: cannot create the event %s\n", SIM_EVENT_NAME);
        SimHost_StopWindow();
        Sim_Quit(1);
    }
    SimHost_FineTimer();
    return view;
}

static void Sim_PrintObjects(int tick_rate, const char* what) {
    if (sim_options.quiet) return;
    Sim_Print("tarmis_simulator: mapping %s, %u bytes: %d variables, frame of %d bytes in %d "
              "buffers, session info of %d bytes\n",
              SIM_MAPPING_NAME, LAYOUT_MAPPING_SIZE, Layout_ReadField(LAYOUT_NUM_VARS),
              Layout_FrameLength(), Layout_ReadField(LAYOUT_NUM_BUFFERS),
              Layout_ReadField(LAYOUT_SESSION_LEN) - 1);
    Sim_Print("tarmis_simulator: event %s, window \"%s\" (%s, %s), %d frames a second%s\n",
              SIM_EVENT_NAME, SIM_WINDOW_TITLE, SIM_WINDOW_CLASS, SIM_CHILD_CLASS, tick_rate,
              what);
}

// One sentence on standard error: the file's name, then `reason`.
[[noreturn]] static void Sim_ReplayError(const char* reason) {
    std::fprintf(stderr, "tarmis_simulator: %s %s\n", sim_options.replay, reason);
    Sim_Quit(SIM_EXIT_BAD_USAGE);
}

// The "Lap" of frame `index`, or -1 when the recording has none.
static int Sim_ReplayLap(const IbtSource& src, const IbtRecording& rec, int index, uint8_t* frame) {
    const int ofs = Ibt_VarOffset(rec, "Lap", 4);
    if (ofs < 0 || !Ibt_ReadFrame(src, rec, index, frame)) return -1;
    int32_t lap;
    std::memcpy(&lap, frame + ofs, 4);
    return lap;
}

// --replay: plays a recording through the mapping as the simulator would,
// one frame per tick of the recording's rate (times --speed). Refuses a bad
// file with one line on standard error and exit code 2 before creating
// anything; ends with 0 after the last frame unless --loop.
[[noreturn]] static void Sim_Replay() {
    static uint8_t frame[LAYOUT_SLOT_SIZE];
    const SimOptions& o = sim_options;
    std::ifstream file(o.replay, std::ios::binary);
    if (!file) Sim_ReplayError("cannot be opened");
    const IbtSource src = Ibt_FileSource(file);
    IbtRecording rec;
    char error[IBT_ERROR_SIZE];
    if (!Ibt_Open(src, rec, error, sizeof error)) Sim_ReplayError(error);
    const double duration = static_cast<double>(rec.frame_count) / rec.tick_rate;
    const double first_d = o.from * rec.tick_rate;
    if (first_d >= rec.frame_count) {
        std::snprintf(error, sizeof error, "ends after %.2f s, before --from %g s", duration,
                      o.from);
        Sim_ReplayError(error);
    }
    const int first = static_cast<int>(first_d);
    for (int i : {first, rec.frame_count - 1})
        if (!Ibt_ReadFrame(src, rec, i, frame)) Sim_ReplayError("cannot be read to its end");

    char track[96], car[96], date[32] = "unknown date";
    Ibt_SessionValue(rec, "TrackDisplayName:", 0, track, sizeof track);
    if (track[0] == 0) Ibt_SessionValue(rec, "TrackName:", 0, track, sizeof track);
    Ibt_PlayerCar(rec, car, sizeof car);
    const std::time_t when = static_cast<std::time_t>(rec.start_date);
    if (const std::tm* tm = std::gmtime(&when))
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", tm);
    const int lap_first = Sim_ReplayLap(src, rec, 0, frame);
    const int lap_last = Sim_ReplayLap(src, rec, rec.frame_count - 1, frame);
    Sim_Print("REPLAY %s: track %s, car %s, %d frames of %d bytes, %.2f s at %d a second\n",
              o.replay, track[0] ? track : "unknown", car[0] ? car : "unknown", rec.frame_count,
              rec.frame_len, duration, rec.tick_rate);
    Sim_Print("REPLAY lap %d to %d (%d laps counted), stint %.2f s to %.2f s of the session "
              "recorded %s; %d variables, session info of %d bytes\n",
              lap_first, lap_last, rec.lap_count, rec.start_time, rec.end_time, date, rec.num_vars,
              rec.session_len);

    uint8_t* view = Sim_CreateObjects();
    Layout_Init(view, rec.tick_rate, LAYOUT_DEFAULT_BUFFERS);
    Layout_SetFrameLength(rec.frame_len);
    Layout_WriteRawVarHeaders(rec.var_headers, rec.num_vars);
    Layout_SetSessionInfo(rec.session, rec.session_len);
    sim_view = view;
    Layout_SetStatus(true);
    Sim_PrintObjects(rec.tick_rate, ", replay");
    Sim_Print("READY\n");

    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / (rec.tick_rate * o.speed)));
    const int lap_ofs = Ibt_VarOffset(rec, "Lap", 4);
    auto next = Clock::now();
    int played = 0;
    for (int i = first;; i++) {
        if (i >= rec.frame_count) {
            if (!o.loop) break;
            Sim_Print("REPLAY loop after %d frames\n", played);
            i = first;
        }
        if (!Ibt_ReadFrame(src, rec, i, frame)) {
            std::fprintf(stderr, "tarmis_simulator: %s cannot be read at frame %d\n", o.replay, i);
            std::fflush(stderr);
            Sim_Shutdown(SIM_EXIT_BAD_USAGE);
        }
        Layout_PublishFrame(frame);
        SimHost_SignalEvent();
        played++;
        if ((i + 1) % rec.tick_rate == 0 || i + 1 == rec.frame_count) {
            int32_t lap = -1;
            if (lap_ofs >= 0) std::memcpy(&lap, frame + lap_ofs, 4);
            Sim_Print("REPLAY frame %d/%d %.2f s lap %d tick %d\n", i + 1, rec.frame_count,
                      (i + 1.0) / rec.tick_rate, lap, Layout_LastTick());
        }
        next += period;
        if (Clock::now() - next > std::chrono::seconds(1)) next = Clock::now();
        if (!Sim_WaitUntil(next)) Sim_Shutdown(0);
    }
    Sim_Print("REPLAY end, %d frames played\n", played);
    Sim_Shutdown(0);
}

int main(int argc, char** argv) {
    Sim_ParseOptions(argc, argv);
    if (sim_options.post) return Sim_Post();
    if (sim_options.probe) return Sim_Probe();
    if (sim_options.replay != nullptr) Sim_Replay();

    Var_Init();
    Drive_Init();
    Field_InitVars();
    Field_Init(sim_options.seed);
    v_session_tick = Var_Find("SessionTick");
    if (sim_options.script != nullptr) {
        char error[SCRIPT_ERROR_SIZE];
        if (!Script_Load(sim_options.script, error, sizeof error)) {
            std::fprintf(stderr, "script: %s\n", error);
            return SIM_EXIT_BAD_USAGE;
        }
    }
    if (sim_options.record != nullptr) {
        sim_record_file = std::fopen(sim_options.record, "wb");
        if (sim_record_file == nullptr) {
            std::fprintf(stderr, "tarmis_simulator: %s: cannot write the file\n",
                         sim_options.record);
            return SIM_EXIT_BAD_USAGE;
        }
    }

    uint8_t* view = Sim_CreateObjects();
    Layout_Init(view, sim_options.fps, LAYOUT_DEFAULT_BUFFERS);
    Layout_SetFrameLength(var_frame_len);
    Sim_PublishVars();
    Sim_GeneratedInfo();
    Field_TakeNews();   // the text just written already has the new race
    sim_view = view;
    Layout_SetStatus(true);
    if (sim_options.seconds > 0) {
        const double frames = sim_options.seconds * sim_options.fps;
        sim_record_limit = frames < 1 ? 1 : static_cast<int64_t>(frames + 0.5);
    }

    Sim_PrintObjects(sim_options.fps, sim_options.script != nullptr ? ", script" : "");
    Sim_Print("READY\n");

    int code = 0;
    if (sim_options.script != nullptr) {
        ScriptHost host{Sim_EmitFrame, Sim_DriveFrame, Sim_PublishVars, Sim_GeneratedInfo,
                        Sim_WaitUntil};
        code = Script_Run(host, sim_options.fps);
    } else {
        using Clock = std::chrono::steady_clock;
        auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / sim_options.fps));
        auto next = Clock::now();
        for (;;) {
            Sim_DriveFrame();
            next += period;
            // After a stall (a suspended process) the pace starts afresh
            // rather than racing to catch up.
            if (Clock::now() - next > std::chrono::seconds(1)) next = Clock::now();
            if (!Sim_WaitUntil(next)) break;
        }
    }
    Sim_Shutdown(code);
}
