// The --web option, the values the page is fed, and the page server's
// answers on a real port of 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "tcp_client.h"
#include "tools/dash/dash_web.h"

namespace {

TEST(DashWeb, TakesTheWebOptionOutOfTheArgumentsAndRefusesBadAddresses) {
    std::vector<std::string> words = {"tarmis_dash", "--port", "3000", "--web", "8080", "--json"};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    int argc = static_cast<int>(argv.size());
    DashWebOption web{};
    ASSERT_TRUE(DashWeb_TakeOption(argc, argv.data(), web, stderr));
    EXPECT_TRUE(web.on);
    EXPECT_STREQ(web.host, "0.0.0.0");
    EXPECT_EQ(web.port, 8080);
    ASSERT_EQ(argc, 4);   // the session's parser sees the rest, in order
    EXPECT_STREQ(argv[1], "--port");
    EXPECT_STREQ(argv[2], "3000");
    EXPECT_STREQ(argv[3], "--json");

    char host[16];
    int port = 0;
    EXPECT_TRUE(DashWeb_ParseAddress("192.168.1.20:80", host, sizeof host, port));
    EXPECT_STREQ(host, "192.168.1.20");
    EXPECT_EQ(port, 80);
    for (const char* bad : {"", "0", "65536", "80x", ":80", "1.2.3:80", "1.2.3.256:80", "1.2.3.4.5:80",
                            "host:80", "1.2.3.4:", "1.2.3.4:-1", "1..3.4:80"})
        EXPECT_FALSE(DashWeb_ParseAddress(bad, host, sizeof host, port)) << bad;

    std::vector<std::string> missing = {"tarmis_dash", "--web"};
    std::vector<char*> argv2 = {missing[0].data(), missing[1].data()};
    int argc2 = 2;
    DashWebOption web2{};
    FILE* sink = tmpfile();
    EXPECT_FALSE(DashWeb_TakeOption(argc2, argv2.data(), web2, sink));
    std::fclose(sink);
}

// Only names of this PC are answered: a page elsewhere that points its own
// name at the PC (DNS rebinding) gets nothing.
TEST(DashWeb, AnswersOnlyToThisPcsAddressesAndNames) {
    struct Case {
        const char* host;
        bool allowed;
    };
    static const Case cases[] = {
        {nullptr, true},          {"192.168.1.20", true},    {"192.168.1.20:8080", true},
        {"127.0.0.1:80", true},   {"localhost", true},       {"LocalHost:8080", true},
        {"localhost.", true},     {"[::1]", true},           {"[fe80::1%25]:8080", false},
        {"[::ffff:10.0.0.1]:80", true}, {"Racing-PC", true},  {"racing-pc.local:8080", true},
        {"", false},              {"evil.example", false},   {"racing-pc.evil.example", false},
        {"racing-pcx", false},    {"localhost.evil.example", false}, {"192.168.1.20.evil.example", false},
        {"192.168.1.256", false}, {"localhost:", false},     {"localhost:80x", false},
        {"[::1", false},          {"[]:80", false},          {"[::1]x", false},
        {"racing-pc.local.", true}, {":80", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DashWeb_HostAllowed(c.host, "racing-pc"), c.allowed) << (c.host ? c.host : "(none)");
    EXPECT_FALSE(DashWeb_HostAllowed("racing-pc", "")) << "no PC name known: names other than localhost refused";
}

TEST(DashWeb, ServesThePageTheStreamAndRefusesWhatItDoesNotKnow) {
    DashWeb_Reset();
    const int port = tcp::FreePort();
    FILE* out = tmpfile();
    // A port that another program holds is refused, and the reason given.
    {
        int holder = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(holder, 1), 0);
        FILE* err = tmpfile();
        EXPECT_FALSE(DashWeb_Start("127.0.0.1", port, out, err));
        std::rewind(err);
        char line[200] = {};
        EXPECT_NE(std::fgets(line, sizeof line, err), nullptr);
        EXPECT_NE(std::string(line).find("cannot listen on 127.0.0.1:"), std::string::npos) << line;
        std::fclose(err);
        close(holder);
    }
    ASSERT_TRUE(DashWeb_Start("127.0.0.1", port, out, stderr));

    const std::string page = tcp::Exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000);
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("text/html"), std::string::npos);
    EXPECT_NE(page.find("new EventSource(\"/events\")"), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos) << "the page must need nothing from elsewhere";

    // The stream: the retry hint, the state at once, then each update.
    DashUpdate u{};
    u.present = 1u << DF_RPM;
    u.ivalue[DF_RPM] = 4321;
    DashWeb_Publish(41, u);
    const std::string events =
        tcp::Exchange(port, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1500, 600);
    EXPECT_NE(events.find("text/event-stream"), std::string::npos) << events;
    EXPECT_NE(events.find("retry: 1000"), std::string::npos) << events;
    EXPECT_NE(events.find("data: {\"link\":\"live\",\"updates\":1,\"seq\":41,"), std::string::npos) << events;
    EXPECT_NE(events.find("\"rpm\":4321"), std::string::npos) << events;

    EXPECT_EQ(tcp::Exchange(port, "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000).rfind(
                  "HTTP/1.1 404", 0),
              0u);
    EXPECT_EQ(tcp::Exchange(port, "\x16\x03\x01 not http\r\n\r\n", 3000).rfind("HTTP/1.1 400", 0), 0u);
    DashWeb_Stop();
    std::fclose(out);
}

}  // namespace
