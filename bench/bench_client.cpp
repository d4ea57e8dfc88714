// bench/bench_client.cpp: tarmis_bench_client, N dashboard clients in one
// process, each on its own UDP socket and thread, that behave like
// tarmis_dash (handshake, answer every packet, disconnect on leaving) and
// timestamp every update with the monotonic clock the moment it is read.
//
//   tarmis_bench_client --port P [--clients N] [--duration S] [--arrivals FILE]
//
// Prints, for the pacing bench, one line per client and one for all of them:
//   CLIENT i updates U min MS median MS p99 MS max MS
//   ALL updates U rate R min MS median MS p99 MS max MS
// where the figures are the intervals between consecutive updates in
// milliseconds and R is updates a second over the connected time. With
// --arrivals, client 0 writes "ARR rpm t_us" for the first update that
// carries each engine-speed value (microseconds of the monotonic clock).
// The wire code is the dashboard client's (tools/dash/dash_wire), not the
// server's; the sockets are the platform layer's plain UDP calls.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "tools/dash/dash_wire.h"

using BenchClock = std::chrono::steady_clock;

constexpr int BENCH_MAX_CLIENTS = 10;

struct BenchOptions {
    uint16_t port = 2047;
    int clients = 10;
    double duration_s = 30.0;
    const char* arrivals = nullptr;
};

struct BenchClient {
    int index = 0;
    NetSocket sock = NET_INVALID_SOCKET;
    DashChannel chan{};
    std::vector<int64_t> times_ns;          // arrival of every update
    std::vector<std::pair<int, int64_t>> first_rpm;   // first arrival per value
    double connected_s = 0.0;
    bool ok = false;
};

static BenchOptions bench_opt;
static std::array<uint8_t, 4> bench_ip = {127, 0, 0, 1};

static int64_t Bench_NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               BenchClock::now().time_since_epoch())
        .count();
}

static void Bench_Send(BenchClient& c, const uint8_t* data, int length) {
    Sys_SendTo(c.sock, data, length, bench_ip, Sys_HostToNetShort(bench_opt.port));
}

// Waits at most `us` for one datagram from the server; returns its length or -1.
static int Bench_Receive(BenchClient& c, uint8_t* buf, int size, int us) {
    std::array<uint8_t, 4> ip{};
    uint16_t port = 0;
    int n = Sys_RecvFrom(c.sock, buf, size, ip, port);
    if (n < 0 && us > 0 && Sys_WaitForSocket(c.sock, us) > 0)
        n = Sys_RecvFrom(c.sock, buf, size, ip, port);
    if (n < 0 || ip != bench_ip || Sys_NetToHostShort(port) != bench_opt.port) return -1;
    return n;
}

static bool Bench_Handshake(BenchClient& c, uint16_t qport) {
    uint8_t req[DASH_OOB_TEXT_MAX + 8];
    uint8_t buf[2048];
    bool have_challenge = false;
    int32_t challenge = 0;
    char name[32];
    std::snprintf(name, sizeof name, "bench%d", c.index);
    auto deadline = BenchClock::now() + std::chrono::seconds(5);
    auto next_send = BenchClock::now();
    while (BenchClock::now() < deadline) {
        if (BenchClock::now() >= next_send) {
            int n = have_challenge ? Dash_BuildConnect(req, sizeof req, qport, challenge, name, 0)
                                   : Dash_BuildGetChallenge(req, sizeof req);
            Bench_Send(c, req, n);
            next_send = BenchClock::now() + std::chrono::milliseconds(500);
        }
        int n = Bench_Receive(c, buf, sizeof buf, 20000);
        if (n < 0) continue;
        DashOobReply reply;
        DashOobKind kind = Dash_ParseOob(buf, n, reply);
        if (kind == DASH_OOB_CHALLENGE && !have_challenge) {
            have_challenge = true;
            challenge = reply.challenge;
            next_send = BenchClock::now();
        } else if (kind == DASH_OOB_ACCEPT && have_challenge) {
            return true;
        } else if (kind == DASH_OOB_PRINT || kind == DASH_OOB_BAD_VERSION) {
            std::fprintf(stderr, "client %d refused: %s\n", c.index, reply.text);
            return false;
        }
    }
    std::fprintf(stderr, "client %d: no reply to the handshake\n", c.index);
    return false;
}

static void Bench_Run(BenchClient& c) {
    c.sock = Sys_UdpSocket();
    if (c.sock == NET_INVALID_SOCKET || !Sys_BindAny(c.sock, 0) || !Sys_SetNonBlocking(c.sock)) {
        std::fprintf(stderr, "client %d: no socket\n", c.index);
        return;
    }
    uint16_t qport = static_cast<uint16_t>(40000 + c.index * 7 + (Bench_NowNs() / 1000) % 997);
    if (!Bench_Handshake(c, qport)) return;
    DashChan_Setup(c.chan, qport);
    c.times_ns.reserve(static_cast<size_t>(bench_opt.duration_s * 12000) + 64);
    int last_rpm = -1000000;
    uint8_t buf[2048];
    uint8_t out[DASH_PACKET_MAX];
    int64_t start = Bench_NowNs();
    int64_t end = start + static_cast<int64_t>(bench_opt.duration_s * 1e9);
    int64_t last_send = start;
    for (;;) {
        int64_t now = Bench_NowNs();
        if (now >= end) break;
        if (now - last_send > 1000000000) {   // keep alive when nothing comes
            Bench_Send(c, out, DashChan_Transmit(c.chan, nullptr, 0, out));
            last_send = now;
        }
        int n = Bench_Receive(c, buf, sizeof buf, 20000);
        if (n < 0) continue;
        int64_t t = Bench_NowNs();
        DashServerPacket pkt;
        if (!DashChan_Accept(c.chan, buf, n, pkt)) continue;
        DashUpdate u;
        Dash_DecodeUpdate(pkt.payload, pkt.payload_length, pkt.reliable, u);
        if (u.server_disconnect) {
            std::fprintf(stderr, "client %d dropped by the server\n", c.index);
            break;
        }
        c.times_ns.push_back(t);
        if (bench_opt.arrivals != nullptr && (u.present & (1u << DF_RPM)) != 0 &&
            u.ivalue[DF_RPM] != last_rpm) {
            last_rpm = u.ivalue[DF_RPM];
            c.first_rpm.emplace_back(last_rpm, t);
        }
        // Every packet is answered, as the dashboard client does.
        Bench_Send(c, out, DashChan_Transmit(c.chan, nullptr, 0, out));
        last_send = t;
    }
    static const uint8_t bye[1] = {CLC_DISCONNECT};
    Bench_Send(c, out, DashChan_Transmit(c.chan, bye, 1, out));
    c.connected_s = static_cast<double>(Bench_NowNs() - start) / 1e9;
    c.ok = true;
    Sys_CloseSocket(c.sock);
}

// Nearest-rank percentile of sorted values.
static double Bench_Rank(const std::vector<double>& v, double p) {
    if (v.empty()) return NAN;
    size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(v.size(), std::max<size_t>(k, 1)) - 1];
}

static void Bench_Intervals(const BenchClient& c, std::vector<double>& out) {
    for (size_t i = 1; i < c.times_ns.size(); i++)
        out.push_back(static_cast<double>(c.times_ns[i] - c.times_ns[i - 1]) / 1e6);
}

static void Bench_PrintStats(const char* label, size_t updates, std::vector<double>& iv, double rate) {
    std::sort(iv.begin(), iv.end());
    std::printf("%s updates %zu", label, updates);
    if (rate >= 0.0) std::printf(" rate %.1f", rate);
    if (iv.empty()) {
        std::printf(" min - median - p99 - max -\n");
        return;
    }
    std::printf(" min %.3f median %.3f p99 %.3f max %.3f\n", iv.front(), Bench_Rank(iv, 0.5),
                Bench_Rank(iv, 0.99), iv.back());
}

[[noreturn]] static void Bench_Usage() {
    std::fprintf(stderr,
                 "usage: tarmis_bench_client --port P [--clients N (1..10)] [--duration S]"
                 " [--arrivals FILE]\n");
    std::exit(1);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (v == nullptr) Bench_Usage();
        if (std::strcmp(a, "--port") == 0) bench_opt.port = static_cast<uint16_t>(std::atoi(v));
        else if (std::strcmp(a, "--clients") == 0) bench_opt.clients = std::atoi(v);
        else if (std::strcmp(a, "--duration") == 0) bench_opt.duration_s = std::atof(v);
        else if (std::strcmp(a, "--arrivals") == 0) bench_opt.arrivals = v;
        else Bench_Usage();
        i++;
    }
    if (bench_opt.clients < 1 || bench_opt.clients > BENCH_MAX_CLIENTS ||
        bench_opt.duration_s <= 0.0 || bench_opt.port < 1025)
        Bench_Usage();
    Sys_NetStartup();

    static std::array<BenchClient, BENCH_MAX_CLIENTS> clients;
    std::vector<std::thread> threads;
    for (int i = 0; i < bench_opt.clients; i++) {
        clients[i].index = i;
        threads.emplace_back(Bench_Run, std::ref(clients[i]));
    }
    for (auto& t : threads) t.join();

    std::vector<double> all;
    size_t total = 0;
    double rate = 0.0;
    int failed = 0;
    for (int i = 0; i < bench_opt.clients; i++) {
        const BenchClient& c = clients[i];
        if (!c.ok) failed++;
        std::vector<double> iv;
        Bench_Intervals(c, iv);
        all.insert(all.end(), iv.begin(), iv.end());
        total += c.times_ns.size();
        if (c.connected_s > 0.0) rate += static_cast<double>(c.times_ns.size()) / c.connected_s;
        char label[32];
        std::snprintf(label, sizeof label, "CLIENT %d", i);
        Bench_PrintStats(label, c.times_ns.size(), iv, -1.0);
    }
    Bench_PrintStats("ALL", total, all, rate);
    if (bench_opt.arrivals != nullptr) {
        FILE* f = std::fopen(bench_opt.arrivals, "w");
        if (f == nullptr) {
            std::fprintf(stderr, "cannot write %s\n", bench_opt.arrivals);
            return 1;
        }
        for (const auto& [rpm, t] : clients[0].first_rpm)
            std::fprintf(f, "ARR %d %lld\n", rpm, static_cast<long long>(t / 1000));
        std::fclose(f);
    }
    return failed == 0 ? 0 : 2;
}
