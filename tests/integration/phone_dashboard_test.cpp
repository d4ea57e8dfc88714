// tarmis_dash --web as a racer starts it (on Windows, the zip's launcher):
// for each address of this PC the page's address and a QR code of it in the
// console, which a phone's camera reads, and the page served there.
#include <ifaddrs.h>
#include <net/if.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "harness.h"
#include "tcp_client.h"

namespace {

// This machine's IPv4 addresses on interfaces that are up, loopback left out.
std::set<std::string> LocalAddresses() {
    std::set<std::string> found;
    ifaddrs* list = nullptr;
    for (ifaddrs* it = getifaddrs(&list) == 0 ? list : nullptr; it != nullptr; it = it->ifa_next) {
        char text[INET_ADDRSTRLEN];
        if (it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET && (it->ifa_flags & IFF_UP) &&
            !(it->ifa_flags & IFF_LOOPBACK))
            found.insert(inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof text));
    }
    freeifaddrs(list);
    return found;
}

// What zbarimg reads in each code drawn in `text` (a run of lines of half
// blocks, full blocks and blanks). A character is a module wide and two
// high, a drawn half light; each module becomes 4 x 4 pixels of a PGM
// image, with a light margin of 8 modules.
std::vector<std::string> DecodeCodes(const std::string& text, const std::string& path) {
    static const std::regex drawn("^( |\u2580|\u2584|\u2588)+$");
    std::vector<std::vector<std::string>> codes(1);   // rows of modules: '\xff' light, '\0' dark
    for (const std::string& line : Harness_Lines(text)) {
        if (line.find_first_not_of(' ') == std::string::npos || !std::regex_match(line, drawn)) {
            if (!codes.back().empty()) codes.emplace_back();
            continue;
        }
        std::string upper, lower;
        for (size_t i = 0; i < line.size(); i += line[i] == ' ' ? 1 : 3) {
            const std::string c = line.substr(i, line[i] == ' ' ? 1 : 3);
            upper += c == "\u2588" || c == "\u2580" ? '\xff' : '\0';
            lower += c == "\u2588" || c == "\u2584" ? '\xff' : '\0';
        }
        codes.back().insert(codes.back().end(), {upper, lower});
    }
    std::vector<std::string> read;
    for (const auto& rows : codes) {
        if (rows.empty()) continue;
        const size_t w = (rows[0].size() + 16) * 4, h = (rows.size() + 16) * 4;
        std::string pixels(w * h, '\xff');
        for (size_t y = 32; y / 4 - 8 < rows.size(); y++)
            for (size_t x = 32; x / 4 - 8 < rows[y / 4 - 8].size(); x++) pixels[y * w + x] = rows[y / 4 - 8][x / 4 - 8];
        std::ofstream(path, std::ios::binary) << "P5 " << w << " " << h << " 255\n" << pixels;
        const std::string out = path + ".txt";
        [[maybe_unused]] const int status = std::system(("timeout 30 zbarimg -q --raw '" + path + "' > '" + out + "'").c_str());
        const std::string text = Harness_ReadFile(out);
        read.push_back(text.substr(0, text.find_first_of("\r\n")));
    }
    return read;
}

class PhoneDashboard : public BuildRun {
protected:
    void SetUp() override {
        BuildRun::SetUp();
        if (!IsSkipped() && access("/usr/bin/zbarimg", X_OK) != 0) GTEST_SKIP() << "zbarimg (Debian's zbar-tools) is not installed";
    }
};

// A folder of its own, removed with everything in it.
struct Folder {
    std::string path = std::filesystem::temp_directory_path() / ("tarmis_launcher_" + std::to_string(getpid()));
    Folder() { std::filesystem::create_directory(path); }
    ~Folder() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST_P(PhoneDashboard, PrintsACodeThatReadsAsThePageAddressForEachAddressAndThePageIsThere) {
    const std::set<std::string> local = LocalAddresses();
    if (local.empty()) GTEST_SKIP() << "this machine has no address but loopback";
    const std::string udp = std::to_string(Harness_FreeUdpPort());
    const int web = tcp::FreePort();
    const std::string tail = std::string(":").append(std::to_string(web)).append("/");
    Folder folder;   // removed after the program
    Proc dash;
    const std::vector<std::string> args = {"--web", std::to_string(web), "--port", udp, "--json"};
    if (wine()) {
        // As the racer starts it: the zip's launcher, beside tarmis_dash.exe
        // in a folder of its own (the options after it override its port).
        std::filesystem::copy_file(Harness_WinDir() + "/packaging/Phone dashboard.cmd", folder.path + "/Phone dashboard.cmd");
        std::filesystem::create_symlink(Harness_WinDir() + "/tarmis_dash.exe", folder.path + "/tarmis_dash.exe");
        std::vector<std::string> cmd = {"cmd", "/c", "Phone dashboard.cmd"};
        cmd.insert(cmd.end(), args.begin(), args.end());
        ASSERT_TRUE(Harness_Start(dash, cmd, true, folder.path));
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
        if (std::regex_match(line, m, address_line)) shown.push_back("http://" + m[1].str() + tail);
    }
    EXPECT_EQ(DecodeCodes(dash.out, dash.dir + "/code.pgm"), shown) << dash.out;
    std::set<std::string> every;
    for (const std::string& address : local) every.insert("http://" + address + tail);
    EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), every) << dash.out;

    // Opened by each of them the page is served. The request goes to
    // 127.0.0.1 (tests talk to loopback only) and names the address in its
    // Host line, as a phone's browser does.
    for (const std::string& url : shown) {
        const std::string get = "GET / HTTP/1.0\r\nHost: " + url.substr(7, url.size() - 8) + "\r\n\r\n";
        EXPECT_EQ(tcp::Exchange(web, get, 5000).rfind("HTTP/1.1 200 OK", 0), 0u) << url;
    }
}

// Double-clicked, tarmis_dash has a console window of its own (here one
// that wineconsole opens): while no server answers it keeps trying, session
// after session (each from a socket of its own), instead of ending after
// the first; with --once there is one session only.
TEST_P(PhoneDashboard, InAConsoleOfItsOwnKeepsTryingWhileNoServerAnswers) {
    if (!wine()) GTEST_SKIP() << "a console window of its own is a Windows one; a terminal keeps today's exit";
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self = tcp::Address("127.0.0.1", 0);
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
        // The handshake's requests, by the port they came from, until four
        // sessions came or long enough that a session of 0.5 s and the pause
        // after it come round several times (Wine starts a program in a few
        // seconds).
        std::set<int> sessions;
        for (const double end = Harness_NowMs() + wait_ms() / 4; Harness_NowMs() < end;) {
            pollfd p{sock, POLLIN, 0};
            char buf[256];
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            if (poll(&p, 1, 200) > 0 && recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen) > 0)
                sessions.insert(ntohs(from.sin_port));
            if (!once && sessions.size() >= 4) break;
        }
        // The program runs outside the harness's process group when a
        // console of its own started it: found by its command line.
        [[maybe_unused]] const int status = std::system(("pkill -KILL -f 'tarmis_dash[.]exe --port " + port + " --timeout'").c_str());
        Harness_Kill(dash);
        if (once) EXPECT_EQ(sessions.size(), 1u);
        else EXPECT_GE(sessions.size(), 4u);
    }
    close(sock);
}

TARMIS_BUILD_SUITE(PhoneDashboard);
