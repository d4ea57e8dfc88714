// tests/integration/harness.h: runs the real programs as a user would.
//
// Each program starts in a temporary directory of its own with its standard
// output captured through a pipe (standard error goes to "stderr.txt" there).
// Every wait is bounded, and a Proc kills its process group when it goes out
// of scope, so no test leaves a program running or hangs.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

struct Proc {
    pid_t pid = -1;
    int out_fd = -1;          // read end of the stdout pipe
    std::string dir;          // the program's working directory
    std::string out;          // everything read from stdout so far (for a
                              // Windows program, with its "\r" dropped)
    bool exited = false;
    int exit_code = -1;       // valid when exited; 128 + signal when killed
    bool wine = false;
    bool owns_dir = false;    // the harness made `dir` and removes it

    Proc() = default;
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;
    ~Proc();
};

// The native build's program `name`.
std::string Harness_NativeProgram(const char* name);
// The Windows build's directory (TARMIS_WIN_DIR) or "" when not set.
std::string Harness_WinDir();
// True when the Windows build and Wine can be used by this run.
bool Harness_HaveWine();
// Why the Windows variant of a test does not run, and how to run it; every
// such skip says it.
extern const char* const HARNESS_WINE_SKIP;
// Skips the test unless this run has the Windows build and Wine.
#define TARMIS_SKIP_WITHOUT_WINE() \
    if (!Harness_HaveWine()) GTEST_SKIP() << HARNESS_WINE_SKIP

// The simulator's named objects (window, mapping, event) exist once per
// machine (natively) or per Wine prefix. When a native stand-in that this
// test program did not start holds them (one of ./run.sh, or one left behind
// by a killed test run), this returns a message naming it and how to end it;
// otherwise "". A test run's Wine prefix is its own, so under Wine: "".
std::string Harness_ForeignSimulator(bool wine);

// Starts `argv` (argv[0] a path). With `wine`, argv[0] is a Windows .exe
// that runs under wine. `dir` is the working directory, or "" for a new
// temporary one. Returns false when the program cannot be started.
bool Harness_Start(Proc& p, const std::vector<std::string>& argv, bool wine = false,
                   const std::string& dir = "");
// Starts the named program of the native build, or of the Windows build
// under Wine: Harness_StartProgram(p, "tarmis_server", {"-t"}, wine).
// A stand-in, or a server that reads the simulator (no -t), is not started
// while a stand-in of someone else holds the simulator's named objects: the
// test fails at once with Harness_ForeignSimulator's message, and `p` reads
// as a program that has ended, so that no wait on it lasts.
bool Harness_StartProgram(Proc& p, const char* name, const std::vector<std::string>& args,
                          bool wine, const std::string& dir = "");

// Reads what the program has written so far, waiting at most `timeout_ms`
// for something to arrive. Notes the exit when the program has ended.
void Harness_Poll(Proc& p, int timeout_ms);
// Waits until stdout holds `needle`, the program ends, or `timeout_ms`
// passes. Returns true when `needle` was seen.
bool Harness_WaitOutput(Proc& p, const std::string& needle, int timeout_ms);
// Waits at most `timeout_ms` for the program to end; true when it has.
bool Harness_WaitExit(Proc& p, int timeout_ms);

// Sends Ctrl-C (SIGINT) to the program.
void Harness_Interrupt(Proc& p);
// Kills the program and everything in its process group, and reaps it.
void Harness_Kill(Proc& p);

// A UDP port on 127.0.0.1 that was free a moment ago.
int Harness_FreeUdpPort();
// The whole content of a file, or "" when it cannot be read.
std::string Harness_ReadFile(const std::string& path);
// Lines of `text`, without their line ends.
std::vector<std::string> Harness_Lines(const std::string& text);
// The members of one flat JSON object (a line of tarmis_dash --json), each
// value as written (a string keeps its quotes).
std::map<std::string, std::string> Harness_JsonFields(const std::string& line);
// Milliseconds of a monotonic clock.
double Harness_NowMs();

// A test run twice: with the native programs, and with the Windows programs
// under Wine (skipped when this run has no Windows build).
class BuildRun : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) TARMIS_SKIP_WITHOUT_WINE();
    }
    bool wine() const { return GetParam(); }
    // The bound of every wait for a program; Wine starts programs slowly.
    int wait_ms() const { return wine() ? 60000 : 15000; }
    // Skips the test unless each tool is built for this run's build.
    void RequireTools(std::initializer_list<const char*> tools);
};

// Instantiates a BuildRun suite as Builds/SUITE.TEST/Native and .../Wine.
#define TARMIS_BUILD_SUITE(suite)                                             \
    INSTANTIATE_TEST_SUITE_P(Builds, suite, ::testing::Values(false, true),  \
                             [](const ::testing::TestParamInfo<bool>& info) { \
                                 return std::string(info.param ? "Wine" : "Native"); \
                             })
