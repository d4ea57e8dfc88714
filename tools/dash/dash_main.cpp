// tools/dash/dash_main.cpp: entry point of the dashboard client, the
// project's stand-in for a phone dashboard app and its black-box driver.
#include <cstdio>

#include "platform/dashnet.h"
#include "platform/platform.h"
#include "tools/dash/dash_client.h"
#include "tools/dash/dash_web.h"

// Ctrl-C: the session sees the flag within one receive wait, sends its
// disconnect, prints its statistics and ends the process. Should it not
// manage within a few seconds, the process ends here.
static void Dash_CtrlHandler() {
    dash_stop = true;
    Sys_SleepMilliseconds(DASH_FLUSH_MS + 2000);
    Sys_Exit(DASH_EXIT_OK);
}

// Started by a double-click, the client's console window closes with it:
// a failure then waits for a key, so that its text can be read.
static bool dash_own_console;

[[noreturn]] static void Dash_End(int code) {
    if (dash_own_console && code != DASH_EXIT_OK && !dash_stop) {
        std::fflush(stdout);
        std::fprintf(stderr, "Press a key to close this window.\n");
        std::fflush(stderr);
        DashNet_WaitForKey();
    }
    Sys_Exit(code);
}

int main(int argc, char** argv) {
    static DashOptions opt;
    static DashWebOption web;
    dash_own_console = DashNet_OwnConsole();
    Dash_DefaultOptions(opt);
    if (!DashWeb_TakeOption(argc, argv, web, stderr)) Dash_End(DASH_EXIT_USAGE);
    int code = Dash_ParseOptions(argc, argv, opt, stdout, stderr);
    if (code >= 0) Dash_End(code);
    opt.ansi = !opt.json && DashNet_StdoutIsTerminal();
    Dash_Reset();
    Sys_InstallCtrlHandler(Dash_CtrlHandler);
    // A browser that closes its page mid-write must not end the client
    // (SIGPIPE); on Windows a 1 ms timer period and no QuickEdit, undone by
    // Sys_Exit.
    Sys_ProcessSetup();
    if (web.on && !DashWeb_Start(web.host, web.port, stdout, stderr)) Dash_End(DASH_EXIT_USAGE);
    // The page, and a console window of its own, keep trying while no
    // server answers (unless --once); from a terminal or a script the
    // client ends with "no reply" as it always did.
    if (web.on) {
        // One line while the server is missing, so that the codes above it
        // stay in a console window's 25 to 30 lines; the page says the rest.
        opt.quiet_handshake = !opt.once;
        Dash_End(DashWeb_RunSession(opt, stdout, stderr));
    }
    Dash_End(dash_own_console ? Dash_RunKeepTrying(opt, stdout, stderr) : Dash_Run(opt, stdout, stderr));
}
