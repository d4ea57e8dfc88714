// tools/dash/dash_main.cpp: entry point of the dashboard client, the
// project's stand-in for a phone dashboard app and its black-box driver.
#include <cstdio>

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

int main(int argc, char** argv) {
    static DashOptions opt;
    static DashWebOption web;
    Dash_DefaultOptions(opt);
    if (!DashWeb_TakeOption(argc, argv, web, stderr)) Sys_Exit(DASH_EXIT_USAGE);
    int code = Dash_ParseOptions(argc, argv, opt, stdout, stderr);
    if (code >= 0) Sys_Exit(code);
    opt.ansi = !opt.json && DashNet_StdoutIsTerminal();
    Dash_Reset();
    Sys_InstallCtrlHandler(Dash_CtrlHandler);
    // A browser that closes its page mid-write must not end the client
    // (SIGPIPE); on Windows a 1 ms timer period and no QuickEdit, undone by
    // Sys_Exit.
    Sys_ProcessSetup();
    if (web.on && !DashWeb_Start(web.host, web.port, stdout, stderr)) Sys_Exit(DASH_EXIT_USAGE);
    Sys_Exit(web.on ? DashWeb_RunSession(opt, stdout, stderr) : Dash_Run(opt, stdout, stderr));
}
