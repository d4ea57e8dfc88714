// The server's start-up, usage text, debug log and Ctrl-C, in both builds.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

// Windows text output ends lines with "\r\n"; compare in one form.
std::string Unix(std::string s) {
    std::string r;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) r += s[i];
    return r;
}

const std::string BANNER_END = "Hit Ctrl-C to terminate Tarmis Server\n\n";

class ShellRun : public BuildRun {};

}  // namespace

TEST_P(ShellRun, RefusedOptionsPrintTheUsageTextAndExitWithOne) {
    for (auto args : std::vector<std::vector<std::string>>{{"-x"}, {"-p", "1024"}, {"-f"}}) {
        Proc p;
        ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server", args, wine()));
        ASSERT_TRUE(Harness_WaitExit(p, wait_ms())) << args[0];
        EXPECT_EQ(p.exit_code, 1) << args[0];
        std::string out = Unix(p.out);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("^Usage: (.*tarmis_server(\\.exe)?) -p \\[port_num\\] -d\n")))
            << out;
        EXPECT_EQ(out, "Usage: " + m[1].str() + " -p [port_num] -d\n"
                       "Where:\n\t port_num is the port to listen on in the range 1025-65535\n"
                       "\t -d enables debug log\n"
                       "\t Hit Ctrl-C to terminate Tarmis Server\n");
    }
}

TEST_P(ShellRun, BannerLogAndCtrlCEndWithExitCodeZero) {
    Proc p;
    int port = Harness_FreeUdpPort();
    ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server",
                                     {"-t", "/Debug", "-f", "20", "-p", std::to_string(port)}, wine()));
    // The debug-log notice ends with a blank line.
    ASSERT_TRUE(Harness_WaitOutput(p, "with your report\n\n", wait_ms())) << p.out;
    std::string out = Unix(p.out);

    const std::string stars(54, '*');
    EXPECT_EQ(out.rfind(stars + "\nTarmis Server V1.1.8", 0), 0u) << out;
    EXPECT_NE(out.find("For more information and updates visit\n"), std::string::npos);
    EXPECT_NE(out.find("For bugs or feature requests please email\n"), std::string::npos);
    EXPECT_NE(out.find("This SOFTWARE PRODUCT is NOT an iRacing (TM) official\n"
                       "software and is provided \"as is\" and with all faults.\n" +
                       stars + "\n\n" + BANNER_END + "Debug log enabled\nLog will be saved to "),
              std::string::npos)
        << out;

    Harness_Interrupt(p);
    ASSERT_TRUE(Harness_WaitExit(p, wait_ms()));
    EXPECT_EQ(p.exit_code, 0);

    auto log = Harness_Lines(Harness_ReadFile(p.dir + "/log.txt"));
    ASSERT_GE(log.size(), 2u);
    std::regex stamp("^[A-Z][a-z]{2} \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d .* - (.*)$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log[0], m, stamp)) << log[0];
    EXPECT_EQ(m[1].str(), "Debug log enabled");
    ASSERT_TRUE(std::regex_match(log[1], m, stamp)) << log[1];
    EXPECT_EQ(m[1].str(), "Transmit frequency 20");
    // The interval is a log record, never a console line.
    EXPECT_EQ(out.find("Transmit frequency"), std::string::npos);
}

TEST_P(ShellRun, WithoutOptionDNoLogFileAppears) {
    Proc p;
    ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server", {"-t", "-p", std::to_string(Harness_FreeUdpPort())}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(p, BANNER_END, wait_ms())) << p.out;
    ASSERT_TRUE(Harness_WaitOutput(p, "Port = ", wait_ms())) << p.out;
    EXPECT_EQ(Unix(p.out).find("Debug log enabled"), std::string::npos);
    Harness_Interrupt(p);
    ASSERT_TRUE(Harness_WaitExit(p, wait_ms()));
    EXPECT_EQ(p.exit_code, 0);
    EXPECT_EQ(Harness_ReadFile(p.dir + "/log.txt"), "");
}

TEST_P(ShellRun, CtrlCDuringStartUpStillEndsWithExitCodeZero) {
    // The control handler is the first thing installed: a Ctrl-C as soon as
    // the first banner byte appears lands in the middle of start-up.
    for (int i = 0; i < (wine() ? 1 : 5); i++) {
        Proc p;
        ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server", {"-t", "-d", "-p", std::to_string(Harness_FreeUdpPort())}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(p, "*", wait_ms()));
        Harness_Interrupt(p);
        ASSERT_TRUE(Harness_WaitExit(p, wait_ms()));
        EXPECT_EQ(p.exit_code, 0) << p.out;
    }
}

TEST_P(ShellRun, APortAlreadyTakenEndsTheServerQuietlyWithExitCodeOne) {
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = 0;
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len), 0);
    int port = ntohs(a.sin_port);

    Proc p;
    ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitExit(p, wait_ms()));
    close(holder);
    EXPECT_EQ(p.exit_code, 1);
    EXPECT_EQ(p.out.find("ERROR"), std::string::npos) << p.out;
    EXPECT_EQ(p.out.find("Port = "), std::string::npos) << p.out;
    std::string log = Harness_ReadFile(p.dir + "/log.txt");
    EXPECT_NE(log.find(" - ERROR: UDP_OpenSocket: bind: "), std::string::npos) << log;
}

TARMIS_BUILD_SUITE(ShellRun);
