// tools/dash/dash_web.cpp: the --web page server of the dashboard client.
//
// The HTTP side is cpp-httplib (third_party/cpp-httplib, the library's own
// release): a well-kept server that builds for both systems, so that no
// request parsing is written here by hand. Its settings bound what one
// request may cost; what it has no setting for (a deadline for the whole
// request head, connections per device) is done here around it.
#include "tools/dash/dash_web.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#define CPPHTTPLIB_USE_POLL   // select() cannot watch a descriptor above 1023
#endif
// Connections the system holds while every thread is busy.
#define CPPHTTPLIB_LISTEN_BACKLOG 128
// What one request may hold in memory: its line, and at most 32 header
// lines of 4 KiB (a phone's browser sends about 15, none near that long).
// At most 128 KiB per connection, 1 MiB per device (DASHWEB_PEER_CONNECTIONS).
#define CPPHTTPLIB_MAX_LINE_LENGTH 4096
#define CPPHTTPLIB_REQUEST_URI_MAX_LENGTH 1024
#define CPPHTTPLIB_HEADER_MAX_LENGTH 4096
#define CPPHTTPLIB_HEADER_MAX_COUNT 32
#include "httplib.h"

#include "platform/net.h"
#include "tools/dash/dash_client.h"
#include "tools/dash/dash_where.h"

extern const char dash_web_page[];   // dash_web_page.html, compiled in by CMake

// The latest values, shared by the session (writer) and the HTTP threads
// (readers). Everyone holds web_lock only to copy it.
struct DashWebState {
    uint32_t version;        // changes with every publish and link change
    uint32_t present;        // bit (1 << DashField) per field ever received
    std::array<int32_t, DF_COUNT> ivalue;
    std::array<float, DF_COUNT> fvalue;
    bool have_update;
    bool no_data;            // the latest update said: car not on track
    uint32_t sequence;       // the latest update's packet number
    uint32_t updates;        // updates taken
    uint32_t update_ms;      // when the latest update was taken
    int link;
};

static std::mutex web_lock;
static std::condition_variable web_wake;
static DashWebState web_state;
static bool web_stopping;    // under web_lock
static bool web_retrying;    // under web_lock: a session failed, the next is trying again
static int web_waiters;      // under web_lock: event streams waiting for a change


// The devices connected now, by address: their connections and event
// streams, under web_peer_lock. A slot is free while it has no connection.
// web_streams counts the event streams of all of them.
struct DashWebPeer {
    char addr[48];
    int connections;
    int streams;
};
static std::mutex web_peer_lock;
static int web_streams;
static std::array<DashWebPeer, DASHWEB_PEERS> web_peers;
// The slot of the device whose connection this thread serves (-1: none).
static thread_local int web_peer = -1;
static char web_pc_name[256];   // this PC's host name, for the Host check

struct DashWebServer;
static std::unique_ptr<DashWebServer> web_server;
static std::thread web_thread;
// Set on the accepting thread while it serves a connection itself because
// every pool thread is busy and the queue is full; event streams are then
// refused, so that accepting goes on.
static thread_local bool web_inline = false;

uint32_t DashWeb_NowMs() {
    auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t).count());
}

// ---- the thread pool ------------------------------------------------------

// A fixed set of threads and a bounded queue of accepted connections. A
// flood of connections cannot grow the queue: when it is full the
// accepting thread serves the connection itself, which stops accepting
// until it is done (at most the read time-out for one that sends nothing),
// and the system's listen backlog refuses the rest.
struct DashWebPool : httplib::TaskQueue {
    std::vector<std::thread> threads;
    std::deque<std::function<void()>> jobs;
    std::mutex lock;
    std::condition_variable wake;
    bool shutting = false;

    explicit DashWebPool(int n) {
        for (int i = 0; i < n; i++) threads.emplace_back([this] { Work(); });
    }

    void Work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> held(lock);
                wake.wait(held, [this] { return shutting || !jobs.empty(); });
                if (jobs.empty()) return;   // shutting down and nothing left
                fn = std::move(jobs.front());
                jobs.pop_front();
            }
            fn();
        }
    }

    bool enqueue(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> held(lock);
            if (static_cast<int>(jobs.size()) < DASHWEB_MAX_QUEUED) {
                jobs.push_back(std::move(fn));
                wake.notify_one();
                return true;
            }
        }
        web_inline = true;
        fn();
        web_inline = false;
        return true;
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> held(lock);
            shutting = true;
        }
        wake.notify_all();
        for (auto& t : threads) t.join();
    }
};

// ---- the latest values ----------------------------------------------------

void DashWeb_Reset() {
    std::lock_guard<std::mutex> held(web_lock);
    uint32_t version = web_state.version;
    web_state = DashWebState{};
    web_state.version = version + 1;
    web_state.link = DASHWEB_CONNECTING;
    web_retrying = false;
}

void DashWeb_Publish(uint32_t sequence, const DashUpdate& update) {
    uint32_t now = DashWeb_NowMs();
    bool wake = false;
    {
        std::lock_guard<std::mutex> held(web_lock);
        DashWebState& s = web_state;
        for (int f = 0; f < DF_COUNT; f++) {
            if ((update.present & (1u << f)) == 0) continue;
            s.present |= 1u << f;
            s.ivalue[f] = update.ivalue[f];
            s.fvalue[f] = update.fvalue[f];
        }
        if (update.no_data) s.no_data = true;
        else if (update.present != 0) s.no_data = false;
        s.have_update = true;
        s.sequence = sequence;
        s.updates++;
        s.update_ms = now;
        s.link = DASHWEB_LIVE;
        s.version++;
        web_retrying = false;
        wake = web_waiters > 0;
    }
    // A fast stream finds the streams busy writing or pacing, not waiting:
    // then there is nobody to wake and the session makes no system call.
    if (wake) web_wake.notify_all();
}

void DashWeb_SetLink(int link) {
    {
        std::lock_guard<std::mutex> held(web_lock);
        // While trying again after a failure the page keeps saying "lost".
        if (link == DASHWEB_LOST) web_retrying = true;
        if (link == DASHWEB_CONNECTING && web_retrying) link = DASHWEB_LOST;
        if (web_state.link == link) return;
        web_state.link = link;
        web_state.version++;
    }
    web_wake.notify_all();
}

static int DashWeb_Append(char* buf, int size, int len, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Appends formatted text at `len`, never past `size`; returns the new length.
static int DashWeb_Append(char* buf, int size, int len, const char* fmt, ...) {
    if (len >= size - 1) return len;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf + len, static_cast<size_t>(size - len), fmt, ap);
    va_end(ap);
    if (n < 0) return len;
    return std::min(len + n, size - 1);
}

static int DashWeb_Format(char* buf, int size, const DashWebState& s, uint32_t now_ms) {
    static const char* const links[] = {"connecting", "live", "lost"};
    int link = s.link >= 0 && s.link <= DASHWEB_LOST ? s.link : DASHWEB_CONNECTING;
    int len = 0;
    buf[0] = 0;
    len = DashWeb_Append(buf, size, len, "{\"link\":\"%s\",\"updates\":%u", links[link], s.updates);
    if (s.have_update) {
        uint32_t age = now_ms - s.update_ms;   // wraps safely: unsigned difference
        len = DashWeb_Append(buf, size, len, ",\"seq\":%u,\"age_ms\":%u,\"no_data\":%s", s.sequence,
                             age, s.no_data ? "true" : "false");
    }
    len = DashWeb_Append(buf, size, len, ",\"v\":{");
    bool first = true;
    for (int f = 0; f < DF_COUNT; f++) {
        if ((s.present & (1u << f)) == 0) continue;
        const char* sep = first ? "" : ",";
        first = false;
        if (dash_fields[f].kind != DASH_F32)
            len = DashWeb_Append(buf, size, len, "%s\"%s\":%d", sep, dash_fields[f].name, s.ivalue[f]);
        else if (std::isfinite(s.fvalue[f]))
            len = DashWeb_Append(buf, size, len, "%s\"%s\":%.9g", sep, dash_fields[f].name,
                                 static_cast<double>(s.fvalue[f]));
        else
            len = DashWeb_Append(buf, size, len, "%s\"%s\":null", sep, dash_fields[f].name);
    }
    len = DashWeb_Append(buf, size, len, "}}");
    return len;
}

int DashWeb_FormatState(char* buf, int size, uint32_t now_ms) {
    DashWebState copy;
    {
        std::lock_guard<std::mutex> held(web_lock);
        copy = web_state;
    }
    return DashWeb_Format(buf, size, copy, now_ms);
}

// ---- addresses ------------------------------------------------------------

bool DashWeb_ParseAddress(const char* text, char* host, int host_size, int& port) {
    if (text == nullptr || host_size < 16) return false;
    const char* colon = std::strrchr(text, ':');
    const char* port_text = colon != nullptr ? colon + 1 : text;
    if (colon != nullptr) {
        size_t n = static_cast<size_t>(colon - text);
        if (n == 0 || n >= 16) return false;
        char addr[16];
        std::memcpy(addr, text, n);
        addr[n] = 0;
        int parts = 0, value = -1, digits = 0;
        for (const char* p = addr;; p++) {
            if (*p >= '0' && *p <= '9' && digits < 3) {
                value = (value < 0 ? 0 : value * 10) + (*p - '0');
                digits++;
            } else if ((*p == '.' || *p == 0) && digits > 0 && value <= 255) {
                parts++;
                value = -1;
                digits = 0;
                if (*p == 0) break;
            } else {
                return false;
            }
        }
        if (parts != 4) return false;
        std::snprintf(host, static_cast<size_t>(host_size), "%s", addr);
    } else {
        std::snprintf(host, static_cast<size_t>(host_size), "0.0.0.0");
    }
    char* end = nullptr;
    if (*port_text < '0' || *port_text > '9') return false;
    long p = std::strtol(port_text, &end, 10);
    if (*end != 0 || p < 1 || p > 65535) return false;
    port = static_cast<int>(p);
    return true;
}

// ---- the HTTP side --------------------------------------------------------

// One browser's event stream: waits for a change (or the heartbeat), copies
// the state and writes one event. The write may block on a slow browser up
// to the write time-out; only this pool thread waits.
struct DashWebStream {
    uint32_t seen_version = 0;
    uint32_t sent_ms = 0;
    bool started = false;
};

static bool DashWeb_StreamStep(DashWebStream& st, httplib::DataSink& sink) {
    static thread_local char text[DASHWEB_JSON_MAX + 16];
    DashWebState copy;
    if (!st.started) {
        st.started = true;
        static const char hello[] = "retry: 1000\n\n";
        if (!sink.write(hello, sizeof hello - 1)) return false;
    } else {
        // At most DASHWEB_MAX_EVENT_HZ events a second: a phone need not
        // draw faster, and a fast stream (-f 0) is thinned, never queued.
        int32_t since = static_cast<int32_t>(DashWeb_NowMs() - st.sent_ms);
        int32_t gap = 1000 / DASHWEB_MAX_EVENT_HZ;
        if (since < gap) std::this_thread::sleep_for(std::chrono::milliseconds(gap - since));
    }
    {
        std::unique_lock<std::mutex> held(web_lock);
        if (!web_stopping && web_state.version == st.seen_version) {
            web_waiters++;
            web_wake.wait_for(held, std::chrono::milliseconds(DASHWEB_HEARTBEAT_MS), [&] {
                return web_stopping || web_state.version != st.seen_version;
            });
            web_waiters--;
        }
        if (web_stopping) return false;
        copy = web_state;
    }
    st.seen_version = copy.version;
    st.sent_ms = DashWeb_NowMs();
    int len = 0;
    std::memcpy(text, "data: ", 6);
    len = 6 + DashWeb_Format(text + 6, DASHWEB_JSON_MAX, copy, st.sent_ms);
    text[len++] = '\n';
    text[len++] = '\n';
    return sink.write(text, static_cast<size_t>(len));
}

// ---- requests: what one may cost -----------------------------------------

// Whether the `n` characters at `a` are the name `b`, letters in any case.
static bool DashWeb_SameName(const char* a, size_t n, const char* b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool DashWeb_HostAllowed(const char* host, const char* pc_name) {
    if (host == nullptr) return true;
    size_t n = std::strlen(host);
    if (n == 0 || n > 255) return false;
    if (host[0] == '[') {
        // A bracketed IPv6 address, with or without a port: hex digits,
        // colons and dots (an IPv4 tail) only.
        const char* close = std::strchr(host, ']');
        if (close == nullptr || close == host + 1) return false;
        for (const char* p = host + 1; p < close; p++)
            if (!std::isxdigit(static_cast<unsigned char>(*p)) && *p != ':' && *p != '.') return false;
        return close[1] == 0 || close[1] == ':';
    }
    const char* colon = std::strchr(host, ':');
    size_t len = colon != nullptr ? static_cast<size_t>(colon - host) : n;
    if (colon != nullptr) {
        if (colon[1] == 0) return false;
        for (const char* p = colon + 1; *p != 0; p++)
            if (*p < '0' || *p > '9') return false;
    }
    if (len > 0 && host[len - 1] == '.') len--;   // "localhost." is the same name
    if (len == 0) return false;
    char addr[16];
    int port = 0;
    if (len < 16) {
        char text[24];
        std::snprintf(text, sizeof text, "%.*s:1", static_cast<int>(len), host);
        if (DashWeb_ParseAddress(text, addr, sizeof addr, port)) return true;
    }
    if (DashWeb_SameName(host, len, "localhost")) return true;
    if (pc_name == nullptr || pc_name[0] == 0) return false;
    if (DashWeb_SameName(host, len, pc_name)) return true;
    size_t pc = std::strlen(pc_name);
    return len == pc + 6 && DashWeb_SameName(host, pc, pc_name) && DashWeb_SameName(host + pc, 6, ".local");
}

// Takes a place for one more connection from `addr`; its slot, or -1 when
// that device has DASHWEB_PEER_CONNECTIONS already (or every slot is taken).
static int DashWeb_PeerEnter(const std::string& addr) {
    std::lock_guard<std::mutex> held(web_peer_lock);
    int free_slot = -1;
    for (int i = 0; i < DASHWEB_PEERS; i++) {
        DashWebPeer& p = web_peers[static_cast<size_t>(i)];
        if (p.connections == 0) {
            if (free_slot < 0) free_slot = i;
        } else if (addr == p.addr) {
            if (p.connections >= DASHWEB_PEER_CONNECTIONS) return -1;
            p.connections++;
            return i;
        }
    }
    if (free_slot < 0 || addr.size() >= sizeof web_peers[0].addr) return -1;
    DashWebPeer& p = web_peers[static_cast<size_t>(free_slot)];
    std::snprintf(p.addr, sizeof p.addr, "%s", addr.c_str());
    p.connections = 1;
    p.streams = 0;
    return free_slot;
}

static void DashWeb_PeerLeave(int slot) {
    std::lock_guard<std::mutex> held(web_peer_lock);
    web_peers[static_cast<size_t>(slot)].connections--;
}

// Takes an event stream for the device in `slot`: false when it has
// DASHWEB_PEER_STREAMS already or DASHWEB_MAX_STREAMS are open in all.
static bool DashWeb_StreamEnter(int slot) {
    std::lock_guard<std::mutex> held(web_peer_lock);
    DashWebPeer& p = web_peers[static_cast<size_t>(slot)];
    if (p.streams >= DASHWEB_PEER_STREAMS || web_streams >= DASHWEB_MAX_STREAMS) return false;
    p.streams++;
    web_streams++;
    return true;
}

static void DashWeb_StreamLeave(int slot) {
    std::lock_guard<std::mutex> held(web_peer_lock);
    web_peers[static_cast<size_t>(slot)].streams--;
    web_streams--;
}

static const char web_busy_text[] = "too many browsers connected\n";

// One request's side of the connection: the library's socket stream, with
// a deadline for the request line and headers as a whole. Its waits end at
// the deadline (the library's own limit), and once it has passed no read is
// made at all, so neither a byte every second nor a fast stream of lines
// the parser skips keeps a thread past it. Nothing is read after the head:
// the page takes no bodies.
struct DashWebHeadStream : httplib::Stream {
    httplib::detail::SocketStream inner;
    std::chrono::steady_clock::time_point deadline;

    DashWebHeadStream(socket_t sock, std::chrono::steady_clock::time_point start)
        : inner(sock, DASHWEB_HEAD_MS / 1000, (DASHWEB_HEAD_MS % 1000) * 1000, DASHWEB_WRITE_TIMEOUT_S, 0,
                DASHWEB_HEAD_MS, start),
          deadline(start + std::chrono::milliseconds(DASHWEB_HEAD_MS)) {}

    bool is_readable() const override { return inner.is_readable(); }
    bool wait_readable() const override { return inner.wait_readable(); }
    bool wait_writable() const override { return inner.wait_writable(); }
    bool is_peer_alive() const override { return inner.is_peer_alive(); }
    ssize_t read(char* ptr, size_t size) override {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        return inner.read(ptr, size);
    }
    ssize_t write(const char* ptr, size_t size) override { return inner.write(ptr, size); }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { inner.get_remote_ip_and_port(ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { inner.get_local_ip_and_port(ip, port); }
    socket_t socket() const override { return inner.socket(); }
    time_t duration() const override { return inner.duration(); }
    const char* buffered_data(size_t& size) const override { return inner.buffered_data(size); }
    void consume_buffered(size_t size) override { inner.consume_buffered(size); }
};

// The library's server, with each accepted connection served by the rules
// below (the library's own TLS server takes the same hook).
struct DashWebServer : httplib::Server {
    bool process_and_close_socket(socket_t sock) override;
};

// Serves one accepted connection: refused at once when its device has
// DASHWEB_PEER_CONNECTIONS open; otherwise its requests in turn, each head
// within DASHWEB_HEAD_MS. The system queues at most DASHWEB_SEND_BUFFER
// bytes to it, so that a browser that stopped reading fills that queue
// within seconds and is dropped DASHWEB_WRITE_TIMEOUT_S later, instead of
// the system growing the queue for minutes.
bool DashWebServer::process_and_close_socket(socket_t sock) {
    std::string remote, local;
    int remote_port = 0, local_port = 0;
    httplib::detail::get_remote_ip_and_port(sock, remote, remote_port);
    httplib::detail::get_local_ip_and_port(sock, local, local_port);
    const int slot = DashWeb_PeerEnter(remote);
    if (slot < 0) {
        static const std::string busy = std::string("HTTP/1.1 503 Service Unavailable\r\n"
                                                    "Content-Type: text/plain\r\nRetry-After: 2\r\n"
                                                    "Connection: close\r\nContent-Length: ") +
                                        std::to_string(sizeof web_busy_text - 1) + "\r\n\r\n" + web_busy_text;
        httplib::detail::SocketStream strm(sock, 0, 0, 0, 100000);
        strm.write(busy.data(), busy.size());
        httplib::detail::shutdown_socket(sock);
        httplib::detail::close_socket(sock);
        return false;
    }
    httplib::set_socket_opt(sock, SOL_SOCKET, SO_SNDBUF, DASHWEB_SEND_BUFFER);
    web_peer = slot;
    bool ret = httplib::detail::process_server_socket_core(
        svr_sock_, sock, keep_alive_max_count_, keep_alive_timeout_sec_,
        [&](bool close_connection, bool& connection_closed) {
            DashWebHeadStream strm(sock, std::chrono::steady_clock::now());
            return process_request(strm, remote, remote_port, local, local_port, close_connection,
                                   connection_closed, nullptr);
        });
    web_peer = -1;
    httplib::detail::drain_and_close_socket(sock);
    DashWeb_PeerLeave(slot);
    return ret;
}

// Answers, before any route, a request the page does not take: one that
// names another host, carries a body, or asks for ranges (the library has
// read the Range header into a list, bounded by the header limits; nothing
// is built from it). The connection is closed after the answer, an unread
// body never read.
static httplib::Server::HandlerResponse DashWeb_Screen(const httplib::Request& req, httplib::Response& res) {
    const char* why = nullptr;
    if (!DashWeb_HostAllowed(req.has_header("Host") ? req.get_header_value("Host").c_str() : nullptr,
                             web_pc_name)) {
        res.status = 403;
        why = "this page answers only to this PC's address or name\n";
    } else if (req.has_header("Transfer-Encoding") ||
               (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0")) {
        res.status = 413;
        why = "the page takes no uploads\n";
    } else if (req.has_header("Range")) {
        res.status = 416;
        why = "the page is sent whole\n";
    } else {
        return httplib::Server::HandlerResponse::Unhandled;
    }
    res.set_content(why, "text/plain");   // the library closes after any refusal
    return httplib::Server::HandlerResponse::Handled;
}

static void DashWeb_Routes(httplib::Server& svr) {
    svr.set_pre_routing_handler(DashWeb_Screen);
    svr.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(dash_web_page, "text/html; charset=utf-8");
    });
    svr.Get("/state", [](const httplib::Request&, httplib::Response& res) {
        char text[DASHWEB_JSON_MAX];
        int len = DashWeb_FormatState(text, sizeof text, DashWeb_NowMs());
        res.set_header("Cache-Control", "no-store");
        res.set_content(text, static_cast<size_t>(len), "application/json");
    });
    svr.Get("/events", [](const httplib::Request&, httplib::Response& res) {
        const int slot = web_peer;
        if (web_inline || slot < 0 || !DashWeb_StreamEnter(slot)) {
            res.status = 503;
            res.set_header("Retry-After", "2");
            res.set_content(web_busy_text, "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto st = std::make_shared<DashWebStream>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [st](size_t, httplib::DataSink& sink) { return DashWeb_StreamStep(*st, sink); },
            [slot](bool) { DashWeb_StreamLeave(slot); });
    });
}

bool DashWeb_Start(const char* host, int port, FILE* out, FILE* err) {
    if (web_server) {
        std::fprintf(err, "tarmis_dash: the web page is already being served\n");
        return false;
    }
    {
        std::lock_guard<std::mutex> held(web_lock);
        web_stopping = false;
    }
    if (!Sys_NetStartup() || !Sys_HostName(web_pc_name, sizeof web_pc_name)) web_pc_name[0] = 0;
    web_server = std::make_unique<DashWebServer>();
    httplib::Server& svr = *web_server;
    svr.new_task_queue = [] { return new DashWebPool(DASHWEB_THREADS); };
    svr.set_read_timeout(DASHWEB_HEAD_MS / 1000, (DASHWEB_HEAD_MS % 1000) * 1000);
    svr.set_write_timeout(DASHWEB_WRITE_TIMEOUT_S, 0);
    svr.set_keep_alive_timeout(DASHWEB_IDLE_S);
    svr.set_payload_max_length(4096);   // the page takes no uploads
    DashWeb_Routes(svr);
    if (!svr.bind_to_port(host, port)) {
        std::fprintf(err, "tarmis_dash: --web cannot listen on %s:%d (port in use, or not an address of this PC)\n",
                     host, port);
        web_server.reset();
        return false;
    }
    web_thread = std::thread([] { web_server->listen_after_bind(); });
    DashWhere_Print(host, port, out);
    return true;
}

void DashWeb_Stop() {
    if (!web_server) return;
    {
        std::lock_guard<std::mutex> held(web_lock);
        web_stopping = true;
    }
    web_wake.notify_all();
    web_server->stop();
    if (web_thread.joinable()) web_thread.join();
    web_server.reset();
}

// ---- the option and the session -------------------------------------------

bool DashWeb_TakeOption(int& argc, char** argv, DashWebOption& web, FILE* err) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--web") != 0) continue;
        if (i + 1 >= argc ||
            !DashWeb_ParseAddress(argv[i + 1], web.host, sizeof web.host, web.port)) {
            std::fprintf(err, "tarmis_dash: --web needs [ADDRESS:]PORT, e.g. --web 8080 or "
                              "--web 192.168.1.20:8080\n");
            return false;
        }
        web.on = true;
        for (int j = i; j + 2 <= argc; j++) argv[j] = argv[j + 2];
        argc -= 2;
        i--;
    }
    return true;
}

int DashWeb_RunSession(const DashOptions& opt, FILE* out, FILE* err) {
    dash_update_hook = DashWeb_Publish;
    dash_link_hook = DashWeb_SetLink;
    return Dash_RunKeepTrying(opt, out, err);
}
