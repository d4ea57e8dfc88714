// tools/dash/dash_client.cpp: options and one session of the dashboard
// client, from the challenge to the disconnect.
#include "tools/dash/dash_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/dash/dash_show.h"

std::atomic<bool> dash_stop{false};
int dash_silence_ms = DASH_SILENCE_MS;

// ---- options ---------------------------------------------------------------

void Dash_PrintUsage(FILE* to) {
    std::fputs(
        "usage: tarmis_dash [options]\n"
        "  --host A.B.C.D    server address (127.0.0.1)\n"
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
                problem = "must be a dotted IPv4 address";
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

struct DashSession {
    const DashOptions* opt;
    FILE* out;
    FILE* err;
    int sock;
    char server_text[32];
    std::chrono::steady_clock::time_point base;
    DashChannel chan;
    DashView view;
    int next_command;
    double last_send_ms;
    double last_receive_ms;
    uint32_t updates;   // updates shown
    bool connect_sent;  // the server may have given us a place
    int lines_drawn;
    int exit_code;
};

// Handshake: getchallenge until a challenge comes, then connect until the
// server accepts. Each request is repeated every DASH_RESEND_MS until the
// timeout. A sequenced packet that arrives while connecting means the
// acceptance itself was lost: the packet is kept in `first` for the session.
static DashHandshake Dash_Handshake(DashSession& s, uint8_t* first, int& first_length) {
    const DashOptions& opt = *s.opt;
    uint8_t request[DASH_OOB_TEXT_MAX + 8];
    uint8_t packet[8192];
    bool have_challenge = false;
    int32_t challenge = 0;
    double deadline = Dash_Now(s.base) + opt.timeout_ms;
    double next_send = 0.0;
    first_length = -1;

    for (;;) {
        double now = Dash_Now(s.base);
        if (dash_stop) return DASH_HS_STOPPED;
        if (now >= deadline) {
            std::fprintf(s.err, "no reply from %s\n", s.server_text);
            if (have_challenge)
                std::fprintf(s.err, "(the challenge came but the connect got no answer; "
                                    "a client with qport %u may still be connected)\n",
                             static_cast<unsigned>(opt.qport));
            s.exit_code = DASH_EXIT_NO_REPLY;
            return DASH_HS_FAILED;
        }
        if (now >= next_send) {
            int n = have_challenge
                        ? Dash_BuildConnect(request, sizeof request, opt.qport, challenge,
                                            opt.name, opt.device_type)
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
            std::fprintf(s.err, "refused by %s: %s\n", s.server_text, reply.text);
            s.exit_code = DASH_EXIT_REFUSED;
            return DASH_HS_FAILED;
        case DASH_OOB_BAD_VERSION:
            std::fprintf(s.err, "refused by %s: protocol version %d not accepted\n", s.server_text,
                         DASH_PROTOCOL_VERSION);
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

static void Dash_Send(DashSession& s, const uint8_t* data, int length) {
    uint8_t packet[DASH_PACKET_MAX];
    int n = DashChan_Transmit(s.chan, data, length, packet);
    DashNet_Send(s.sock, s.opt->server, packet, n);
    s.last_send_ms = Dash_Now(s.base);
}

// Each copy goes in a packet of its own, so that one lost datagram does not
// hold the server's place until its time-out.
static void Dash_SendDisconnects(DashSession& s) {
    static const uint8_t bye[1] = {CLC_DISCONNECT};
    for (int i = 0; i < s.opt->disconnects; i++) Dash_Send(s, bye, 1);
}

// Moves as many of the remaining text commands into the reliable queue as
// fit; they go out in the order given.
static void Dash_QueueCommands(DashSession& s) {
    while (s.next_command < s.opt->num_commands &&
           DashChan_QueueCommand(s.chan, s.opt->commands[s.next_command]))
        s.next_command++;
}

static void Dash_Show(DashSession& s, uint32_t sequence, double t_ms, const DashUpdate& u) {
    static char text[2048];
    if (s.opt->json) {
        Dash_FormatJson(text, sizeof text, sequence, t_ms, u);
        std::fputs(text, s.out);
        std::fflush(s.out);
        return;
    }
    DashView_Apply(s.view, sequence, u);
    if (s.opt->ansi && s.lines_drawn > 0) std::fprintf(s.out, "\x1b[%dA\r", s.lines_drawn);
    Dash_FormatBlock(text, sizeof text, s.view, s.server_text, s.opt->ansi);
    std::fputs(text, s.out);
    std::fflush(s.out);
    s.lines_drawn = DASH_BLOCK_LINES;
}

// Takes one datagram while connected. Returns false when the server said
// it dropped us.
static bool Dash_TakePacket(DashSession& s, const uint8_t* data, int length, bool show) {
    DashServerPacket pkt;
    if (!DashChan_Accept(s.chan, data, length, pkt)) return true;
    double t_ms = Dash_Now(s.base);
    s.last_receive_ms = t_ms;
    DashUpdate u;
    Dash_DecodeUpdate(pkt.payload, pkt.payload_length, pkt.reliable, u);
    if (show) {
        s.updates++;
        DashStats_Add(t_ms);
        Dash_Show(s, pkt.sequence, t_ms, u);
    }
    if (u.server_disconnect) return false;
    // Every packet is answered, carrying our acknowledgement and toggle.
    Dash_QueueCommands(s);
    Dash_Send(s, nullptr, 0);
    return true;
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
    s.base = std::chrono::steady_clock::now();
    s.exit_code = DASH_EXIT_OK;
    std::snprintf(s.server_text, sizeof s.server_text, "%u.%u.%u.%u:%u", opt.server.ip[0],
                  opt.server.ip[1], opt.server.ip[2], opt.server.ip[3], opt.server.port);
    DashView_Reset(s.view);

    s.sock = DashNet_Open(0);
    if (s.sock < 0) {
        std::fprintf(err, "tarmis_dash: cannot open a UDP socket\n");
        return DASH_EXIT_NO_REPLY;
    }

    static uint8_t packet[8192];
    int first_length = -1;
    DashHandshake hs = Dash_Handshake(s, packet, first_length);
    if (hs == DASH_HS_STOPPED && s.connect_sent && opt.disconnect) {
        // Stopped while the acceptance may be on its way: the server may
        // hold a place for us, so it is told we left.
        DashChan_Setup(s.chan, opt.qport);
        Dash_SendDisconnects(s);
    }
    if (hs != DASH_HS_CONNECTED) {
        DashNet_Close(s.sock);
        return hs == DASH_HS_STOPPED ? DASH_EXIT_OK : s.exit_code;
    }

    DashChan_Setup(s.chan, opt.qport);
    double connected_ms = Dash_Now(s.base);
    s.last_receive_ms = connected_ms;
    s.last_send_ms = connected_ms;
    bool dropped = false;
    if (first_length >= 0) dropped = !Dash_TakePacket(s, packet, first_length, true);
    Dash_QueueCommands(s);
    if (DashChan_ReliablePending(s.chan)) Dash_Send(s, nullptr, 0);

    double end_ms = opt.duration_s > 0.0 ? connected_ms + opt.duration_s * 1000.0 : -1.0;
    double flush_until = -1.0;   // set once leaving has begun
    bool lost = false;     // the server fell silent
    bool failed = false;   // the socket failed

    while (!dropped) {
        double now = Dash_Now(s.base);
        bool leave = dash_stop || (opt.count > 0 && s.updates >= opt.count) ||
                     (end_ms >= 0.0 && now >= end_ms);
        if (leave && flush_until < 0.0) flush_until = now + DASH_FLUSH_MS;
        if (flush_until >= 0.0) {
            bool flushed = s.next_command >= opt.num_commands && !DashChan_ReliablePending(s.chan);
            if (flushed || now >= flush_until) break;
        }
        if (now - s.last_receive_ms > dash_silence_ms) {
            lost = true;
            break;
        }
        if (now - s.last_send_ms >= DASH_KEEPALIVE_MS) Dash_Send(s, nullptr, 0);

        DashAddr from{};
        int wait = Dash_WaitMs(s.last_send_ms + DASH_KEEPALIVE_MS, now, 50);
        if (end_ms >= 0.0) wait = std::min(wait, Dash_WaitMs(end_ms, now, 50));
        int n = DashNet_Receive(s.sock, packet, sizeof packet, from, wait);
        if (n == DASHNET_ERROR) {
            std::fprintf(err, "tarmis_dash: receiving failed\n");
            failed = true;
            break;
        }
        if (n < 0 || !Dash_FromServer(from, opt.server)) continue;
        if (!Dash_TakePacket(s, packet, n, flush_until < 0.0)) dropped = true;
    }

    if (dropped) {
        std::fprintf(err, "%s dropped this client\n", s.server_text);
        s.exit_code = DASH_EXIT_LOST;
    } else if (lost) {
        std::fprintf(err, "connection lost: no packet from %s for %g s\n", s.server_text,
                     dash_silence_ms / 1000.0);
        s.exit_code = DASH_EXIT_LOST;
    } else if (failed) {
        s.exit_code = DASH_EXIT_LOST;
    } else if (opt.disconnect) {
        Dash_SendDisconnects(s);
    }
    if (s.next_command < opt.num_commands || DashChan_ReliablePending(s.chan))
        std::fprintf(err, "tarmis_dash: not every text command was acknowledged by the server\n");
    Dash_PrintStats(s);
    DashNet_Close(s.sock);
    return s.exit_code;
}
