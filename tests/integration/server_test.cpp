// The server as its users meet it, in both builds: its options and how it
// ends, the dashboards' handshake, their updates and pacing, and what a
// blocked console or a flood of garbage cannot do to it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "udp_client.h"

namespace {

// How many records of the server's debug log say `text`.
int Count(const std::vector<std::string>& log, const std::string& text) {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&text](const std::string& line) {
        return line.size() >= text.size() + 3 && line.compare(line.size() - text.size() - 3, std::string::npos, " - " + text) == 0;
    }));
}

class ServerRun : public BuildRun {};

struct OptionCase {
    std::vector<std::string> args;   // "PORT": a free port; "TAKEN": one in use
    const char* interrupt_at;        // Ctrl-C once stdout holds this, or null
    int exit_code;
    const char* console;             // stdout holds this (null: not checked)
    const char* log;                 // log.txt holds this ("": no log file; null: not checked)
};

const char* const USAGE = " -p [port_num] -d\nWhere:\n\t port_num is the port to listen on in the range "
                          "1025-65535\n\t -d enables debug log\n\t Hit Ctrl-C to terminate Tarmis Server\n";

const OptionCase OPTION_CASES[] = {
    {{"-x"}, nullptr, 1, USAGE, ""},
    {{"-p", "1024"}, nullptr, 1, USAGE, ""},
    {{"-t", "-d", "-p", "TAKEN"}, nullptr, 1, nullptr, " - ERROR: UDP_OpenSocket: bind: "},
    {{"-t", "-p", "PORT"}, "Port = ", 0, "\nTarmis Server V1.1.8", ""},
    {{"-t", "/Debug", "-f", "20", "-p", "PORT"}, "Port = ", 0, "Debug log enabled\nLog will be saved to ",
     " - Transmit frequency 20"},
    // The control handler comes first: Ctrl-C in the middle of start-up.
    {{"-t", "-d", "-p", "PORT"}, "*", 0, nullptr, nullptr},
};

}  // namespace

TEST_P(ServerRun, OptionsRefusalsAndCtrlC) {
    for (const OptionCase& c : OPTION_CASES) {
        const std::string what = c.args[0] + " ... " + c.args.back();
        UdpClient holder(0, 0);
        std::vector<std::string> args = c.args;
        if (args.back() == "PORT") args.back() = std::to_string(Harness_FreeUdpPort());
        if (args.back() == "TAKEN") args.back() = std::to_string(holder.LocalPort());
        Proc p;
        ASSERT_TRUE(Harness_StartProgram(p, "tarmis_server", args, wine()));
        if (c.interrupt_at != nullptr) {
            ASSERT_TRUE(Harness_WaitOutput(p, c.interrupt_at, wait_ms())) << what << p.out;
            Harness_Interrupt(p);
        }
        ASSERT_TRUE(Harness_WaitExit(p, wait_ms())) << what;
        EXPECT_EQ(p.exit_code, c.exit_code) << what;
        EXPECT_TRUE(c.console == nullptr || p.out.find(c.console) != std::string::npos) << what << p.out;
        const std::string log = Harness_ReadFile(p.dir + "/log.txt");
        EXPECT_TRUE(c.log == nullptr || *c.log != 0 || !std::filesystem::exists(p.dir + "/log.txt")) << what;
        EXPECT_TRUE(c.log == nullptr || *c.log == 0 || log.find(c.log) != std::string::npos) << what << log;
        // The interval is a log record, never a console line.
        EXPECT_EQ(p.out.find("Transmit frequency"), std::string::npos) << what;
    }
}

// A flood of garbage of every shape the server looks at, then eleven raw
// clients: the handshake's refusals, ten slots and the eleventh, every
// dashboard's updates with the session block and their pacing, disconnect
// and reconnect, unknown qports and translated ports.
TEST_P(ServerRun, GarbageThenHandshakeTenDashboardsAndTheirUpdates) {
    Proc server;
    const int port = Harness_FreeUdpPort();
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = ", wait_ms())) << server.out;
    UdpClient flood(port, 1);
    std::mt19937 rng(20261207);
    for (int i = 0; i < 3000; i++) {
        Bytes d(rng() % 9001);
        for (uint8_t& x : d) x = static_cast<uint8_t>(rng());
        if (d.size() >= 4 && i % 3 == 0) std::fill_n(d.begin(), 4, 0xFF);
        if (d.size() >= 16 && i % 9 == 0) std::copy_n("connect 1 ", 10, d.begin() + 4);
        flood.SendRaw(d);
        if (i % 50 == 0) usleep(2000);  // let the loopback queue drain
    }
    std::vector<std::unique_ptr<UdpClient>> c;
    for (int i = 0; i < 11; i++) c.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(101 + i)));
    UdpClient &a = *c[0], &b = *c[1], &k = *c[10];

    a.SendOob("connect 1 101 12345 \"early\" 0");
    EXPECT_EQ(a.OobReply(wait_ms()), "n\nNo challenge for address.\n");
    a.SendOob("getchallenge");
    const std::string reply = a.OobReply(2000);
    ASSERT_TRUE(std::regex_match(reply, std::regex("c[0-9]+"))) << reply;
    const std::string challenge = reply.substr(1);
    for (const std::string& refused : {"connect 2 101 " + challenge + " \"d\" 0", std::string("connect")}) {
        a.SendOob(refused);
        EXPECT_EQ(a.OobReply(2000), "o\n") << refused;
    }
    a.SendOob("connect 1 101 " + std::to_string(std::stoll(challenge) ^ 1) + " \"d\" 0");
    EXPECT_EQ(a.OobReply(2000), "n\nBad challenge.\n");
    for (int i = 0; i < 10; i++) ASSERT_EQ(c[i]->Join("dash" + std::to_string(i), i % 2, wait_ms()), "j") << i;
    EXPECT_EQ(k.Join("dash10", 0, wait_ms()), "n\nServer is full\n\n");

    // Every dashboard is served, numbered from 1, the session block in most
    // updates (the test pattern changes its session values with every gear),
    // one update each 51 ms by the server's millisecond clock.
    for (const double end = Harness_NowMs() + (wine() ? 2500 : 1500); Harness_NowMs() < end;) Harness_Poll(server, 50);
    for (int i = 0; i < 10; i++) {
        const size_t basic = i % 2 ? 29 : 31, full = i % 2 ? 68 : 75;
        std::vector<double> stamps;
        int sessions = 0;
        for (Datagram d; c[i]->Receive(d, 0);) {
            ASSERT_GE(d.bytes.size(), 9u) << i;
            const size_t body = d.bytes.size() - 8;
            EXPECT_EQ(Udp_Long(d.bytes, 0), stamps.size() + 1) << i;
            EXPECT_TRUE(body == basic || body == full || (body == 1 && d.bytes[8] == 5)) << i << ": " << body;
            sessions += body == full;
            stamps.push_back(d.stamp_ms);
        }
        ASSERT_GE(stamps.size(), 20u) << i;
        EXPECT_GE(sessions, static_cast<int>(stamps.size()) / 2) << i;
        std::vector<double> gaps;   // the first may come late after the connect's log records
        for (size_t j = 2; j < stamps.size(); j++) gaps.push_back(stamps[j] - stamps[j - 1]);
        std::sort(gaps.begin(), gaps.end());
        EXPECT_GE(gaps.front(), 40.0) << i;
        EXPECT_GE(gaps[gaps.size() / 2], 50.5) << i;
        EXPECT_LE(gaps[gaps.size() / 2], wine() ? 56.0 : 52.0) << i;
    }

    // The same client again, by its qport and by its port: no reply.
    a.SendOob("connect 1 101 " + challenge + " \"dash0\" 0");
    a.SendOob("connect 1 999 " + challenge + " \"dash0\" 0");
    EXPECT_EQ(a.OobReply(wine() ? 700 : 300), "<none>");
    // A disconnect: nothing more for that client; it comes back on a fresh channel.
    b.SendSequenced({2});
    b.Drain(100);
    EXPECT_EQ(b.Drain(wine() ? 700 : 300), 0) << "updates after the disconnect";
    EXPECT_EQ(k.Join("dash10", 0, wait_ms()), "n\nServer is full\n\n") << "the slot is held";
    ASSERT_EQ(b.Join("dash1", 1, wait_ms()), "j");
    // An unknown qport is dropped without a reply.
    k.SendSequenced({1});
    EXPECT_EQ(k.Drain(wine() ? 700 : 300), 0);
    // Packets from a new port (a router translating it): the server follows,
    // and its numbering jumps to the client's.
    UdpClient moved(port, 103);   // the qport of c[2]
    moved.SetNextSequence(5000);
    moved.SendSequenced({1});
    Datagram there;
    ASSERT_TRUE(moved.Receive(there, 2000));
    EXPECT_EQ(Udp_Long(there.bytes, 0), 5000u);
    EXPECT_EQ(Udp_Long(there.bytes, 4), 5000u);
    c[2]->Drain(100);
    EXPECT_EQ(c[2]->Drain(wine() ? 700 : 300), 0) << "updates still going to the old port";

    Harness_Interrupt(server);
    ASSERT_TRUE(Harness_WaitExit(server, wait_ms()));
    EXPECT_EQ(server.exit_code, 0);
    for (const char* text : {"getchallenge", "rejected", "dup connect", "DeviceType", "removed", "fixing up"})
        EXPECT_EQ(server.out.find(text), std::string::npos) << text << " on the console";
    const std::vector<std::string> log = Harness_Lines(Harness_ReadFile(server.dir + "/log.txt"));
    const std::string a_at = "127.0.0.1:" + std::to_string(a.LocalPort()), k_at = "127.0.0.1:" + std::to_string(k.LocalPort());
    const std::pair<std::string, int> records[] = {
        {"* rejected connect from version 2", 1}, {"* rejected connect from version 0", 1},
        {"Client dash1 connected", 2}, {"DeviceType is 1", 6}, {a_at + ":dup connect", 2}, {k_at + ":full connect", 2},
        {"Client dash1 removed", 1}, {"127.0.0.1:" + std::to_string(b.LocalPort()) + ":reconnect", 1},
        {k_at + ":sequenced packet without connection", 1}, {"SV_ReadPackets: fixing up a translated port", 1}};
    for (const auto& [text, n] : records) EXPECT_EQ(Count(log, text), n) << text;
    EXPECT_NE(Harness_ReadFile(server.dir + "/log.txt").find("NET_GetPacket: "), std::string::npos);
}

// Standard output a pipe that nobody reads, as a console while a racer marks
// text in it: the status redraw blocks in its write. Ten dashboards are
// served on time, a newcomer is answered, and every signal ends the server
// within a second. Natively, the last round's reader goes away instead: the
// redraw writes into a pipe without a reader, and the server goes on.
TEST_P(ServerRun, BlockedConsoleHoldsUpNoDashboardAndSignalsStillEndIt) {
    std::vector<int> sigs{SIGINT};
    if (!wine()) sigs = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : sigs) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const int port = Harness_FreeUdpPort();
        Proc p;
        ASSERT_TRUE(Harness_StartServerOn(p, fds[1], fds[0], {"-t", "-p", std::to_string(port)}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(p, "Clients connected = 0", wait_ms())) << p.out;
        int reader = std::exchange(p.out_fd, -1);   // nobody reads from here on
        if (sig == SIGHUP) close(std::exchange(reader, -1));   // tarmis_server | head: the reader goes
        const int blocker = open(("/proc/self/fd/" + std::to_string(fds[1])).c_str(), O_WRONLY | O_NONBLOCK);
        for (char block[4096] = {}; reader >= 0 && write(blocker, block, sizeof block) > 0;) {
        }
        close(blocker);
        close(fds[1]);
        std::vector<std::unique_ptr<UdpClient>> dash;
        for (int i = 0; sig == SIGINT && i < 10; i++) {
            dash.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(100 + i)));
            ASSERT_EQ(dash[i]->Join("dash" + std::to_string(i), 0, wait_ms()), "j") << i;
        }
        // Past the next redraw (every 2 s), watching the updates' gaps.
        std::vector<double> last(dash.size(), 0.0), worst(dash.size(), 0.0);
        for (const double end = Harness_NowMs() + 3000; Harness_NowMs() < end; usleep(5000))
            for (size_t i = 0; i < dash.size(); i++)
                for (Datagram d; dash[i]->Receive(d, 0); last[i] = d.stamp_ms)
                    if (last[i] > 0) worst[i] = std::max(worst[i], d.stamp_ms - last[i]);
        for (size_t i = 0; i < dash.size(); i++) EXPECT_LE(worst[i], 200.0) << "dashboard " << i;
        EXPECT_TRUE(Udp_AnswersAtOnce(port));
        const double sent = Harness_NowMs();
        kill(p.pid, sig);
        ASSERT_TRUE(Harness_WaitExit(p, 1000)) << "signal " << sig << " did not end the server";
        EXPECT_EQ(p.exit_code, 0) << "signal " << sig;
        EXPECT_LT(Harness_NowMs() - sent, 1000.0);
        close(reader);
    }
}

TARMIS_BUILD_SUITE(ServerRun);

// A launcher that leaves many descriptors open, on a terminal: the server's
// socket gets a descriptor above 1023, which select cannot wait on, and is
// served; the cursor is hidden under the status lines and shown again when
// the server ends.
TEST(ServerNative, ManyOpenDescriptorsOnATerminal) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit below 1200";
    rlimit raised = lim;
    raised.rlim_cur = std::max<rlim_t>(raised.rlim_cur, 1200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> held;   // first, so that no low descriptor is left free
    while (held.empty() || (held.back() >= 0 && held.back() < 1100)) held.push_back(open("/dev/null", O_RDONLY));
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int slave = -1;
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        (slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0)
        GTEST_SKIP() << "no pseudo-terminal";
    const int port = Harness_FreeUdpPort();
    Proc p;
    const bool started = Harness_StartServerOn(p, slave, master, {"-t", "-p", std::to_string(port)}, false, true);
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &lim);
    close(slave);
    ASSERT_TRUE(started && Harness_WaitOutput(p, "Clients connected = 0", 15000)) << p.out;
    EXPECT_NE(p.out.find("\x1b[?25l"), std::string::npos);
    EXPECT_EQ(p.out.find("\x1b[?25h"), std::string::npos);
    int socket_fd = -1;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(p.pid) + "/fd"))
        if (std::filesystem::read_symlink(e.path()).string().rfind("socket:", 0) == 0)
            socket_fd = std::max(socket_fd, std::stoi(e.path().filename().string()));
    EXPECT_GE(socket_fd, 1024);
    EXPECT_TRUE(Udp_AnswersAtOnce(port));
    kill(p.pid, SIGINT);
    EXPECT_TRUE(Harness_WaitOutput(p, "\x1b[?25h", 1000)) << p.out;
    ASSERT_TRUE(Harness_WaitExit(p, 1000));
    EXPECT_EQ(p.exit_code, 0);
}
