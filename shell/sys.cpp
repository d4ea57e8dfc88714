// shell/sys.cpp: the settings, the options that set them, and the clock.
#include "shell/sys.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/sys.h"
#include "shell/log.h"

int32_t transmit_interval = DEFAULT_TRANSMIT_INTERVAL;
uint8_t test_mode = 0;
uint16_t listen_port = 0;
uint32_t curtime = 0;

static const char PRODUCT_NAME[] = "Tarmis Server";

// ---------------------------------------------------------------- clock

static uint32_t clock_base;
static uint8_t clock_based;

uint32_t Sys_MillisecondsFrom(uint32_t timer) {
    if (!clock_based) {
        clock_base = timer & 0xFFFF0000u;
        clock_based = 1;
    }
    return timer - clock_base;
}

uint32_t Sys_GetMilliseconds() { return Sys_MillisecondsFrom(Sys_PlatformTimer()); }

void Sys_ResetClock() {
    clock_base = 0;
    clock_based = 0;
}

// ---------------------------------------------------------------- options

void Sys_PrintUsage(const char* program_name) {
    std::printf("Usage: %s -p [port_num] -d\n", program_name);
    std::printf("Where:\n\t port_num is the port to listen on in the range 1025-65535\n");
    std::printf("\t -d enables debug log\n");
    std::printf("\t Hit Ctrl-C to terminate %s\n", PRODUCT_NAME);
    Sys_Exit(1);
}

void Sys_ResetOptions() {
    transmit_interval = DEFAULT_TRANSMIT_INTERVAL;
    test_mode = 0;
    listen_port = 0;
    log_enabled = 0;
}

void Sys_ParseOptions(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "tarmis_server";
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if ((arg[0] != '-' && arg[0] != '/') || arg[1] == 0) Sys_PrintUsage(program);
        switch (std::tolower(static_cast<unsigned char>(arg[1]))) {
        case 'd':
            Log_Init();
            log_enabled = 1;
            break;
        case 'f':
            if (i + 1 >= argc) Sys_PrintUsage(program);
            transmit_interval = static_cast<int32_t>(std::atoi(argv[++i]));
            break;
        case 'p': {
            if (i + 1 >= argc) Sys_PrintUsage(program);
            // Only the low 16 bits count, as the port field holds them.
            uint32_t port = static_cast<uint32_t>(std::strtol(argv[++i], nullptr, 10)) & 0xFFFFu;
            if (port < 1025) Sys_PrintUsage(program);
            listen_port = static_cast<uint16_t>(port);
            break;
        }
        case 't':
            test_mode = 1;
            break;
        default:
            Sys_PrintUsage(program);
        }
    }
}
