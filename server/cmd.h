// server/cmd.h: splits one command line into whitespace-separated arguments.
//
// Two instances run at the same time on different threads: sv_args on the
// main thread (out-of-band requests of dashboard clients) and relay_args on
// the relay thread (command texts for the simulator). Each instance owns
// its token scratch and its argument storage, so they share nothing that
// is written.
//
// Rules of a line:
//   - white space is every byte that, read as a signed 8-bit number, is 32
//     or less: the control characters, the blank and every byte 0x80..0xFF;
//   - "//" starts a comment that runs to the end of its line;
//   - "..." is one argument holding every byte up to the closing quote,
//     white space and newlines included; "" is an empty argument;
//   - a newline outside quotes and comments ends the line, a byte 0 ends
//     the text;
//   - at most CMD_MAX_ARGS arguments are kept; further tokens are dropped.
#pragma once

#include <array>
#include <cstdint>

constexpr int CMD_MAX_ARGS = 80;
// A token keeps at most CMD_MAX_TOKEN - 1 characters; the longest line that
// reaches a tokenizer (an out-of-band request line) is 2047 characters, so
// no token that can arrive is ever cut. A longer token is read whole and
// cut to its first CMD_MAX_TOKEN - 1 characters.
constexpr int CMD_MAX_TOKEN = 2048;
// Room for the arguments of any line of up to CMD_MAX_TOKEN - 1 characters,
// each with its terminator. Arguments of a longer text that do not fit are
// cut to the room that is left.
constexpr int CMD_ARG_STORAGE = CMD_MAX_TOKEN + CMD_MAX_ARGS;

struct CommandArgs {
    int argc;                                    // 0..CMD_MAX_ARGS
    std::array<const char*, CMD_MAX_ARGS> argv;  // into storage
    std::array<char, CMD_ARG_STORAGE> storage;   // argument copies
    std::array<char, CMD_MAX_TOKEN> token;       // Cmd_ReadToken's result
};

extern CommandArgs sv_args;      // main thread only
extern CommandArgs relay_args;   // relay thread only

// Replaces the instance's arguments with those of the first line of `text`
// (NUL-terminated; a null pointer reads as an empty text). The argument
// texts stay valid until the instance's next Cmd_Tokenize.
void Cmd_Tokenize(CommandArgs& args, const char* text);

// Number of arguments of the latest line.
int Cmd_Argc(const CommandArgs& args);

// Argument i, or "" when i is negative or not below the count, so a
// missing argument always reads as an empty text.
const char* Cmd_Argv(const CommandArgs& args, int i);

// Reads one token starting at `pos` into args.token and returns the
// position behind it, or nullptr when no token is left (args.token is then
// empty). Newlines are skipped as white space here.
const char* Cmd_ReadToken(CommandArgs& args, const char* pos);

// Decimal text to a number as the standard conversion reads it (leading
// blanks, a sign, digits; anything else ends it; no digits give 0), with a
// value beyond the 32-bit range held at its limit instead of overflowing.
// Both threads use it: it keeps no state.
int32_t Cmd_ArgToInt(const char* text);

// Empties the instance (tests, start-up).
void Cmd_Reset(CommandArgs& args);
