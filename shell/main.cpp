// shell/main.cpp: the program's entry point: start-up and the main loop.
//
// The top of the program: it alone calls into every layer below it
// (platform; net and telemetry; server and relay; the shell's settings,
// clock, log and console), and nothing includes it.
#include <cstdio>
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
#include "shell/sys.h"
#include "telemetry/sim_connection.h"

static const char PRODUCT_NAME[] = "Tarmis Server";
static const char STARS[] = "******************************************************\n";

// Ctrl-C, Ctrl-Break, closing the console, SIGINT, SIGTERM, SIGHUP: no new
// log record begins, and the process ends with exit code 0 within a second,
// even while the status thread is blocked writing to standard output.
static void Sys_CtrlHandler() {
    log_enabled = 0;
    Sys_ExitFromHandler(0);
}

// The start-up banner, on standard output.
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

// Start-up, then the main loop for ever; the process ends only through the
// control handler, the usage text or a fatal error.
int main(int argc, char** argv) {
    Sys_InstallCtrlHandler(Sys_CtrlHandler);
    // Timer period, console input mode, SIGPIPE: before the clock's first
    // reading, and undone on every way out.
    Sys_ProcessSetup();
    Sys_ParseOptions(argc, argv);
    Sys_PrintBanner();
    Log_Announce();
    Log_Printf("Transmit frequency %i\n", transmit_interval);

    // Telemetry: snapshot lock (a std::mutex, ready before main runs), then
    // the telemetry thread, which runs for the life of the process.
    std::thread(Tel_Thread).detach();
    // Relay: the queue and its event, then the relay thread.
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

    // The clock's first reading takes its base, before any other thread
    // reads it. From here on the main thread never writes to the console:
    // the status thread takes the anchor under the port line and draws.
    curtime = Sys_GetMilliseconds();
    uint32_t previous = curtime;
    Con_StartStatusThread();

    for (;;) {
        // A Ctrl-C ends the process here, between two passes (Windows).
        Sys_ExitIfRequested();
        // A datagram or 100 microseconds, whichever comes first. A failed
        // wait repeats the pass after a millisecond's rest, so a wait that
        // keeps failing never spins a CPU.
        if (Sys_WaitForSocket(net_udp_socket, 100) < 0) {
            Sys_SleepMilliseconds(1);
            continue;
        }

        // Both clocks advance by the same unsigned step, so they wrap
        // together and every comparison on them is a signed difference.
        uint32_t now = Sys_GetMilliseconds();
        server_time += now - previous;
        curtime = now;
        previous = now;

        SV_CheckClientTimeouts();
        SV_ReadPackets();
        Relay_ReportDrops(curtime);
        frame_count++;
        SV_SendUpdates();
        Con_PublishClients(SV_CountConnected());
    }
}
