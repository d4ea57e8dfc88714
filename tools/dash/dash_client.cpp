// tools/dash/dash_client.cpp: options and one session of the dashboard
// client, from the challenge to the disconnect.
#include "tools/dash/dash_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/dash/dash_show.h"
#include "tools/dash/dash_web.h"

std::atomic<bool> dash_stop{false};
int dash_silence_ms = DASH_SILENCE_MS;
void (*dash_update_hook)(uint32_t sequence, const DashUpdate& update) = nullptr;
void (*dash_link_hook)(int link) = nullptr;

// ---- options ---------------------------------------------------------------

void Dash_PrintUsage(FILE* to) {
    std::fputs(
        "usage: tarmis_dash [options]\n"
        "  --host HOST       server address or host name (127.0.0.1)\n"
        "  --port N          server port (2047)\n"
        "  --name NAME       client name, at most 79 characters (tarmis_dash)\n"
        "  --device N        device type; 0 asks for the fuller update (0)\n"
        "  --qport N         channel tag 0..65535 (from the clock)\n"
        "  --json            one JSON object per update on stdout\n"
        "  --count N         leave after N updates\n"
        "  --duration S      leave S seconds after connecting (decimals allowed)\n"
        "  --command TEXT    send TEXT as a text command once connected (repeatable)\n"
        "  --disconnect      send the disconnect command on leaving (the default)\n"
        "  --no-disconnect   leave without the disconnect command\n"
        "  --disconnects N   send the disconnect N times, 1..10, for lossy networks (1)\n"
        "  --timeout MS      handshake timeout in milliseconds (3000)\n"
        "  --once            end when the connection is lost instead of connecting again\n"
        "  --web [ADDR:]PORT also serve a live dashboard page for browsers on PORT\n"
        "  --help            this text\n"
        "exit codes: 0 done, 1 bad option, 2 no reply, 3 refused, 4 connection lost\n",
        to);
}

// A whole decimal number in [lo, hi], nothing after it.
static bool Dash_ParseInt(const char* text, long lo, long hi, long& out) {
    if (text == nullptr || *text == 0) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != 0 || v < lo || v > hi) return false;
    out = v;
    return true;
}

void Dash_DefaultOptions(DashOptions& opt) {
    opt = DashOptions{};
    std::snprintf(opt.host, sizeof opt.host, "127.0.0.1");
    opt.server = DashAddr{{127, 0, 0, 1}, DASH_DEFAULT_PORT};
    std::snprintf(opt.name, sizeof opt.name, "tarmis_dash");
    // Any 16-bit tag will do as long as two clients on one host differ;
    // the clock's fine digits make a clash unlikely.
    uint64_t ticks = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    ticks ^= ticks >> 16;
    ticks ^= ticks >> 32;
    opt.qport = static_cast<uint16_t>(ticks & 0xFFFF);
    opt.disconnect = true;
    opt.disconnects = 1;
    opt.timeout_ms = DASH_DEFAULT_TIMEOUT_MS;
}

int Dash_ParseOptions(int argc, char** argv, DashOptions& opt, FILE* out, FILE* err) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        const char* problem = nullptr;

        if (std::strcmp(arg, "--help") == 0) {
            Dash_PrintUsage(out);
            return DASH_EXIT_OK;
        } else if (std::strcmp(arg, "--json") == 0) {
            opt.json = true;
            continue;
        } else if (std::strcmp(arg, "--disconnect") == 0) {
            opt.disconnect = true;
            continue;
        } else if (std::strcmp(arg, "--no-disconnect") == 0) {
            opt.disconnect = false;
            continue;
        } else if (std::strcmp(arg, "--once") == 0) {
            opt.once = true;
            continue;
        }

        // Every other option takes a value.
        static const char* const with_value[] = {"--host",     "--port",     "--name",
                                                 "--device",   "--qport",    "--count",
                                                 "--duration", "--command",  "--timeout",
                                                 "--disconnects"};
        bool known = false;
        for (const char* name : with_value) known = known || std::strcmp(arg, name) == 0;
        if (!known) {
        } else if (value == nullptr) {
            problem = "needs a value";
        } else if (std::strcmp(arg, "--host") == 0) {
            DashAddr a = opt.server;
            if (std::strlen(value) >= sizeof opt.host || !DashNet_Resolve(value, a))
                problem = "must be an IPv4 address (A.B.C.D) or a host name that can be found";
            else {
                std::memcpy(opt.server.ip, a.ip, 4);
                std::snprintf(opt.host, sizeof opt.host, "%s", value);
            }
        } else if (std::strcmp(arg, "--port") == 0) {
            if (!Dash_ParseInt(value, 1, 65535, n)) problem = "must be 1..65535";
            else opt.server.port = static_cast<uint16_t>(n);
        } else if (std::strcmp(arg, "--name") == 0) {
            if (!Dash_NameIsValid(value))
                problem = "must be at most 79 printable characters without a double quote";
            else std::snprintf(opt.name, sizeof opt.name, "%s", value);
        } else if (std::strcmp(arg, "--device") == 0) {
            if (!Dash_ParseInt(value, -2147483647L - 1, 2147483647L, n)) problem = "must be a whole number";
            else opt.device_type = static_cast<int>(n);
        } else if (std::strcmp(arg, "--qport") == 0) {
            if (!Dash_ParseInt(value, 0, 65535, n)) problem = "must be 0..65535";
            else opt.qport = static_cast<uint16_t>(n);
        } else if (std::strcmp(arg, "--count") == 0) {
            if (!Dash_ParseInt(value, 1, 2147483647L, n)) problem = "must be a positive whole number";
            else opt.count = static_cast<uint32_t>(n);
        } else if (std::strcmp(arg, "--duration") == 0) {
            char* end = nullptr;
            double s = std::strtod(value, &end);
            if (*value == 0 || *end != 0 || !std::isfinite(s) || s <= 0.0 || s > 1e7)
                problem = "must be a positive number of seconds";
            else opt.duration_s = s;
        } else if (std::strcmp(arg, "--command") == 0) {
            size_t len = std::strlen(value);
            if (opt.num_commands >= DASH_MAX_COMMANDS) problem = "given too often (64 at most)";
            else if (len == 0 || std::strchr(value, '\xFF') != nullptr)
                problem = "must be 1..104 characters";
            // The server drops a longer text whole; say so before sending it.
            else if (len > static_cast<size_t>(DASH_SERVER_COMMAND_MAX))
                problem = "is longer than the 104 characters the server accepts";
            else opt.commands[opt.num_commands++] = value;
        } else if (std::strcmp(arg, "--disconnects") == 0) {
            if (!Dash_ParseInt(value, 1, 10, n)) problem = "must be 1..10";
            else opt.disconnects = static_cast<int>(n);
        } else if (std::strcmp(arg, "--timeout") == 0) {
            if (!Dash_ParseInt(value, 1, 600000, n)) problem = "must be 1..600000 milliseconds";
            else opt.timeout_ms = static_cast<int>(n);
        }

        if (!known) {
            std::fprintf(err, "tarmis_dash: unknown option %s\n", arg);
            Dash_PrintUsage(err);
            return DASH_EXIT_USAGE;
        }
        if (problem != nullptr) {
            std::fprintf(err, "tarmis_dash: %s %s\n", arg, problem);
            Dash_PrintUsage(err);
            return DASH_EXIT_USAGE;
        }
        i++;   // the value
    }
    return -1;
}

void Dash_Reset() {
    dash_stop = false;
    dash_silence_ms = DASH_SILENCE_MS;
    DashStats_Reset();
}

// ---- the session -----------------------------------------------------------

// Client monotonic milliseconds since the session began, fractional.
static double Dash_Now(std::chrono::steady_clock::time_point base) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - base).count();
}

static bool Dash_FromServer(const DashAddr& from, const DashAddr& server) {
    return std::memcmp(from.ip, server.ip, 4) == 0 && from.port == server.port;
}

// Milliseconds to wait, clamped to [0, cap].
static int Dash_WaitMs(double until, double now, int cap) {
    double left = until - now;
    if (left <= 0.0) return 0;
    return static_cast<int>(std::min<double>(std::ceil(left), cap));
}

// The refusal text on one line: line feeds become blanks, the ends trimmed.
static void Dash_OneLine(char* text) {
    for (char* p = text; *p; p++)
        if (*p == '\n') *p = ' ';
    char* start = text;
    while (*start == ' ') start++;
    size_t n = std::strlen(start);
    while (n > 0 && start[n - 1] == ' ') n--;
    std::memmove(text, start, n);
    text[n] = 0;
}

enum DashHandshake { DASH_HS_CONNECTED, DASH_HS_FAILED, DASH_HS_STOPPED };

// How a connected stretch of the session ended.
enum DashEnd {
    DASH_END_LEAVE,     // count, duration or Ctrl-C: leaving as asked
    DASH_END_DROPPED,   // the server sent its disconnect
    DASH_END_LOST,      // nothing from the server for dash_silence_ms
    DASH_END_FAILED     // the socket failed
};

struct DashSession {
    const DashOptions* opt;
    FILE* out;
    FILE* err;
    int sock;
    uint16_t qport;              // this connection's channel tag
    char server_text[DASH_HOST_MAX + 32];
    std::chrono::steady_clock::time_point base;
    DashChannel chan;
    DashView view;
    DashStreamState state;
    double lost_ms;              // when the connection was given up
    uint32_t reconnects;
    // Text commands: [message_first, next_command) wait in the channel's
    // queue, [flight_first, flight_end) travel as its reliable message.
    int next_command;
    int message_first;
    int flight_first;
    int flight_end;
    double flight_since;
    bool flight_late_told;
    double last_send_ms;
    double last_receive_ms;
    uint32_t updates;            // updates shown
    bool connect_sent;           // the server may have given us a place
    char refusal[DASH_OOB_TEXT_MAX + 1];   // the latest refusal, "" when none
    bool drawing;                // the drawer thread runs the live view
    int exit_code;
};

// Client monotonic milliseconds of the session.
static double Dash_Clock(const DashSession& s) { return Dash_Now(s.base); }

// ---- the live view ---------------------------------------------------------

// The live view is written by a thread of its own, from the latest values
// the session posts: a console that writes slowly (Wine's takes about a
// second per block) then delays only the view, never the reception. The
// session thread posts under `lock` and never waits for a drawing.
constexpr int DASH_NOTICES = 16;        // notices waiting for the drawer
constexpr int DASH_NOTICE_MAX = 512;    // one notice, terminator included

struct DashDrawer {
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    // Posted by the session thread.
    DashView view;
    DashStreamState state;
    double lost_ms;
    uint32_t reconnects;
    bool changed;
    std::array<std::array<char, DASH_NOTICE_MAX>, DASH_NOTICES> notices;
    int notice_first;
    int notice_count;
    uint32_t notices_dropped;
    bool quit;
};

static DashDrawer dash_drawer;

// Draws the block: in place on a terminal that takes escapes, appended
// otherwise. Returns the lines now standing under the cursor.
static int Dash_DrawBlock(const DashSession& s, const DashView& view, DashStreamState state,
                          double lost_ms, uint32_t reconnects, int lines_drawn, double now) {
    static char text[4096];
    DashLive live{s.server_text, state, now, lost_ms, reconnects, s.opt->ansi};
    int n = Dash_FormatBlock(text, sizeof text, view, live);
    if (s.opt->ansi && lines_drawn > 0) std::fprintf(s.out, "\x1b[%dA\r", lines_drawn);
    DashNet_WriteText(s.out, text, n);   // UTF-16 on a Windows console: the degree sign
    std::fflush(s.out);
    return DASH_BLOCK_LINES;
}

// The drawer thread: notices as they come (the block is drawn again under
// them), the block at most every DASH_DRAW_MS in place or every
// DASH_PLAIN_DRAW_MS appended, and once more on leaving.
static void Dash_Drawer(const DashSession* session) {
    const DashSession& s = *session;
    DashDrawer& d = dash_drawer;
    static DashView view;
    static std::array<std::array<char, DASH_NOTICE_MAX>, DASH_NOTICES> notices;
    const double pace = s.opt->ansi ? DASH_DRAW_MS : DASH_PLAIN_DRAW_MS;
    int lines_drawn = 0;
    double last_draw = -1e9;
    bool pending = false;
    for (;;) {
        DashStreamState state;
        double lost_ms;
        uint32_t reconnects;
        int count = 0;
        bool quit;
        {
            std::unique_lock<std::mutex> hold(d.lock);
            double wait = pending ? last_draw + pace - Dash_Clock(s) : pace;
            d.wake.wait_for(hold, std::chrono::duration<double, std::milli>(std::clamp(wait, 1.0, pace)),
                            [&] { return d.quit || d.notice_count > 0; });
            for (; count < d.notice_count; count++)
                notices[static_cast<size_t>(count)] =
                    d.notices[static_cast<size_t>((d.notice_first + count) % DASH_NOTICES)];
            d.notice_first = (d.notice_first + count) % DASH_NOTICES;
            d.notice_count = 0;
            pending = pending || d.changed;
            d.changed = false;
            view = d.view;
            state = d.state;
            lost_ms = d.lost_ms;
            reconnects = d.reconnects;
            quit = d.quit;
        }
        double now = Dash_Clock(s);
        for (int i = 0; i < count; i++) {
            if (s.opt->ansi && lines_drawn > 0) std::fprintf(s.out, "\x1b[%dA\r", lines_drawn);
            std::fprintf(s.out, "%s%s\n", notices[static_cast<size_t>(i)].data(),
                         s.opt->ansi ? "\x1b[K" : "");
            // The block goes back under the notice; its own line ends clear
            // what it covers.
            lines_drawn = 0;
        }
        if (count > 0) std::fflush(s.out);
        bool shown = view.updates > 0;
        // A silent stream is drawn on, so that its time keeps counting.
        bool ticking = state != DASH_STREAM_LIVE && shown;
        bool due = (pending || ticking) && now - last_draw >= pace;
        if (shown && ((s.opt->ansi && count > 0) || due || (quit && (pending || lines_drawn == 0)))) {
            lines_drawn = Dash_DrawBlock(s, view, state, lost_ms, reconnects, lines_drawn, now);
            last_draw = now;
            pending = false;
        }
        if (quit) return;
    }
}

// Hands the latest values and state to the drawer; never waits for it.
static void Dash_Post(DashSession& s) {
    if (!s.drawing) return;
    DashDrawer& d = dash_drawer;
    std::lock_guard<std::mutex> hold(d.lock);
    d.view = s.view;
    d.state = s.state;
    d.lost_ms = s.lost_ms;
    d.reconnects = s.reconnects;
    d.changed = true;
}

static void Dash_StartDrawer(DashSession& s) {
    if (s.opt->json || s.drawing) return;
    DashDrawer& d = dash_drawer;
    d.notice_first = d.notice_count = 0;
    d.notices_dropped = 0;
    d.quit = false;
    s.drawing = true;
    Dash_Post(s);
    d.thread = std::thread(Dash_Drawer, &s);
}

// The last drawing, from the final values; then the drawer ends.
static void Dash_StopDrawer(DashSession& s) {
    if (!s.drawing) return;
    DashDrawer& d = dash_drawer;
    Dash_Post(s);
    {
        std::lock_guard<std::mutex> hold(d.lock);
        d.quit = true;
    }
    d.wake.notify_one();
    d.thread.join();
    s.drawing = false;
    if (d.notices_dropped > 0)
        std::fprintf(s.err, "tarmis_dash: %u notices not shown, the console was too slow\n",
                     d.notices_dropped);
}

// A notice during the run: one line above the live view, or on `err` with
// --json (and before the live view began).
__attribute__((format(printf, 2, 3))) static void Dash_Notice(DashSession& s, const char* fmt, ...) {
    char text[DASH_NOTICE_MAX];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (!s.drawing) {
        std::fprintf(s.opt->json ? s.err : s.out, "%s\n", text);
        std::fflush(s.opt->json ? s.err : s.out);
        return;
    }
    DashDrawer& d = dash_drawer;
    {
        std::lock_guard<std::mutex> hold(d.lock);
        if (d.notice_count == DASH_NOTICES) {
            d.notices_dropped++;   // a drawer this far behind shows the latest state anyway
            return;
        }
        std::memcpy(d.notices[static_cast<size_t>((d.notice_first + d.notice_count) % DASH_NOTICES)].data(),
                    text, sizeof text);
        d.notice_count++;
    }
    d.wake.notify_one();
}

// The stream changed its state: the view shows it at its next drawing.
static void Dash_SetState(DashSession& s, DashStreamState state) {
    if (s.state == state) return;
    s.state = state;
    Dash_Post(s);
}

// One received update, shown: the JSON line at once, or the live view at
// its next drawing.
static void Dash_OnUpdate(DashSession& s, uint32_t sequence, double t_ms, const DashUpdate& u) {
    static char text[2048];
    s.updates++;
    DashStats_Add(t_ms);
    if (u.end_session) DashStats_AddSessionBlock();
    DashView_Apply(s.view, sequence, t_ms, u);
    s.state = DASH_STREAM_LIVE;
    if (s.opt->json) {
        Dash_FormatJson(text, sizeof text, sequence, t_ms, u);
        std::fputs(text, s.out);
        std::fflush(s.out);
        return;
    }
    Dash_Post(s);
}

// The text commands of the reliable message that was just acknowledged.
static void Dash_CommandsAcknowledged(DashSession& s, double now) {
    for (int i = s.flight_first; i < s.flight_end; i++)
        Dash_Notice(s, "command \"%s\" acknowledged by the server after %.0f ms", s.opt->commands[i],
                    now - s.flight_since);
    s.flight_first = s.flight_end;
}

// What the loops do between datagrams: the stale check and the late
// command report.
static void Dash_Tick(DashSession& s, double now) {
    if (s.state == DASH_STREAM_LIVE && s.updates > 0) {
        // Three intervals of the measured pace; before there is a pace, the
        // keep-alive second.
        double interval = DashStats_RecentIntervalMs();
        double stale_after =
            interval > 0.0 ? std::max<double>(3.0 * interval, DASH_STALE_MIN_MS) : DASH_KEEPALIVE_MS;
        if (now - s.view.update_ms > stale_after) Dash_SetState(s, DASH_STREAM_STALE);
    }
    if (s.flight_first < s.flight_end && !s.flight_late_told &&
        now - s.flight_since >= DASH_ACK_LATE_MS) {
        s.flight_late_told = true;
        for (int i = s.flight_first; i < s.flight_end; i++)
            Dash_Notice(s, "command \"%s\" not acknowledged after %d s", s.opt->commands[i],
                        DASH_ACK_LATE_MS / 1000);
    }
}

// ---- the handshake ---------------------------------------------------------

// What "no reply" means and what to look at; the last check is the one
// that tells a server problem from a network problem.
static void Dash_PrintNoReply(const DashSession& s) {
    unsigned port = s.opt->server.port;
    std::fprintf(s.err, "Nothing answered within %g s. Check that:\n"
                        "  - the address and port are the ones tarmis_server prints at start-up;\n",
                 s.opt->timeout_ms / 1000.0);
    if (port == DASH_DEFAULT_PORT)
        std::fprintf(s.err,
                     "  - tarmis_server is running on that PC (it uses port %u unless started with -p);\n",
                     port);
    else
        std::fprintf(s.err, "  - tarmis_server is running on that PC, started with -p %u;\n", port);
    std::fprintf(s.err,
                 "  - the firewall on the server's PC lets UDP port %u in (allow tarmis_server\n"
                 "    when Windows asks);\n"
                 "  - this device and the server's PC are on the same network (the same Wi-Fi,\n"
                 "    not a guest network or mobile data).\n"
                 "On the server's PC, \"tarmis_dash --port %u\" checks the server locally.\n",
                 port, port);
}

// Handshake: getchallenge until a challenge comes, then connect until the
// server accepts. Each request is repeated every DASH_RESEND_MS until the
// timeout or `until`, whichever is sooner (`until` < 0: none). A sequenced
// packet that arrives while connecting means the acceptance itself was
// lost: the packet is kept in `first` for the session. `quiet`: failures
// print nothing (reconnect attempts; a refusal is kept in s.refusal).
static DashHandshake Dash_Handshake(DashSession& s, uint8_t* first, int& first_length, bool quiet,
                                    double until) {
    const DashOptions& opt = *s.opt;
    uint8_t request[DASH_OOB_TEXT_MAX + 8];
    uint8_t packet[8192];
    bool have_challenge = false;
    int32_t challenge = 0;
    double deadline = Dash_Clock(s) + opt.timeout_ms;
    if (until >= 0.0) deadline = std::min(deadline, until);
    double next_send = 0.0;
    first_length = -1;
    s.refusal[0] = 0;

    for (;;) {
        double now = Dash_Clock(s);
        if (dash_stop) return DASH_HS_STOPPED;
        Dash_Tick(s, now);
        if (now >= deadline) {
            if (quiet) return DASH_HS_FAILED;
            std::fprintf(s.err, "no reply from %s\n", s.server_text);
            if (have_challenge)
                std::fprintf(s.err, "(the challenge came but the connect got no answer; "
                                    "a client with qport %u may still be connected)\n",
                             static_cast<unsigned>(s.qport));
            else Dash_PrintNoReply(s);
            s.exit_code = DASH_EXIT_NO_REPLY;
            return DASH_HS_FAILED;
        }
        if (now >= next_send) {
            int n = have_challenge
                        ? Dash_BuildConnect(request, sizeof request, s.qport, challenge, opt.name,
                                            opt.device_type)
                        : Dash_BuildGetChallenge(request, sizeof request);
            DashNet_Send(s.sock, opt.server, request, n);
            s.connect_sent = s.connect_sent || have_challenge;
            next_send = now + std::min(DASH_RESEND_MS, opt.timeout_ms);
        }

        DashAddr from{};
        int wait = Dash_WaitMs(std::min(deadline, next_send), now, 100);
        int n = DashNet_Receive(s.sock, packet, sizeof packet, from, wait);
        if (n == DASHNET_ERROR) {
            std::fprintf(s.err, "tarmis_dash: receiving failed\n");
            s.exit_code = DASH_EXIT_NO_REPLY;
            return DASH_HS_FAILED;
        }
        if (n < 0 || !Dash_FromServer(from, opt.server)) continue;

        DashOobReply reply;
        switch (Dash_ParseOob(packet, n, reply)) {
        case DASH_OOB_CHALLENGE:
            if (!have_challenge) {
                have_challenge = true;
                challenge = reply.challenge;
                next_send = 0.0;   // connect at once
            }
            break;
        case DASH_OOB_ACCEPT:
            if (have_challenge) return DASH_HS_CONNECTED;
            break;
        case DASH_OOB_PRINT:
            Dash_OneLine(reply.text);
            std::snprintf(s.refusal, sizeof s.refusal, "%s", reply.text);
            if (!quiet) std::fprintf(s.err, "refused by %s: %s\n", s.server_text, reply.text);
            s.exit_code = DASH_EXIT_REFUSED;
            return DASH_HS_FAILED;
        case DASH_OOB_BAD_VERSION:
            std::snprintf(s.refusal, sizeof s.refusal, "protocol version %d not accepted",
                          DASH_PROTOCOL_VERSION);
            if (!quiet) std::fprintf(s.err, "refused by %s: %s\n", s.server_text, s.refusal);
            s.exit_code = DASH_EXIT_REFUSED;
            return DASH_HS_FAILED;
        case DASH_OOB_NOT_OOB:
            if (have_challenge && n >= DASH_SERVER_HEADER && n <= DASH_PACKET_MAX) {
                std::memcpy(first, packet, static_cast<size_t>(n));
                first_length = n;
                return DASH_HS_CONNECTED;
            }
            break;
        case DASH_OOB_OTHER:
            break;
        }
    }
}

// ---- the connected session -------------------------------------------------

static void Dash_Send(DashSession& s, const uint8_t* data, int length) {
    uint8_t packet[DASH_PACKET_MAX];
    bool idle = s.chan.reliable_length == 0;
    int n = DashChan_Transmit(s.chan, data, length, packet);
    DashNet_Send(s.sock, s.opt->server, packet, n);
    s.last_send_ms = Dash_Clock(s);
    if (idle && s.chan.reliable_length > 0) {
        // The queued commands became the reliable message: its delivery is
        // timed from here until the server's toggle says it has them.
        s.flight_first = s.message_first;
        s.flight_end = s.next_command;
        s.message_first = s.next_command;
        s.flight_since = s.last_send_ms;
        s.flight_late_told = false;
    }
}

// Each copy goes in a packet of its own, so that one lost datagram does not
// hold the server's place until its time-out.
static void Dash_SendDisconnects(DashSession& s, int copies) {
    static const uint8_t bye[1] = {CLC_DISCONNECT};
    for (int i = 0; i < copies; i++) Dash_Send(s, bye, 1);
}

// Moves as many of the remaining text commands into the reliable queue as
// fit; they go out in the order given.
static void Dash_QueueCommands(DashSession& s) {
    while (s.next_command < s.opt->num_commands &&
           DashChan_QueueCommand(s.chan, s.opt->commands[s.next_command]))
        s.next_command++;
}

// Takes one datagram while connected. Returns false when the server said
// it dropped us.
static bool Dash_TakePacket(DashSession& s, const uint8_t* data, int length, bool show) {
    if (length < DASH_SERVER_HEADER) return true;
    uint32_t first_long = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                          static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (first_long == 0xFFFFFFFFu) return true;   // out-of-band: not part of the stream
    // Duplicates and late packets are counted here; the channel refuses them.
    if (DashStats_Sequence(first_long & 0x7FFFFFFFu) != DASH_ARRIVAL_NEXT) return true;

    DashServerPacket pkt;
    if (!DashChan_Accept(s.chan, data, length, pkt)) return true;
    double t_ms = Dash_Clock(s);
    s.last_receive_ms = t_ms;
    if (s.flight_first < s.flight_end && s.chan.reliable_length == 0) Dash_CommandsAcknowledged(s, t_ms);
    DashUpdate u;
    Dash_DecodeUpdate(pkt.payload, pkt.payload_length, pkt.reliable, u);
    if (show) Dash_OnUpdate(s, pkt.sequence, t_ms, u);
    if (show && dash_update_hook) dash_update_hook(pkt.sequence, u);
    if (u.server_disconnect) return false;
    // Every packet is answered, carrying our acknowledgement and toggle.
    Dash_QueueCommands(s);
    Dash_Send(s, nullptr, 0);
    return true;
}

// A new connection was accepted: a fresh channel, the first packet when the
// acceptance was lost, and the commands still to deliver.
static bool Dash_StartConnection(DashSession& s, const uint8_t* first, int first_length) {
    DashChan_Setup(s.chan, s.qport);
    double now = Dash_Clock(s);
    s.last_receive_ms = now;
    s.last_send_ms = now;
    bool dropped = false;
    if (first_length >= 0) dropped = !Dash_TakePacket(s, first, first_length, true);
    Dash_QueueCommands(s);
    if (DashChan_ReliablePending(s.chan)) Dash_Send(s, nullptr, 0);
    return !dropped;
}

// Receives and answers until leaving is due or the connection ends.
// `end_ms` < 0: no duration. `flush_until` is set once leaving has begun.
static DashEnd Dash_Stream(DashSession& s, uint8_t* packet, int size, double end_ms,
                           double& flush_until) {
    const DashOptions& opt = *s.opt;
    for (;;) {
        double now = Dash_Clock(s);
        bool leave = dash_stop || (opt.count > 0 && s.updates >= opt.count) ||
                     (end_ms >= 0.0 && now >= end_ms);
        if (leave && flush_until < 0.0) flush_until = now + DASH_FLUSH_MS;
        if (flush_until >= 0.0) {
            bool flushed = s.next_command >= opt.num_commands && !DashChan_ReliablePending(s.chan);
            if (flushed || now >= flush_until) return DASH_END_LEAVE;
        }
        if (now - s.last_receive_ms > dash_silence_ms) return DASH_END_LOST;
        if (now - s.last_send_ms >= DASH_KEEPALIVE_MS) Dash_Send(s, nullptr, 0);
        Dash_Tick(s, now);

        DashAddr from{};
        int wait = Dash_WaitMs(s.last_send_ms + DASH_KEEPALIVE_MS, now, 50);
        if (end_ms >= 0.0) wait = std::min(wait, Dash_WaitMs(end_ms, now, 50));
        int n = DashNet_Receive(s.sock, packet, size, from, wait);
        if (n == DASHNET_ERROR) {
            std::fprintf(s.err, "tarmis_dash: receiving failed\n");
            return DASH_END_FAILED;
        }
        if (n < 0 || !Dash_FromServer(from, opt.server)) continue;
        if (!Dash_TakePacket(s, packet, n, flush_until < 0.0)) return DASH_END_DROPPED;
    }
}

// Waits `ms` with the live view drawn on; false when Ctrl-C came.
static bool Dash_Pause(DashSession& s, double ms) {
    double until = Dash_Clock(s) + ms;
    for (;;) {
        double now = Dash_Clock(s);
        if (dash_stop) return false;
        if (now >= until) return true;
        Dash_Tick(s, now);
        DashAddr from{};
        uint8_t scrap[64];
        // Stray datagrams of the old connection are read and dropped.
        DashNet_Receive(s.sock, scrap, sizeof scrap, from, Dash_WaitMs(until, now, 50));
    }
}

// Connects again after a loss: the old place is let go, then a new socket
// and qport (so that a server that still holds the old place does not take
// the connect for a duplicate) and a new challenge, until accepted, Ctrl-C
// or the end of the duration. Commands not yet acknowledged go again.
static DashHandshake Dash_Reconnect(DashSession& s, uint8_t* first, int& first_length, double end_ms) {
    if (s.opt->disconnect) Dash_SendDisconnects(s, 1);
    s.next_command = s.flight_first < s.flight_end ? s.flight_first : s.message_first;
    s.message_first = s.flight_first = s.flight_end = s.next_command;
    DashNet_Close(s.sock);
    s.sock = DashNet_Open(0);
    s.qport = static_cast<uint16_t>(s.qport + 1);
    char told[DASH_OOB_TEXT_MAX + 1] = "";
    for (;;) {
        if (s.sock < 0) {
            std::fprintf(s.err, "tarmis_dash: cannot open a UDP socket\n");
            return DASH_HS_FAILED;
        }
        if (end_ms >= 0.0 && Dash_Clock(s) >= end_ms) return DASH_HS_FAILED;
        DashHandshake hs = Dash_Handshake(s, first, first_length, true, end_ms);
        if (hs != DASH_HS_FAILED) return hs;
        if (s.refusal[0] != 0 && std::strcmp(told, s.refusal) != 0) {
            Dash_Notice(s, "refused by %s: %s; trying again", s.server_text, s.refusal);
            std::snprintf(told, sizeof told, "%s", s.refusal);
        }
        double pause = DASH_RETRY_MS;
        if (end_ms >= 0.0) pause = std::min(pause, end_ms - Dash_Clock(s));
        if (!Dash_Pause(s, pause)) return DASH_HS_STOPPED;
    }
}

static void Dash_PrintStats(DashSession& s) {
    char text[512];
    DashSummary sum;
    DashStats_Summarize(sum);
    if (s.opt->json) Dash_FormatStatsJson(text, sizeof text, sum);
    else Dash_FormatStatsText(text, sizeof text, sum);
    std::fputs(text, s.out);
    std::fflush(s.out);
}

int Dash_Run(const DashOptions& opt, FILE* out, FILE* err) {
    static DashSession s;
    s = DashSession{};
    s.opt = &opt;
    s.out = out;
    s.err = err;
    s.qport = opt.qport;
    s.base = std::chrono::steady_clock::now();
    s.exit_code = DASH_EXIT_OK;
    char ip[16];
    std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", opt.server.ip[0], opt.server.ip[1], opt.server.ip[2],
                  opt.server.ip[3]);
    // A host name is shown with the address it was found at.
    if (opt.host[0] != 0 && std::strcmp(opt.host, ip) != 0)
        std::snprintf(s.server_text, sizeof s.server_text, "%s:%u (%s)", opt.host, opt.server.port, ip);
    else std::snprintf(s.server_text, sizeof s.server_text, "%s:%u", ip, opt.server.port);
    DashView_Reset(s.view);
    if (dash_link_hook) dash_link_hook(DASHWEB_CONNECTING);

    s.sock = DashNet_Open(0);
    if (s.sock < 0) {
        std::fprintf(err, "tarmis_dash: cannot open a UDP socket\n");
        return DASH_EXIT_NO_REPLY;
    }

    static uint8_t packet[8192];
    int first_length = -1;
    DashHandshake hs = Dash_Handshake(s, packet, first_length, opt.quiet_handshake, -1.0);
    // A quiet handshake that timed out left the code to be set here.
    if (hs == DASH_HS_FAILED && s.exit_code == DASH_EXIT_OK) s.exit_code = DASH_EXIT_NO_REPLY;
    if (hs == DASH_HS_STOPPED && s.connect_sent && opt.disconnect) {
        // Stopped while the acceptance may be on its way: the server may
        // hold a place for us, so it is told we left.
        DashChan_Setup(s.chan, s.qport);
        Dash_SendDisconnects(s, opt.disconnects);
    }
    if (hs != DASH_HS_CONNECTED) {
        DashNet_Close(s.sock);
        return hs == DASH_HS_STOPPED ? DASH_EXIT_OK : s.exit_code;
    }

    Dash_StartDrawer(s);
    double connected_ms = Dash_Clock(s);
    double end_ms = opt.duration_s > 0.0 ? connected_ms + opt.duration_s * 1000.0 : -1.0;
    double flush_until = -1.0;   // set once leaving has begun
    DashEnd end = DASH_END_DROPPED;
    if (Dash_StartConnection(s, packet, first_length))
        end = Dash_Stream(s, packet, sizeof packet, end_ms, flush_until);
    while ((end == DASH_END_DROPPED || end == DASH_END_LOST) && !opt.once) {
        if (end == DASH_END_DROPPED)
            Dash_Notice(s, "%s dropped this client; connecting again", s.server_text);
        else
            Dash_Notice(s, "connection lost: no packet from %s for %g s; connecting again",
                        s.server_text, dash_silence_ms / 1000.0);
        s.lost_ms = Dash_Clock(s);
        Dash_SetState(s, DASH_STREAM_RECONNECTING);
        if (dash_link_hook) dash_link_hook(DASHWEB_LOST);
        hs = Dash_Reconnect(s, packet, first_length, end_ms);
        if (hs == DASH_HS_STOPPED) {
            end = DASH_END_LEAVE;   // Ctrl-C while reconnecting: nothing to flush or tell
            s.exit_code = DASH_EXIT_OK;
            break;
        }
        if (hs != DASH_HS_CONNECTED) {
            Dash_StopDrawer(s);
            std::fprintf(err, "connection lost: %s did not answer again\n", s.server_text);
            s.exit_code = DASH_EXIT_LOST;
            end = DASH_END_FAILED;   // no server within the duration
            break;
        }
        s.reconnects++;
        DashStats_Reconnect();
        Dash_Notice(s, "connected again to %s after %.1f s (reconnect %u)", s.server_text,
                    (Dash_Clock(s) - s.lost_ms) / 1000.0, s.reconnects);
        Dash_SetState(s, DASH_STREAM_CONNECTING);
        end = DASH_END_DROPPED;
        if (Dash_StartConnection(s, packet, first_length))
            end = Dash_Stream(s, packet, sizeof packet, end_ms, flush_until);
    }

    if (end != DASH_END_LEAVE && dash_link_hook) dash_link_hook(DASHWEB_LOST);
    // The last drawing comes before the closing messages, which go under it.
    Dash_StopDrawer(s);
    if (end == DASH_END_DROPPED) {
        std::fprintf(err, "%s dropped this client\n", s.server_text);
        s.exit_code = DASH_EXIT_LOST;
    } else if (end == DASH_END_LOST) {
        std::fprintf(err, "connection lost: no packet from %s for %g s\n", s.server_text,
                     dash_silence_ms / 1000.0);
        s.exit_code = DASH_EXIT_LOST;
    } else if (end == DASH_END_FAILED) {
        if (s.exit_code == DASH_EXIT_OK) s.exit_code = DASH_EXIT_LOST;
    } else if (opt.disconnect && s.state != DASH_STREAM_RECONNECTING) {
        Dash_SendDisconnects(s, opt.disconnects);
    }
    if (s.next_command < opt.num_commands || DashChan_ReliablePending(s.chan))
        std::fprintf(err, "tarmis_dash: not every text command was acknowledged by the server\n");
    Dash_PrintStats(s);
    DashNet_Close(s.sock);
    return s.exit_code;
}

int Dash_RunKeepTrying(const DashOptions& opt, FILE* out, FILE* err) {
    static DashOptions again;
    again = opt;
    int reported = -1;   // the failure last told
    for (;;) {
        int code = Dash_Run(again, out, err);
        // The session connects again by itself after a loss; what comes back
        // here is a server that never answered or refused (or --once).
        bool retry = !opt.once &&
                     (code == DASH_EXIT_NO_REPLY || code == DASH_EXIT_LOST || code == DASH_EXIT_REFUSED);
        if (!retry || dash_stop) return code;
        if (dash_link_hook) dash_link_hook(DASHWEB_LOST);
        if (reported < 0 && !opt.quiet_handshake)
            std::fprintf(err, "tarmis_dash: trying %s:%u again every second until it answers (Ctrl-C ends)\n",
                         opt.host, static_cast<unsigned>(opt.server.port));
        else if (reported < 0 || code != reported)
            std::fprintf(err, "tarmis_dash: %s:%u %s\n", opt.host, static_cast<unsigned>(opt.server.port),
                         code == DASH_EXIT_REFUSED ? "refused the connection; still trying"
                                                   : "does not answer; is tarmis_server running? Still trying.");
        std::fflush(err);
        reported = code;
        again.quiet_handshake = true;
        for (int i = 0; i < DASH_RETRY_MS / 100 && !dash_stop; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (dash_stop) return code;
    }
}
