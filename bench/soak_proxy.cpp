// bench/soak_proxy.cpp: tarmis_soak_proxy, a lossy network between dashboard
// clients and the server, for the soak test.
//
//   tarmis_soak_proxy --server-port S [--port P] [--seed N] [--drop PCT]
//                     [--dup PCT] [--reorder PCT] [--jitter MS] [--gap-limit MS]
//
// Clients send to 127.0.0.1:P (0 or absent: a free port, printed as
// "PROXY READY port P"). Each client address gets a socket of its own
// towards 127.0.0.1:S, so the server sees one sender per client, as it would
// on a real network. In both directions every datagram is, independently:
// dropped (default 5 %); otherwise sent twice (10 %); delayed by 0..jitter ms
// (50) in the order it came; and 5 % of them are held back until the next
// datagram of the same client and direction has gone (a reorder; at most
// 100 ms). The defaults are those of a poor Wi-Fi link.
//
// It measures what the server sends before any of that happens: for each
// client, the time between two sequenced packets from the server. A gap over
// the limit (200 ms) prints "PROXY GAP ..." at once. On SIGINT or SIGTERM it
// prints its counts and the distribution of those gaps, and of the gaps the
// clients saw after the impairment, and exits 0 (1 when a gap passed the
// limit).
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/net.h"

namespace {

constexpr int PROXY_MAX_SESSIONS = 64;
constexpr int PROXY_MAX_PENDING = 2048;
constexpr int PROXY_PACKET_MAX = 1472;
constexpr int64_t PROXY_IDLE_US = 20'000'000;   // a silent client's socket is closed
constexpr int64_t PROXY_HOLD_US = 100'000;      // longest hold of a reordered datagram
constexpr int PROXY_HIST_MS = 2000;             // gap histogram: 1 ms buckets

enum ProxyDir { DIR_UP, DIR_DOWN };   // towards the server, towards the client

struct Session {
    bool used;
    std::array<uint8_t, 4> client_ip;
    uint16_t client_port;   // network order
    NetSocket upstream;
    int64_t last_up_us;           // last datagram from the client
    int64_t last_server_us;       // last sequenced packet from the server (0: none)
    int64_t last_delivered_us;    // last sequenced packet passed on to the client
    double max_gap_ms;
    int64_t last_due_us[2];       // keeps the order within a direction
    int held[2];                  // pending index held back for a reorder, -1: none
};

struct Pending {
    bool used;
    int session;
    ProxyDir dir;
    bool held;
    int64_t due_us;
    int64_t queued_us;
    uint64_t serial;
    int length;
    uint8_t data[PROXY_PACKET_MAX];
};

struct Histogram {
    std::array<uint32_t, PROXY_HIST_MS + 1> buckets;   // the last one: longer
    uint64_t count;
    double max_ms;
};

std::array<Session, PROXY_MAX_SESSIONS> sessions;
std::array<Pending, PROXY_MAX_PENDING> pending;
Histogram server_gaps;      // between the server's packets to one client
Histogram delivered_gaps;   // the same after the impairment
uint64_t next_serial;
volatile std::sig_atomic_t proxy_stop;

struct Counts {
    uint64_t received[2], dropped[2], duplicated[2], reordered[2], sent[2], overflow;
    uint64_t sessions, gaps_over;
} counts;

double drop_pct = 5.0, dup_pct = 10.0, reorder_pct = 5.0, jitter_ms = 50.0, gap_limit_ms = 200.0;
std::mt19937_64 rng;
std::chrono::steady_clock::time_point epoch;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - epoch)
        .count();
}

bool Chance(double pct) { return std::uniform_real_distribution<double>(0.0, 100.0)(rng) < pct; }

void Hist_Add(Histogram& h, double ms) {
    int b = static_cast<int>(ms);
    h.buckets[static_cast<size_t>(std::clamp(b, 0, PROXY_HIST_MS))]++;
    h.count++;
    h.max_ms = std::max(h.max_ms, ms);
}

// The nearest-rank percentile, to the millisecond bucket it falls in.
int Hist_Percentile(const Histogram& h, double pct) {
    if (h.count == 0) return 0;
    uint64_t rank = static_cast<uint64_t>(pct / 100.0 * static_cast<double>(h.count) + 0.999999);
    uint64_t seen = 0;
    for (int b = 0; b <= PROXY_HIST_MS; b++) {
        seen += h.buckets[static_cast<size_t>(b)];
        if (seen >= std::max<uint64_t>(rank, 1)) return b;
    }
    return PROXY_HIST_MS;
}

bool IsSequenced(const uint8_t* data, int length) {
    static const uint8_t oob[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return length >= 8 && std::memcmp(data, oob, 4) != 0;
}

int FreePending() {
    for (int i = 0; i < PROXY_MAX_PENDING; i++)
        if (!pending[static_cast<size_t>(i)].used) return i;
    return -1;
}

// Queues one copy for `session` in `dir`, due after a random delay but not
// before the copy queued before it. Returns its index, -1 when full.
int Enqueue(int session, ProxyDir dir, const uint8_t* data, int length, int64_t now) {
    int i = FreePending();
    if (i < 0) {
        counts.overflow++;
        return -1;
    }
    Session& s = sessions[static_cast<size_t>(session)];
    Pending& p = pending[static_cast<size_t>(i)];
    int64_t delay = static_cast<int64_t>(std::uniform_real_distribution<double>(0.0, jitter_ms)(rng) * 1000.0);
    p.used = true;
    p.session = session;
    p.dir = dir;
    p.held = false;
    p.due_us = std::max(now + delay, s.last_due_us[dir]);
    p.queued_us = now;
    p.serial = next_serial++;
    p.length = length;
    std::memcpy(p.data, data, static_cast<size_t>(length));
    s.last_due_us[dir] = p.due_us;
    return i;
}

// Applies the impairment to one datagram arriving for `session` in `dir`.
void Impair(int session, ProxyDir dir, const uint8_t* data, int length, int64_t now) {
    Session& s = sessions[static_cast<size_t>(session)];
    counts.received[dir]++;
    if (Chance(drop_pct)) {
        counts.dropped[dir]++;
        return;
    }
    int copies = Chance(dup_pct) ? 2 : 1;
    if (copies == 2) counts.duplicated[dir]++;
    bool hold = s.held[dir] < 0 && Chance(reorder_pct);
    int first = -1;
    for (int c = 0; c < copies; c++) {
        int i = Enqueue(session, dir, data, length, now);
        if (c == 0) first = i;
    }
    if (first < 0) return;
    int held = s.held[dir];
    if (held >= 0) {
        // The datagram held back goes right after this one.
        Pending& h = pending[static_cast<size_t>(held)];
        h.held = false;
        h.due_us = s.last_due_us[dir];
        h.serial = next_serial++;
        s.held[dir] = -1;
    } else if (hold) {
        Pending& p = pending[static_cast<size_t>(first)];
        p.held = true;
        s.held[dir] = first;
        counts.reordered[dir]++;
    }
}

void Deliver(NetSocket listen, uint16_t server_port, Pending& p, int64_t now) {
    Session& s = sessions[static_cast<size_t>(p.session)];
    int n;
    if (p.dir == DIR_UP) {
        n = Sys_SendTo(s.upstream, p.data, p.length, {127, 0, 0, 1}, server_port);
    } else {
        n = Sys_SendTo(listen, p.data, p.length, s.client_ip, s.client_port);
        if (IsSequenced(p.data, p.length)) {
            if (s.last_delivered_us != 0)
                Hist_Add(delivered_gaps, static_cast<double>(now - s.last_delivered_us) / 1000.0);
            s.last_delivered_us = now;
        }
    }
    if (n == p.length) counts.sent[p.dir]++;
    p.used = false;
}

// Sends every copy that is due, in the order of due time and queueing.
void DeliverDue(NetSocket listen, uint16_t server_port, int64_t now) {
    static std::array<int, PROXY_MAX_PENDING> due;
    int n = 0;
    for (int i = 0; i < PROXY_MAX_PENDING; i++) {
        Pending& p = pending[static_cast<size_t>(i)];
        if (!p.used) continue;
        if (p.held && now - p.queued_us >= PROXY_HOLD_US) {
            // Nothing came after it: it goes now.
            p.held = false;
            p.due_us = now;
            sessions[static_cast<size_t>(p.session)].held[p.dir] = -1;
        }
        if (!p.held && p.due_us <= now) due[static_cast<size_t>(n++)] = i;
    }
    std::sort(due.begin(), due.begin() + n, [](int a, int b) {
        const Pending& x = pending[static_cast<size_t>(a)];
        const Pending& y = pending[static_cast<size_t>(b)];
        return x.due_us != y.due_us ? x.due_us < y.due_us : x.serial < y.serial;
    });
    for (int k = 0; k < n; k++) Deliver(listen, server_port, pending[static_cast<size_t>(due[static_cast<size_t>(k)])], now);
}

int FindSession(const std::array<uint8_t, 4>& ip, uint16_t port, int64_t now) {
    int free_slot = -1;
    for (int i = 0; i < PROXY_MAX_SESSIONS; i++) {
        Session& s = sessions[static_cast<size_t>(i)];
        if (s.used && s.client_ip == ip && s.client_port == port) return i;
        if (!s.used && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return -1;
    NetSocket sock = Sys_UdpSocket();
    if (sock == NET_INVALID_SOCKET || !Sys_SetNonBlocking(sock) || !Sys_BindAny(sock, 0)) {
        if (sock != NET_INVALID_SOCKET) Sys_CloseSocket(sock);
        return -1;
    }
    Session& s = sessions[static_cast<size_t>(free_slot)];
    s = Session{};
    s.used = true;
    s.client_ip = ip;
    s.client_port = port;
    s.upstream = sock;
    s.last_up_us = now;
    s.held[0] = s.held[1] = -1;
    counts.sessions++;
    return free_slot;
}

// Closes the sockets of clients silent for a while that have nothing queued.
void ExpireSessions(int64_t now) {
    for (int i = 0; i < PROXY_MAX_SESSIONS; i++) {
        Session& s = sessions[static_cast<size_t>(i)];
        if (!s.used || now - s.last_up_us < PROXY_IDLE_US) continue;
        bool queued = false;
        for (const Pending& p : pending) queued = queued || (p.used && p.session == i);
        if (queued) continue;
        Sys_CloseSocket(s.upstream);
        s.used = false;
    }
}

void OnSignal(int) { proxy_stop = 1; }

bool ParseNumber(const char* text, double lo, double hi, double& out) {
    if (text == nullptr) return false;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != 0 || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

void PrintHistogram(const char* what, const Histogram& h) {
    std::printf("PROXY %s: n %llu median %d p99 %d p99.9 %d max %.1f ms\n", what,
                static_cast<unsigned long long>(h.count), Hist_Percentile(h, 50.0),
                Hist_Percentile(h, 99.0), Hist_Percentile(h, 99.9), h.max_ms);
}

}  // namespace

int main(int argc, char** argv) {
    double server_port = 0, listen_port = 0, seed = 1;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = false;
        if (std::strcmp(a, "--server-port") == 0) ok = ParseNumber(v, 1, 65535, server_port);
        else if (std::strcmp(a, "--port") == 0) ok = ParseNumber(v, 0, 65535, listen_port);
        else if (std::strcmp(a, "--seed") == 0) ok = ParseNumber(v, 0, 4294967295.0, seed);
        else if (std::strcmp(a, "--drop") == 0) ok = ParseNumber(v, 0, 100, drop_pct);
        else if (std::strcmp(a, "--dup") == 0) ok = ParseNumber(v, 0, 100, dup_pct);
        else if (std::strcmp(a, "--reorder") == 0) ok = ParseNumber(v, 0, 100, reorder_pct);
        else if (std::strcmp(a, "--jitter") == 0) ok = ParseNumber(v, 0, 1000, jitter_ms);
        else if (std::strcmp(a, "--gap-limit") == 0) ok = ParseNumber(v, 1, 60000, gap_limit_ms);
        if (!ok) {
            std::fprintf(stderr,
                         "usage: tarmis_soak_proxy --server-port S [--port P] [--seed N] [--drop PCT]\n"
                         "       [--dup PCT] [--reorder PCT] [--jitter MS] [--gap-limit MS]\n");
            return 2;
        }
        i++;
    }
    if (server_port == 0) {
        std::fprintf(stderr, "tarmis_soak_proxy: --server-port is needed\n");
        return 2;
    }
    const uint16_t server_port_n = Sys_HostToNetShort(static_cast<uint16_t>(server_port));
    rng.seed(static_cast<uint64_t>(seed));
    epoch = std::chrono::steady_clock::now();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    NetSocket listen = Sys_UdpSocket();
    if (listen == NET_INVALID_SOCKET || !Sys_SetNonBlocking(listen) ||
        !Sys_BindAny(listen, Sys_HostToNetShort(static_cast<uint16_t>(listen_port)))) {
        std::fprintf(stderr, "tarmis_soak_proxy: cannot open UDP port %.0f\n", listen_port);
        return 2;
    }
    std::array<uint8_t, 4> ip{};
    uint16_t port = 0;
    Sys_SocketName(listen, ip, port);
    std::printf("PROXY READY port %u\n", Sys_NetToHostShort(port));
    std::fflush(stdout);

    static uint8_t buf[PROXY_PACKET_MAX];
    int64_t next_expire = 0;
    while (!proxy_stop) {
        Sys_WaitForSocket(listen, 1000);
        int64_t now = NowUs();
        // Bounded, so that a stream of errors cannot keep the loop here.
        for (int k = 0; k < 256; k++) {
            int n = Sys_RecvFrom(listen, buf, sizeof buf, ip, port);
            if (n < 0) {
                if (Sys_NetLastError() == NET_ERR_WOULDBLOCK) break;
                continue;   // too long, or a refused earlier send: not for us
            }
            int s = FindSession(ip, port, now);
            if (s < 0) continue;
            Session& session = sessions[static_cast<size_t>(s)];
            session.last_up_us = now;
            // A handshake request starts a new connection: a new client may
            // have been given the port of one that left a moment ago.
            if (!IsSequenced(buf, n)) session.last_server_us = session.last_delivered_us = 0;
            Impair(s, DIR_UP, buf, n, now);
        }
        for (int i = 0; i < PROXY_MAX_SESSIONS; i++) {
            Session& s = sessions[static_cast<size_t>(i)];
            if (!s.used) continue;
            for (int k = 0; k < 256; k++) {
                int n = Sys_RecvFrom(s.upstream, buf, sizeof buf, ip, port);
                if (n < 0) {
                    if (Sys_NetLastError() == NET_ERR_WOULDBLOCK) break;
                    continue;
                }
                if (port != server_port_n) continue;
                int64_t t = NowUs();
                if (IsSequenced(buf, n)) {
                    if (s.last_server_us != 0) {
                        double gap = static_cast<double>(t - s.last_server_us) / 1000.0;
                        Hist_Add(server_gaps, gap);
                        s.max_gap_ms = std::max(s.max_gap_ms, gap);
                        if (gap > gap_limit_ms) {
                            counts.gaps_over++;
                            std::printf("PROXY GAP client port %u: %.1f ms without an update, at %.1f s\n",
                                        Sys_NetToHostShort(s.client_port), gap,
                                        static_cast<double>(t) / 1e6);
                            std::fflush(stdout);
                        }
                    }
                    s.last_server_us = t;
                }
                Impair(i, DIR_DOWN, buf, n, t);
            }
        }
        now = NowUs();
        DeliverDue(listen, server_port_n, now);
        if (now >= next_expire) {
            ExpireSessions(now);
            next_expire = now + 1'000'000;
        }
    }

    for (int d = 0; d < 2; d++) {
        std::printf("PROXY %s: received %llu dropped %llu duplicated %llu reordered %llu sent %llu\n",
                    d == DIR_UP ? "to server" : "to clients",
                    static_cast<unsigned long long>(counts.received[d]),
                    static_cast<unsigned long long>(counts.dropped[d]),
                    static_cast<unsigned long long>(counts.duplicated[d]),
                    static_cast<unsigned long long>(counts.reordered[d]),
                    static_cast<unsigned long long>(counts.sent[d]));
    }
    std::printf("PROXY clients %llu, queue full %llu times\n",
                static_cast<unsigned long long>(counts.sessions),
                static_cast<unsigned long long>(counts.overflow));
    PrintHistogram("server gaps", server_gaps);
    PrintHistogram("gaps after impairment", delivered_gaps);
    std::printf("PROXY gaps over %.0f ms: %llu\n", gap_limit_ms,
                static_cast<unsigned long long>(counts.gaps_over));
    std::fflush(stdout);
    return counts.gaps_over == 0 ? 0 : 1;
}
