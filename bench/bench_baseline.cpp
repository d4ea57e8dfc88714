// bench/bench_baseline.cpp: tarmis_bench_baseline, the bare minimum the
// server's main loop and its sends cost on this machine, through the same
// platform calls the server makes.
//
//   tarmis_bench_baseline loop SECONDS    every pass: a 100 us readiness wait
//                                         on a UDP socket, one millisecond
//                                         clock reading, one non-blocking
//                                         receive. Prints "LOOP passes N rate R"
//                                         (the caller reads the CPU time from
//                                         /proc, as it does for the server).
//   tarmis_bench_baseline pace SECONDS    the same loop, noting every pass in
//                                         which more than 50 ms of the clock
//                                         passed since the last one noted (the
//                                         server's pacing rule, without any
//                                         network): "PACE n N min median p99
//                                         max" in milliseconds.
//   tarmis_bench_baseline sendto COUNT    COUNT sends of an 83-byte datagram
//                                         to a socket of its own on 127.0.0.1,
//                                         drained between bursts: "SENDTO
//                                         count N cpu_us_per_send C
//                                         wall_us_per_send W".
//   tarmis_bench_baseline pacer SECONDS PORT  a bare paced sender on PORT for
//                                         tarmis_bench_client (see Base_Pacer).
//   tarmis_bench_baseline latency SECONDS one thread sends a datagram holding
//                                         the monotonic time 60 times a second;
//                                         another, in the loop above, notes
//                                         when it is read: "LATENCY n N min
//                                         median p99 max" in milliseconds, the
//                                         floor of one hop on this machine.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/sys.h"

static NetSocket Base_Socket() {
    NetSocket s = Sys_UdpSocket();
    if (s == NET_INVALID_SOCKET || !Sys_BindAny(s, 0) || !Sys_SetNonBlocking(s)) {
        std::fprintf(stderr, "tarmis_bench_baseline: no socket\n");
        std::exit(1);
    }
    return s;
}

static double Base_Rank(const std::vector<double>& v, double p) {
    size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(v.size(), std::max<size_t>(k, 1)) - 1];
}

static void Base_Loop(double seconds, bool pace) {
    NetSocket s = Base_Socket();
    std::array<uint8_t, 8192> buf{};
    std::array<uint8_t, 4> ip{};
    uint16_t port = 0;
    uint32_t start = Sys_PlatformTimer();
    uint32_t span = static_cast<uint32_t>(seconds * 1000.0);
    uint32_t last = start;
    uint64_t passes = 0;
    std::vector<double> intervals;
    auto last_noted = std::chrono::steady_clock::now();
    for (;;) {
        Sys_WaitForSocket(s, 100);
        uint32_t now = Sys_PlatformTimer();
        Sys_RecvFrom(s, buf.data(), static_cast<int>(buf.size()), ip, port);
        passes++;
        if (pace && static_cast<int32_t>(now - last) > 50) {
            auto t = std::chrono::steady_clock::now();
            intervals.push_back(std::chrono::duration<double, std::milli>(t - last_noted).count());
            last_noted = t;
            last = now;
        }
        if (now - start >= span) break;
    }
    if (!pace) {
        std::printf("LOOP passes %llu rate %.1f\n", static_cast<unsigned long long>(passes),
                    static_cast<double>(passes) / seconds);
        return;
    }
    if (intervals.size() > 1) intervals.erase(intervals.begin());   // the first counts from start
    std::sort(intervals.begin(), intervals.end());
    if (intervals.empty()) {
        std::printf("PACE n 0\n");
        return;
    }
    std::printf("PACE n %zu min %.3f median %.3f p99 %.3f max %.3f\n", intervals.size(),
                intervals.front(), Base_Rank(intervals, 0.5), Base_Rank(intervals, 0.99),
                intervals.back());
}

static void Base_SendTo(long count) {
    NetSocket tx = Base_Socket();
    NetSocket rx = Base_Socket();
    std::array<uint8_t, 4> ip{}, loop = {127, 0, 0, 1};
    uint16_t port = 0;
    if (!Sys_SocketName(rx, ip, port)) std::exit(1);
    std::array<uint8_t, 83> msg{};
    for (size_t i = 0; i < msg.size(); i++) msg[i] = static_cast<uint8_t>(i);
    std::array<uint8_t, 2048> buf{};
    constexpr long BURST = 64;   // well below the receive buffer: none is dropped
    double cpu_s = 0.0, wall_s = 0.0;
    long sent = 0;
    while (sent < count) {
        long n = std::min(BURST, count - sent);
        std::clock_t c0 = std::clock();
        auto w0 = std::chrono::steady_clock::now();
        for (long i = 0; i < n; i++) Sys_SendTo(tx, msg.data(), static_cast<int>(msg.size()), loop, port);
        auto w1 = std::chrono::steady_clock::now();
        std::clock_t c1 = std::clock();
        cpu_s += static_cast<double>(c1 - c0) / CLOCKS_PER_SEC;
        wall_s += std::chrono::duration<double>(w1 - w0).count();
        sent += n;
        std::array<uint8_t, 4> from_ip{};
        uint16_t from_port = 0;
        while (Sys_RecvFrom(rx, buf.data(), static_cast<int>(buf.size()), from_ip, from_port) >= 0) {
        }
    }
    std::printf("SENDTO count %ld cpu_us_per_send %.3f wall_us_per_send %.3f\n", sent,
                cpu_s * 1e6 / static_cast<double>(sent), wall_s * 1e6 / static_cast<double>(sent));
}

static int64_t Base_NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static void Base_Latency(double seconds) {
    NetSocket tx = Base_Socket();
    NetSocket rx = Base_Socket();
    std::array<uint8_t, 4> ip{}, loop = {127, 0, 0, 1};
    uint16_t port = 0;
    if (!Sys_SocketName(rx, ip, port)) std::exit(1);
    int frames = static_cast<int>(seconds * 60.0);
    std::thread sender([&] {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; i++) {
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
            int64_t t = Base_NowNs();
            Sys_SendTo(tx, &t, static_cast<int>(sizeof t), loop, port);
        }
    });
    std::vector<double> lat;
    std::array<uint8_t, 8192> buf{};
    int64_t end = Base_NowNs() + static_cast<int64_t>((seconds + 1.0) * 1e9);
    while (static_cast<int>(lat.size()) < frames && Base_NowNs() < end) {
        Sys_WaitForSocket(rx, 100);
        Sys_PlatformTimer();
        std::array<uint8_t, 4> from_ip{};
        uint16_t from_port = 0;
        int n = Sys_RecvFrom(rx, buf.data(), static_cast<int>(buf.size()), from_ip, from_port);
        if (n != static_cast<int>(sizeof(int64_t))) continue;
        int64_t now = Base_NowNs(), t = 0;
        std::memcpy(&t, buf.data(), sizeof t);
        lat.push_back(static_cast<double>(now - t) / 1e6);
    }
    sender.join();
    std::sort(lat.begin(), lat.end());
    if (lat.empty()) {
        std::printf("LATENCY n 0\n");
        return;
    }
    std::printf("LATENCY n %zu min %.3f median %.3f p99 %.3f max %.3f\n", lat.size(), lat.front(),
                Base_Rank(lat, 0.5), Base_Rank(lat, 0.99), lat.back());
}

// A bare stand-in for the server's pacing, reachable by tarmis_bench_client:
// it answers the handshake and then, in the loop above, sends each client an
// 8-byte header and a one-byte body in every pass in which more than 50 ms of
// the millisecond clock passed since its last one. Measured through the same
// client as the server, it shows the jitter the machine and the client add.
static void Base_Pacer(double seconds, uint16_t listen) {
    NetSocket s = Sys_UdpSocket();
    if (s == NET_INVALID_SOCKET || !Sys_BindAny(s, Sys_HostToNetShort(listen)) ||
        !Sys_SetNonBlocking(s)) {
        std::fprintf(stderr, "tarmis_bench_baseline: cannot bind port %u\n", listen);
        std::exit(1);
    }
    struct Peer {
        std::array<uint8_t, 4> ip;
        uint16_t port;
        uint32_t last;
        uint32_t seq;
    };
    std::array<Peer, 16> peers{};
    int npeers = 0;
    std::array<uint8_t, 8192> buf{};
    uint32_t start = Sys_PlatformTimer();
    uint32_t span = static_cast<uint32_t>(seconds * 1000.0);
    for (;;) {
        Sys_WaitForSocket(s, 100);
        uint32_t now = Sys_PlatformTimer();
        std::array<uint8_t, 4> ip{};
        uint16_t port = 0;
        int n;
        while ((n = Sys_RecvFrom(s, buf.data(), static_cast<int>(buf.size()), ip, port)) >= 0) {
            if (n < 5 || buf[0] != 0xFF || buf[1] != 0xFF || buf[2] != 0xFF || buf[3] != 0xFF)
                continue;
            static const char challenge[] = "\xFF\xFF\xFF\xFF" "c1234";
            static const char accept[] = "\xFF\xFF\xFF\xFF" "j";
            if (n >= 16 && std::memcmp(buf.data() + 4, "getchallenge", 12) == 0) {
                Sys_SendTo(s, challenge, static_cast<int>(sizeof challenge - 1), ip, port);
            } else if (n >= 11 && std::memcmp(buf.data() + 4, "connect", 7) == 0) {
                bool known = false;
                for (int i = 0; i < npeers; i++)
                    known = known || (peers[i].ip == ip && peers[i].port == port);
                if (!known && npeers < static_cast<int>(peers.size()))
                    peers[npeers++] = Peer{ip, port, now - 51, 1};
                Sys_SendTo(s, accept, static_cast<int>(sizeof accept - 1), ip, port);
            }
        }
        for (int i = 0; i < npeers; i++) {
            Peer& p = peers[i];
            if (static_cast<int32_t>(now - p.last) <= 50) continue;
            uint8_t pkt[9] = {0, 0, 0, 0, 0, 0, 0, 0, 10};
            std::memcpy(pkt, &p.seq, 4);   // little-endian hosts
            p.seq++;
            Sys_SendTo(s, pkt, static_cast<int>(sizeof pkt), p.ip, p.port);
            p.last = now;
        }
        if (now - start >= span) break;
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "pacer") == 0) {
        Sys_NetStartup();
        Base_Pacer(std::atof(argv[2]), static_cast<uint16_t>(std::atoi(argv[3])));
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: tarmis_bench_baseline loop|pace|latency SECONDS | sendto COUNT | pacer SECONDS PORT\n");
        return 1;
    }
    Sys_NetStartup();
    if (std::strcmp(argv[1], "loop") == 0) Base_Loop(std::atof(argv[2]), false);
    else if (std::strcmp(argv[1], "pace") == 0) Base_Loop(std::atof(argv[2]), true);
    else if (std::strcmp(argv[1], "latency") == 0) Base_Latency(std::atof(argv[2]));
    else if (std::strcmp(argv[1], "sendto") == 0) Base_SendTo(std::atol(argv[2]));
    else return 1;
    return 0;
}
