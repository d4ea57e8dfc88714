// fuzz/fuzz_tokenize.cpp: the command tokenizer over arbitrary text.
//
// The input, with a terminator added, is tokenized by both instances (the
// main thread's and the relay thread's), then read token by token. Every
// argument must be a terminated text inside the instance's storage (or the
// empty text for a missing argument) and no longer than a token may be.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "server/cmd.h"

namespace {

void CheckArgs(const CommandArgs& args) {
    const int argc = Cmd_Argc(args);
    if (argc < 0 || argc > CMD_MAX_ARGS) __builtin_trap();
    const char* first = args.storage.data();
    const char* last = first + args.storage.size();
    for (int i = -1; i <= argc; i++) {
        const char* arg = Cmd_Argv(args, i);
        if (arg == nullptr) __builtin_trap();
        if (i < 0 || i >= argc) {
            if (arg[0] != 0) __builtin_trap();   // a missing argument reads as ""
            continue;
        }
        if (arg < first || arg >= last) __builtin_trap();
        const void* end = std::memchr(arg, 0, static_cast<size_t>(last - arg));
        if (end == nullptr) __builtin_trap();
        if (static_cast<const char*>(end) - arg > CMD_MAX_TOKEN - 1) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back(0);

    Cmd_Tokenize(sv_args, text.data());
    CheckArgs(sv_args);
    Cmd_Tokenize(relay_args, text.data());
    CheckArgs(relay_args);
    if (Cmd_Argc(sv_args) != Cmd_Argc(relay_args)) __builtin_trap();
    for (int i = 0; i < Cmd_Argc(sv_args); i++)
        if (std::strcmp(Cmd_Argv(sv_args, i), Cmd_Argv(relay_args, i)) != 0) __builtin_trap();

    // Token by token to the end of the text: each step moves forward and
    // stays inside the text.
    const char* end = text.data() + text.size();
    const char* pos = text.data();
    while (pos != nullptr) {
        const char* next = Cmd_ReadToken(sv_args, pos);
        if (next == nullptr) break;
        if (next <= pos || next > end) __builtin_trap();
        if (std::memchr(sv_args.token.data(), 0, sv_args.token.size()) == nullptr) __builtin_trap();
        pos = next;
    }
    return 0;
}
