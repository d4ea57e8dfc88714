// tests/integration/harness.h: runs the real programs as a user would.
//
// Each program starts in a temporary directory of its own with its standard
// output captured through a pipe (standard error goes to "stderr.txt" there).
// Every wait is bounded, and a Proc kills its process group when it goes out
// of scope, so no test leaves a program running or hangs.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct Proc {
    pid_t pid = -1;
    int out_fd = -1;          // read end of the stdout pipe
    std::string dir;          // the program's working directory
    std::string out;          // stdout so far (a Windows program's "\r" dropped)
    bool exited = false;
    int exit_code = -1;       // valid when exited; 128 + signal when killed
    bool wine = false;
    bool owns_dir = false;    // the harness made `dir` and removes it

    Proc() = default;
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;
    ~Proc();
};

// The Windows build's directory (TARMIS_WIN_DIR) or "" when not set.
std::string Harness_WinDir();

// Starts `argv` (argv[0] a path; with `wine` a Windows .exe run by wine) in
// `dir`, or in a new temporary directory when "". False when it cannot.
bool Harness_Start(Proc& p, const std::vector<std::string>& argv, bool wine = false,
                   const std::string& dir = "");
// Starts the named program of the native build, or of the Windows build
// under Wine. (A stand-in that finds the simulator's named objects taken by
// another one ends at once, saying so on standard error.)
bool Harness_StartProgram(Proc& p, const char* name, const std::vector<std::string>& args,
                          bool wine, const std::string& dir = "");

// Starts the server of this run's build with `args` and its standard output
// on `out_fd`, whose other end `read_fd` the Proc then reads (and closes);
// SIGPIPE at its default, as a shell leaves it. With `new_session` it leads
// a session of its own, as on a terminal.
bool Harness_StartServerOn(Proc& p, int out_fd, int read_fd, const std::vector<std::string>& args, bool wine,
                           bool new_session = false);

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
// under Wine (skipped, saying how to run it, when this run has no Windows build).
class BuildRun : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override;
    bool wine() const { return GetParam(); }
    // The bound of every wait for a program; Wine starts programs slowly.
    int wait_ms() const { return wine() ? 60000 : 15000; }
};

// Instantiates a BuildRun suite as Builds/SUITE.TEST/Native and .../Wine.
#define TARMIS_BUILD_SUITE(suite)                                             \
    INSTANTIATE_TEST_SUITE_P(Builds, suite, ::testing::Values(false, true),  \
                             [](const ::testing::TestParamInfo<bool>& info) { \
                                 return std::string(info.param ? "Wine" : "Native"); \
                             })
