// server/cmd.cpp: the command tokenizer.
#include "server/cmd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

CommandArgs sv_args{};
CommandArgs relay_args{};

namespace {

// Bytes 0x80..0xFF are negative as signed 8-bit numbers and so count as
// white space, like the control characters and the blank.
bool Cmd_IsSpace(char c) {
    return static_cast<signed char>(c) <= ' ';
}

// Appends one byte to the token, dropping it once the token is full.
void Cmd_TokenPut(CommandArgs& args, int& len, char c) {
    if (len < CMD_MAX_TOKEN - 1) {
        args.token[len++] = c;
    }
}

}  // namespace

const char* Cmd_ReadToken(CommandArgs& args, const char* pos) {
    args.token[0] = '\0';
    if (pos == nullptr) {
        return nullptr;
    }

    for (;;) {
        while (*pos != '\0' && Cmd_IsSpace(*pos)) {
            pos++;
        }
        if (*pos == '\0') {
            return nullptr;
        }
        if (pos[0] == '/' && pos[1] == '/') {
            while (*pos != '\0' && *pos != '\n') {
                pos++;
            }
            continue;
        }
        break;
    }

    int len = 0;
    if (*pos == '"') {
        pos++;
        while (*pos != '\0' && *pos != '"') {
            Cmd_TokenPut(args, len, *pos);
            pos++;
        }
        args.token[len] = '\0';
        return *pos == '"' ? pos + 1 : pos;
    }

    while (*pos != '\0' && !Cmd_IsSpace(*pos)) {
        Cmd_TokenPut(args, len, *pos);
        pos++;
    }
    args.token[len] = '\0';
    return pos;
}

void Cmd_Tokenize(CommandArgs& args, const char* text) {
    args.argc = 0;
    if (text == nullptr) {
        return;
    }

    int used = 0;
    const char* pos = text;
    for (;;) {
        while (*pos != '\0' && *pos != '\n' && Cmd_IsSpace(*pos)) {
            pos++;
        }
        if (*pos == '\n' || *pos == '\0') {
            return;
        }
        pos = Cmd_ReadToken(args, pos);
        if (pos == nullptr) {
            return;
        }
        if (args.argc >= CMD_MAX_ARGS) {
            continue;
        }
        // Copy the token into the storage, cut to the room left there; a
        // line of fewer than CMD_MAX_TOKEN characters always fits whole.
        // Once the storage is full, further arguments are empty texts: the
        // storage's last byte, the terminator of the last copy, so every
        // argument lies inside the instance's storage.
        if (used >= CMD_ARG_STORAGE) {
            args.argv[args.argc++] = args.storage.data() + CMD_ARG_STORAGE - 1;
            continue;
        }
        int room = CMD_ARG_STORAGE - used - 1;
        int len = static_cast<int>(std::strlen(args.token.data()));
        if (len > room) {
            len = room;
        }
        char* copy = args.storage.data() + used;
        std::memcpy(copy, args.token.data(), static_cast<size_t>(len));
        copy[len] = '\0';
        used += len + 1;
        args.argv[args.argc++] = copy;
    }
}

int Cmd_Argc(const CommandArgs& args) {
    return args.argc;
}

const char* Cmd_Argv(const CommandArgs& args, int i) {
    if (i < 0 || i >= args.argc) {
        return "";
    }
    return args.argv[i];
}

int32_t Cmd_ArgToInt(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

void Cmd_Reset(CommandArgs& args) {
    args.argc = 0;
    args.argv.fill(nullptr);
    args.storage.fill('\0');
    args.token.fill('\0');
}
