// tarmis_dash --web as a racer starts it (on Windows, the zip's launcher):
// for each address of this PC the page's address and a QR code of it in the
// console, which a phone's camera reads, and the page served there.
#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "tcp_client.h"

namespace {

// This machine's IPv4 addresses on interfaces that are up, loopback left out.
std::set<std::string> LocalAddresses() {
    std::set<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof text);
        found.insert(text);
    }
    freeifaddrs(list);
    return found;
}

// The codes drawn in `text`: runs of lines made only of half blocks, full
// blocks and blanks.
std::vector<std::vector<std::string>> QrBlocks(const std::string& text) {
    static const std::regex drawn("^( |\u2580|\u2584|\u2588)+$");
    std::vector<std::vector<std::string>> blocks;
    bool in_block = false;
    for (const std::string& line : Harness_Lines(text)) {
        bool is_code = line.find_first_not_of(' ') != std::string::npos && std::regex_match(line, drawn);
        if (is_code && !in_block) blocks.emplace_back();
        if (is_code) blocks.back().push_back(line);
        in_block = is_code;
    }
    return blocks;
}

// What zbarimg reads in one drawn code. Each character is a module wide and
// two high (upper and lower half; a drawn half is light), written as a
// grey-scale PGM, each module 4 x 4 pixels, with a light margin.
std::string Decode(const std::vector<std::string>& lines, const std::string& path) {
    std::vector<std::vector<bool>> rows;   // true: light
    for (const std::string& line : lines) {
        std::vector<bool> upper, lower;
        for (size_t i = 0; i < line.size();) {
            bool blank = line[i] == ' ';
            std::string c = line.substr(i, blank ? 1 : 3);
            i += c.size();
            upper.push_back(c == "\u2588" || c == "\u2580");
            lower.push_back(c == "\u2588" || c == "\u2584");
        }
        rows.push_back(upper);
        rows.push_back(lower);
    }
    const int scale = 4, margin = 8;
    const size_t width = rows.empty() ? 0 : rows[0].size();
    const size_t w = (width + 2 * margin) * scale, h = (rows.size() + 2 * margin) * scale;
    std::string pixels(w * h, '\xff');
    for (size_t y = 0; y < rows.size(); y++)
        for (size_t x = 0; x < rows[y].size() && x < width; x++)
            for (int dy = 0; dy < scale; dy++)
                for (int dx = 0; dx < scale; dx++)
                    pixels[((y + margin) * scale + dy) * w + (x + margin) * scale + dx] = rows[y][x] ? '\xff' : '\0';
    std::ofstream(path, std::ios::binary) << "P5 " << w << " " << h << " 255\n" << pixels;
    std::string read;
    FILE* p = popen(("timeout 30 zbarimg -q --raw '" + path + "' 2>/dev/null").c_str(), "r");
    if (p == nullptr) return read;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr) read += buf;
    pclose(p);
    while (!read.empty() && (read.back() == '\n' || read.back() == '\r')) read.pop_back();
    return read;
}

// A folder with the Windows build's "Phone dashboard.cmd" and tarmis_dash.exe.
struct LauncherDir {
    std::string dir;
    bool Make() {
        char name[] = "/tmp/tarmis_launcher_XXXXXX";
        if (mkdtemp(name) == nullptr) return false;
        dir = name;
        std::error_code e1, e2;
        std::filesystem::copy_file(Harness_WinDir() + "/packaging/Phone dashboard.cmd", dir + "/Phone dashboard.cmd", e1);
        std::filesystem::create_symlink(Harness_WinDir() + "/tarmis_dash.exe", dir + "/tarmis_dash.exe", e2);
        return !e1 && !e2;
    }
    ~LauncherDir() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

// Kills this user's processes whose command line holds every one of
// `words` (a Windows program under Wine runs outside the harness's process
// group when a console of its own started it).
void KillProgramsWith(const std::vector<std::string>& words) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    while (dirent* e = readdir(proc)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
        std::stringstream text;
        text << f.rdbuf();
        std::string cmdline = text.str();
        bool all = !cmdline.empty();
        for (const std::string& w : words) all = all && cmdline.find(w) != std::string::npos;
        if (all) kill(pid, SIGKILL);
    }
    closedir(proc);
}

class PhoneDashboard : public BuildRun {
protected:
    LauncherDir launcher;   // removed after the programs (declared before them in the test)

    void SetUp() override {
        BuildRun::SetUp();
        if (IsSkipped()) return;
        RequireTools({"tarmis_dash", "tarmis_server"});
        if (access("/usr/bin/zbarimg", X_OK) != 0) GTEST_SKIP() << "zbarimg (Debian's zbar-tools) is not installed";
    }
};

}  // namespace

TEST_P(PhoneDashboard, PrintsACodeThatReadsAsThePageAddressForEachAddressAndThePageIsThere) {
    const std::set<std::string> local = LocalAddresses();
    if (local.empty()) GTEST_SKIP() << "this machine has no address but loopback";
    const std::string udp = std::to_string(Harness_FreeUdpPort());
    const int web = tcp::FreePort();
    const std::string tail = ":" + std::to_string(web) + "/";
    Proc server, dash;
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-p", udp}, wine()));
    const std::vector<std::string> args = {"--web", std::to_string(web), "--port", udp, "--json"};
    if (wine()) {
        // As the racer starts it: the zip's launcher, beside tarmis_dash.exe
        // in a folder of its own (the options after it override its port).
        ASSERT_TRUE(launcher.Make());
        std::vector<std::string> cmd = {"cmd", "/c", "Phone dashboard.cmd"};
        cmd.insert(cmd.end(), args.begin(), args.end());
        ASSERT_TRUE(Harness_Start(dash, cmd, true, launcher.dir));
    } else {
        ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", args, false));
    }
    ASSERT_TRUE(Harness_WaitOutput(dash, "On this PC itself: http://127.0.0.1" + tail, wait_ms()))
        << dash.out << Harness_ReadFile(dash.dir + "/stderr.txt");

    // One address line and one code per address, each code reading as its line's address.
    const std::regex address_line("^http://([0-9.]+)" + tail + "  on .+$");
    std::vector<std::string> shown;
    for (const std::string& line : Harness_Lines(dash.out)) {
        std::smatch m;
        if (std::regex_match(line, m, address_line)) shown.push_back(m[1].str());
    }
    const auto codes = QrBlocks(dash.out);
    ASSERT_EQ(codes.size(), shown.size()) << dash.out;
    for (size_t i = 0; i < codes.size(); i++)
        EXPECT_EQ(Decode(codes[i], dash.dir + "/code" + std::to_string(i) + ".pgm"), "http://" + shown[i] + tail);
    EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), local) << dash.out;

    // Opened by each of them the page is served, live from the server. The
    // request goes to 127.0.0.1 (tests talk to loopback only) and names the
    // address in its Host line, as a phone's browser does.
    for (const std::string& address : shown) {
        const std::string get = "GET / HTTP/1.0\r\nHost: " + address + tail.substr(0, tail.size() - 1) + "\r\n\r\n";
        EXPECT_NE(tcp::Exchange(web, get, 5000).find("200 OK"), std::string::npos) << address;
        std::string state;
        const double end = Harness_NowMs() + wait_ms();
        do {
            state = tcp::Exchange(web, "GET /state HTTP/1.0\r\nHost: " + address + "\r\n\r\n", 5000);
            if (state.find("\"link\":\"live\"") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } while (Harness_NowMs() < end);
        EXPECT_NE(state.find("\"link\":\"live\""), std::string::npos) << address << ": " << state;
    }
}

// Double-clicked, tarmis_dash has a console window of its own (here one
// that wineconsole opens): while no server answers it keeps trying, session
// after session (each from a socket of its own), instead of ending after
// the first; with --once there is one session only.
TEST_P(PhoneDashboard, InAConsoleOfItsOwnKeepsTryingWhileNoServerAnswers) {
    if (!wine()) GTEST_SKIP() << "a console window of its own is a Windows one; a terminal keeps today's exit";
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof self;
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
    ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&self), &len), 0);
    const std::string port = std::to_string(ntohs(self.sin_port));
    for (bool once : {false, true}) {
        std::vector<std::string> argv = {"wineconsole", Harness_WinDir() + "/tarmis_dash.exe", "--port", port,
                                         "--timeout", "500"};
        if (once) argv.push_back("--once");
        Proc dash;
        ASSERT_TRUE(Harness_Start(dash, argv, true));
        // The handshake's requests, by the port they came from, for long
        // enough that a session of 0.5 s and the pause after it come round
        // several times (Wine starts a program in a few seconds).
        std::set<int> sessions;
        const double end = Harness_NowMs() + (wait_ms() / 4);
        while (Harness_NowMs() < end) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buf[256];
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            if (recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen) > 0)
                sessions.insert(ntohs(from.sin_port));
        }
        KillProgramsWith({"tarmis_dash.exe", "--port", port});
        Harness_Kill(dash);
        if (once) EXPECT_EQ(sessions.size(), 1u);
        else EXPECT_GE(sessions.size(), 4u);
    }
    close(sock);
}

TARMIS_BUILD_SUITE(PhoneDashboard);
