// shell/sys.cpp: options, banner, start-up sequence, main loop and clock.
#include "shell/sys.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "net/byte_order.h"
#include "net/msg.h"
#include "net/udp.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "server/clients.h"
#include "server/intake.h"
#include "server/send.h"
#include "shell/console.h"
#include "shell/log.h"
#include "telemetry/sim_connection.h"

int32_t transmit_interval = DEFAULT_TRANSMIT_INTERVAL;
uint8_t test_mode = 0;
uint16_t listen_port = 0;
uint32_t curtime = 0;

static const char PRODUCT_NAME[] = "Tarmis Server";
static const char STARS[] = "******************************************************\n";

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

// ---------------------------------------------------------------- control

void Sys_CtrlHandler() {
    log_enabled = 0;  // no further record begins
    Sys_Exit(0);
}

static void Sys_PrintBanner() {
    std::printf("%s", STARS);
    std::printf("%s V%s by the Tarmis developers\n", PRODUCT_NAME, "1.1.8");
    std::printf("Copyright (c) the Tarmis Server developers\n");
    std::printf("Free software for sim racers, provided without warranty\n");
    std::printf("\n");
    std::printf("For more information and updates visit\n");
    std::printf("https://tarmis-server.example/\n");
    std::printf("\n");
    std::printf("For bugs or feature requests please email\n");
    std::printf("support@tarmis-server.example\n");
    std::printf("\n");
    std::printf("This SOFTWARE PRODUCT is NOT an iRacing (TM) official\n");
    std::printf("software and is provided \"as is\" and with all faults.\n");
    std::printf("%s", STARS);
    std::printf("\n");
    std::printf("Hit Ctrl-C to terminate %s\n", PRODUCT_NAME);
    std::printf("\n");
    std::fflush(stdout);
}

// ---------------------------------------------------------------- main

void Sys_Main(int argc, char** argv) {
    Sys_InstallCtrlHandler(Sys_CtrlHandler);
    Sys_ParseOptions(argc, argv);
    Sys_PrintBanner();
    Log_Announce();
    Log_Printf("Transmit frequency %i\n", transmit_interval);

    // Telemetry: snapshot lock (a std::mutex, ready before main runs), then
    // the telemetry thread, which runs for the life of the process.
    std::thread(Tel_Thread).detach();
    // Relay: the queue and its events, then the relay thread.
    Relay_Init();
    Relay_StartThread();
    // Network: byte order, sockets, the UDP port, the received-datagram
    // buffer, the local addresses and the port line.
    ByteOrder_Init();
    if (!Sys_NetStartup()) Sys_Error("Winsock initialization failed");
    uint16_t port = listen_port != 0 ? listen_port : DEFAULT_PORT;
    net_udp_socket = UDP_OpenSocket(port);
    net_received.data = net_received_data.data();
    net_received.maxsize = NET_RECEIVED_SIZE;
    NET_PrintLocalAddresses();
    std::printf("Port = %i\n", port);
    std::fflush(stdout);

    // Console: status anchor; the first pass shows the status.
    Con_Setup();
    curtime = Sys_GetMilliseconds();
    uint32_t previous = curtime;

    for (;;) {
        // A datagram or 100 microseconds, whichever comes first; after a
        // failed wait the pass starts again.
        if (Sys_WaitForSocket(net_udp_socket, 100) < 0) continue;

        // Both clocks advance by the same unsigned step, so they wrap
        // together and every comparison on them is a signed difference.
        uint32_t now = Sys_GetMilliseconds();
        server_time += now - previous;
        curtime = now;
        previous = now;

        SV_CheckClientTimeouts();
        SV_ReadPackets();
        frame_count++;
        SV_SendUpdates();
        Con_ShowStatus();
    }
}
