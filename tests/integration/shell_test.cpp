// The server's start-up, usage text, debug log and Ctrl-C, in both builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "udp_client.h"

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

TEST_P(ShellRun, APortAlreadyTakenEndsTheServerWithExitCodeOneAndTheReasonInTheLog) {
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
    std::string log = Harness_ReadFile(p.dir + "/log.txt");
    EXPECT_NE(log.find(" - ERROR: UDP_OpenSocket: bind: "), std::string::npos) << log;
}

TARMIS_BUILD_SUITE(ShellRun);

// ---------------------------------------------------------------------------
// Native only: how the Linux build meets its standard output and descriptors.

namespace {

// Starts the native server with standard output on `out_fd` (the test keeps
// the other end of it, opened close-on-exec), standard input and error on /dev/null, and SIGPIPE
// at its default, as a shell leaves it for `tarmis_server | head`. With
// `new_session` the server leads a session of its own (for a terminal);
// with `wine` it is the Windows build under Wine.
bool StartServerOn(Proc& p, int out_fd, const std::vector<std::string>& args,
                   bool new_session = false, bool wine = false) {
    std::vector<std::string> copy;
    if (wine) copy = {"/usr/bin/wine", Harness_WinDir() + "/tarmis_server.exe"};
    else copy = {Harness_NativeProgram("tarmis_server")};
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (new_session) setsid(); else setpgid(0, 0);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDERR_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        if (chdir("/tmp") != 0) _exit(126);
        if (wine) setenv("WINEDEBUG", "-all", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (!new_session) setpgid(pid, pid);
    p.pid = pid;
    p.out_fd = -1;  // the test reads the output itself
    p.exited = false;
    return true;
}

// Reads `fd` into `seen` until it holds `needle` or `timeout_ms` passes.
bool ReadUntil(int fd, std::string& seen, const std::string& needle, int timeout_ms) {
    double end = Harness_NowMs() + timeout_ms;
    while (seen.find(needle) == std::string::npos) {
        double left = end - Harness_NowMs();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left) + 1) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// The kernel functions the process's threads sleep in, one a line ("" when
// unknown).
std::string ThreadsWaitIn(pid_t pid) {
    std::string all;
    std::error_code ec;
    for (const auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::string w = Harness_ReadFile(t.path().string() + "/wchan");
        if (!w.empty() && w != "0") all += w + "\n";
    }
    return all;
}

// Fills the pipe whose write end is `write_fd` until a write would block,
// through a description of its own, so the server's standard output (the
// same pipe) stays a blocking one.
void FillPipe(int write_fd) {
    std::string path = "/proc/self/fd/" + std::to_string(write_fd);
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    close(fd);
}

bool AnswersChallenge(int port) {
    UdpClient c(port, 4242);
    if (!c.Ok()) return false;
    for (int i = 0; i < 4; i++) {
        c.SendOob("getchallenge");
        std::string reply = c.OobReply(500);
        if (!reply.empty() && reply[0] == 'c') return true;
    }
    return false;
}

}  // namespace

TEST_P(ShellRun, SignalsEndTheServerWithinASecondWhileItsOutputIsBlocked) {
    // Standard output is a pipe that nobody reads: the status redraw blocks
    // inside its write, holding the stream's lock. Wine turns SIGINT into
    // Ctrl-C; natively SIGTERM and SIGHUP end it too.
    std::vector<int> sigs{SIGINT};
    if (!wine()) sigs = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : sigs) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the server holds only its stdout
        Proc p;
        ASSERT_TRUE(StartServerOn(p, fds[1], {"-t", "-p", std::to_string(Harness_FreeUdpPort())},
                                  false, wine()));
        std::string out;
        ASSERT_TRUE(ReadUntil(fds[0], out, "Clients connected = 0", wait_ms())) << out;
        FillPipe(fds[1]);
        // The next redraw (within 2 s) finds the pipe full.
        double until = Harness_NowMs() + 5000;
        std::string waits;
        auto blocked = [&] { return waits.find("pipe_write") != std::string::npos; };
        while (waits = ThreadsWaitIn(p.pid), !blocked() && Harness_NowMs() < until)
            usleep(50000);
        if (!waits.empty()) ASSERT_TRUE(blocked()) << "the server never blocked: " << waits;
        else usleep(3000000);  // no wait channel to read: give the redraw its time

        double sent = Harness_NowMs();
        kill(p.pid, sig);
        ASSERT_TRUE(Harness_WaitExit(p, 1000)) << "signal " << sig << " did not end the server";
        EXPECT_EQ(p.exit_code, 0) << "signal " << sig;
        EXPECT_LT(Harness_NowMs() - sent, 1000.0);
        close(fds[0]);
        close(fds[1]);
    }
}

TEST_P(ShellRun, AStatusWriteThatBlocksHoldsUpNoDashboard) {
    // Standard output is a pipe that nobody reads, as the console is while
    // a racer marks text in it: the status redraw blocks in its write while
    // ten dashboards are served. TARMIS_BLOCKED_OUTPUT_SECONDS sets how long
    // (10 s unless given).
    const char* env = std::getenv("TARMIS_BLOCKED_OUTPUT_SECONDS");
    const double seconds = env != nullptr ? std::atof(env) : 10.0;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the server holds only its stdout
    const int port = Harness_FreeUdpPort();
    Proc p;
    ASSERT_TRUE(StartServerOn(p, fds[1], {"-t", "-p", std::to_string(port)}, false, wine()));
    std::string out;
    ASSERT_TRUE(ReadUntil(fds[0], out, "Clients connected = 0", wait_ms())) << out;
    FillPipe(fds[1]);  // the next redraw, within 2 s, blocks
    std::vector<std::unique_ptr<UdpClient>> dash;
    for (int i = 0; i < 10; i++) {
        dash.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(100 + i)));
        ASSERT_EQ(dash[i]->Join("dash" + std::to_string(i), 0, wait_ms()), "j") << i;
    }

    // Gaps on the kernel's receive stamps, which the test's own polling
    // does not stretch; a server that stops sending is caught at the end.
    std::vector<double> last(10, 0.0), worst(10, 0.0);
    const double start = Harness_NowMs();
    double next_challenge = start + 2500, next_keepalive = start;
    while (Harness_NowMs() < start + seconds * 1000) {
        for (int i = 0; i < 10; i++) {
            Datagram d;
            while (dash[i]->Receive(d, 0)) {
                if (last[i] > 0) worst[i] = std::max(worst[i], d.stamp_ms - last[i]);
                last[i] = d.stamp_ms;
            }
        }
        if (Harness_NowMs() >= next_keepalive) {
            for (auto& c : dash) c->SendSequenced({});
            next_keepalive += 1000;
        }
        if (Harness_NowMs() >= next_challenge) {
            UdpClient fresh(port, 4242);
            const double asked = Harness_NowMs();
            fresh.SendOob("getchallenge");
            EXPECT_EQ(fresh.OobReply(1000)[0], 'c');
            EXPECT_LT(Harness_NowMs() - asked, 100.0) << "getchallenge answered late";
            next_challenge += 2500;
        }
        usleep(5000);
    }
    for (int i = 0; i < 10; i++) {
        Datagram d;
        EXPECT_TRUE(dash[i]->Receive(d, 200)) << "dashboard " << i << " gets no more updates";
        EXPECT_LE(worst[i], 200.0) << "dashboard " << i;
    }

    // Four leave; once the pipe is read again, the blocked redraw is
    // followed at once by the count of this moment, not by a backlog.
    for (int i = 6; i < 10; i++) dash[i]->SendSequenced({2});
    usleep(300000);
    std::string after;
    ASSERT_TRUE(ReadUntil(fds[0], after, "Clients connected = 6", 3000))
        << after.substr(after.size() > 200 ? after.size() - 200 : 0);
    int redraws = 0;
    for (size_t at = 0; (at = after.find("Clients connected = ", at)) != std::string::npos; at++) redraws++;
    EXPECT_LE(redraws, 2);
    kill(p.pid, SIGINT);
    ASSERT_TRUE(Harness_WaitExit(p, 1000));
    EXPECT_EQ(p.exit_code, 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(ShellNative, AReaderOfTheOutputThatGoesAwayDoesNotEndTheServer) {
    // tarmis_server | head: the reader leaves, the next redraw writes into
    // a pipe without a reader.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the server holds only its stdout
    int port = Harness_FreeUdpPort();
    Proc p;
    ASSERT_TRUE(StartServerOn(p, fds[1], {"-t", "-p", std::to_string(port)}));
    close(fds[1]);
    std::string out;
    ASSERT_TRUE(ReadUntil(fds[0], out, "Clients connected = 0\n", 15000)) << out;
    close(fds[0]);
    usleep(2500000);  // past the next redraw
    Harness_Poll(p, 0);
    ASSERT_FALSE(p.exited) << "ended with code " << p.exit_code;
    EXPECT_TRUE(AnswersChallenge(port));
    kill(p.pid, SIGINT);
    ASSERT_TRUE(Harness_WaitExit(p, 1000));
    EXPECT_EQ(p.exit_code, 0);
}

TEST(ShellNative, ASocketDescriptorAbove1023IsServed) {
    // A launcher that leaves many descriptors open: the server's socket gets
    // a descriptor above 1023, which select cannot wait on.
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit below 1200";
    rlimit raised = lim;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < 1200) raised.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> held;
    int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    while (held.empty() || (held.back() >= 0 && held.back() < 1100)) held.push_back(dup(null_fd));
    ASSERT_GE(held.back(), 1100) << "could not open enough descriptors";

    int port = Harness_FreeUdpPort();
    Proc p;
    bool started = Harness_StartProgram(p, "tarmis_server", {"-t", "-p", std::to_string(port)}, false);
    for (int fd : held) close(fd);
    close(null_fd);
    setrlimit(RLIMIT_NOFILE, &lim);
    ASSERT_TRUE(started);
    ASSERT_TRUE(Harness_WaitOutput(p, "Port = ", 15000)) << p.out;

    // The precondition: the server's socket is above 1023.
    int socket_fd = -1;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(p.pid) + "/fd", ec)) {
        std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (target.rfind("socket:", 0) == 0)
            socket_fd = std::max(socket_fd, std::atoi(e.path().filename().c_str()));
    }
    ASSERT_GE(socket_fd, 1024);

    EXPECT_TRUE(AnswersChallenge(port));
    Harness_Interrupt(p);
    ASSERT_TRUE(Harness_WaitExit(p, 1000));
    EXPECT_EQ(p.exit_code, 0);
}

TEST(ShellNative, EndingOnATerminalShowsTheCursorAgain) {
    // A machine without pseudo-terminals (a container without /dev/pts)
    // cannot show this.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    int slave = -1;
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        (slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        const int err = errno;
        close(master);
        GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(err);
    }
    Proc p;
    ASSERT_TRUE(StartServerOn(p, slave, {"-t", "-p", std::to_string(Harness_FreeUdpPort())}, true));
    close(slave);
    std::string out;
    ASSERT_TRUE(ReadUntil(master, out, "Clients connected = 0", 15000)) << out;
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);  // hidden for the status lines
    EXPECT_EQ(out.find("\x1b[?25h"), std::string::npos);
    kill(p.pid, SIGINT);
    EXPECT_TRUE(ReadUntil(master, out, "\x1b[?25h", 1000)) << out;
    ASSERT_TRUE(Harness_WaitExit(p, 1000));
    EXPECT_EQ(p.exit_code, 0);
    close(master);
}
