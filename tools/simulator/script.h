// tools/simulator/script.h: test scripts for the stand-in.
//
// A script is read and checked whole before anything runs; a bad line
// stops the stand-in with "script: FILE:LINE: <reason>" on standard error
// and exit code 2. The line format is in tools/simulator/README.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

constexpr int SCRIPT_MAX_COMMANDS = 4096;
constexpr int SCRIPT_ERROR_SIZE = 512;
constexpr int SCRIPT_MAX_FPS = 1000;

enum ScriptOp {
    SCRIPT_FPS,        // a: frames a second for later "frames"
    SCRIPT_SET,        // var, index, number
    SCRIPT_SESSION,    // text: the new session-info text
    SCRIPT_GENERATED,  // the race's own session-info text again
    SCRIPT_FRAMES,     // a: count, b: frames a second (0: the current rate)
    SCRIPT_DRIVE,      // a: count of frames of the race itself
    SCRIPT_STATUS,     // a: 0 or 1
    SCRIPT_FRAMELEN,   // a: frame length
    SCRIPT_BUFFERS,    // a: buffer count
    SCRIPT_HIDE,       // var: left out of the variable table
    SCRIPT_PLACE,      // var, a: offset published for it
    SCRIPT_PAUSE,      // a: milliseconds
    SCRIPT_STOP,       // no more frames; wait for Ctrl-C
    SCRIPT_EXIT,       // a: exit code
};

struct ScriptCommand {
    ScriptOp op;
    int line;
    int var;
    int index;
    int64_t a;
    int64_t b;
    double number;
    bool integer;      // SCRIPT_SET: the value was written as an integer
    int text;          // SCRIPT_SESSION: index into the script's texts
};

// What the player calls to make things happen; main supplies them.
struct ScriptHost {
    void (*emit_frame)();            // publish the working frame
    void (*drive_frame)();           // one frame of the race itself
    void (*publish_vars)();          // rewrite the variable table
    void (*generated_info)();        // put the race's own text back
    // Sleeps until `when`, reporting keys meanwhile; false once a stop was
    // asked for (then at once).
    bool (*wait_until)(std::chrono::steady_clock::time_point when);
};

// Reads and checks `path` against the variable catalogue (Var_Init first).
// Returns true, or false with the reason in `error` ("FILE:LINE: reason").
bool Script_Load(const char* path, char* error, int error_size);

// Checks script text given directly; `name` stands in for the file name and
// file references resolve against `dir` (tests).
bool Script_Parse(const std::string& text, const char* name, const std::string& dir, char* error,
                  int error_size);

// Forgets the loaded script (tests).
void Script_Reset();

// Commands and session texts of the loaded script.
int Script_CommandCount();
const ScriptCommand& Script_Command(int i);
const std::string& Script_Text(int i);

// Plays the loaded script. Returns the exit code: that of "exit", else 0.
// Returns early (0) once a stop is asked for.
int Script_Run(const ScriptHost& host, int default_fps);
