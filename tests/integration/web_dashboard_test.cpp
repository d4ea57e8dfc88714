// tarmis_dash --web through the real programs: a headless Chromium loads the
// page and reads what it shows, driven over its DevTools pipe; plain sockets
// stand in for many browsers and for hostile devices on the network.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "tcp_client.h"

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
const std::string kStreamRequest = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// `s` as a JSON string (line ends become blanks).
std::string Quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c == '\n' ? ' ' : c;
    }
    return q + "\"";
}

// Headless Chromium with one page, on its DevTools pipe (fds 3 and 4,
// messages ended by a zero byte), started by the harness in a directory
// that holds its profile. Every read is bounded.
class Browser {
public:
    ~Browser() {
        close(to_);
        close(from_);
    }

    // Starts the browser on a blank page that runs `script` in every
    // document it loads from then on.
    bool Open(const std::string& script) {
        int cmd[2], reply[2];
        if (pipe(cmd) != 0 || pipe(reply) != 0) return false;
        // No updates, syncing or lookups of its maker's hosts: a machine
        // without internet refuses them, and a fresh profile tries them all
        // at its first start.
        const std::string line = std::string("exec ") + kChromium + " --headless --no-sandbox --disable-gpu "
            "--no-first-run --disable-background-networking --disable-component-update --disable-sync "
            "--disable-quic --remote-debugging-pipe --window-size=1280,600 --user-data-dir=profile about:blank 3<&" +
            std::to_string(cmd[0]) + " 4>&" + std::to_string(reply[1]);
        const bool started = Harness_Start(chromium_, {"/bin/sh", "-c", line});
        close(cmd[0]);
        close(reply[1]);
        to_ = cmd[1];
        from_ = reply[0];
        const std::string page = Field(Call("Target.createTarget", "{\"url\":\"about:blank\"}"), "targetId");
        session_ = Field(Call("Target.attachToTarget", "{\"targetId\":\"" + page + "\",\"flatten\":true}"), "sessionId");
        return started && !session_.empty() && Command("Page.enable", "{}") &&
               Command("Page.addScriptToEvaluateOnNewDocument", "{\"source\":" + Quoted(script) + "}");
    }

    // Sends one DevTools command (params a JSON object); true when it was
    // answered without an error.
    bool Command(const std::string& method, const std::string& params) {
        const std::string r = Call(method, params);
        return !r.empty() && r.find("\"error\"") == std::string::npos;
    }

    // The value of a JavaScript expression in the page as a string, "" on
    // failure (it crosses the pipe URI-encoded, so that it is plain ASCII).
    std::string Eval(const std::string& expression) {
        const std::string coded = Field(Call("Runtime.evaluate", "{\"expression\":" + Quoted("encodeURIComponent(" +
                                             expression + ")") + ",\"returnByValue\":true}"), "value");
        std::string out;
        for (size_t i = 0; i < coded.size(); i += coded[i] == '%' ? 3 : 1)
            out += coded[i] == '%' ? static_cast<char>(std::stoi(coded.substr(i + 1, 2), nullptr, 16)) : coded[i];
        return out;
    }

    // Evaluates `expression` until its value contains `want` or `ms`
    // pass; returns the last value.
    std::string WaitFor(const std::string& expression, const std::string& want, int ms) {
        const double end = Harness_NowMs() + ms;
        std::string seen;
        while ((seen = Eval(expression)).find(want) == std::string::npos && Harness_NowMs() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return seen;
    }

private:
    // The text of the string member `name` in a reply, "" when there is none.
    static std::string Field(const std::string& reply, const std::string& name) {
        const std::string key = "\"" + name + "\":\"";
        const size_t at = reply.find(key);
        return at == std::string::npos ? "" : reply.substr(at + key.size(), reply.find('"', at + key.size()) - at - key.size());
    }

    // Sends one command (to the page once attached) and returns its reply,
    // "" when none came within 5 s.
    std::string Call(const std::string& method, const std::string& params) {
        const std::string id = "{\"id\":" + std::to_string(next_id_++) + ",";
        const std::string msg = id + (session_.empty() ? "" : "\"sessionId\":\"" + session_ + "\",") +
                                "\"method\":\"" + method + "\",\"params\":" + params + "}";
        if (write(to_, msg.c_str(), msg.size() + 1) != static_cast<ssize_t>(msg.size() + 1)) return "";
        const double end = Harness_NowMs() + 5000;
        for (;;) {
            for (size_t zero; (zero = buf_.find('\0')) != std::string::npos;) {
                const std::string one = buf_.substr(0, zero);
                buf_.erase(0, zero + 1);
                if (one.rfind(id, 0) == 0) return one;
            }
            char chunk[65536];
            pollfd pfd{from_, POLLIN, 0};
            const ssize_t n = poll(&pfd, 1, std::max(0, static_cast<int>(end - Harness_NowMs()))) > 0
                                  ? read(from_, chunk, sizeof chunk) : 0;
            if (n <= 0) return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

    Proc chromium_;
    int to_ = -1, from_ = -1, next_id_ = 1;
    std::string buf_, session_;
};

// Run in every document the browser loads: texts("a b") gives the texts of
// the elements with those ids joined by '|', lit() the lit lamps and shift
// lights, and `held` counts the screen locks the page holds.
const char* const kPageHelpers = R"js(
window.texts = function (ids) {
  return ids.split(" ").map(function (id) { return document.getElementById(id).textContent; }).join("|");
};
window.lit = function () {
  var on = [].map.call(document.querySelectorAll("#lamps span.on"), function (e) { return e.textContent; });
  return on.join(" ") + "|" + document.querySelectorAll("#shift i.g,#shift i.y,#shift i.r").length;
};
window.held = 0;
var ask = navigator.wakeLock.request.bind(navigator.wakeLock);
navigator.wakeLock.request = function (type) {
  return ask(type).then(function (lock) { held++; lock.onrelease = function () { held--; }; return lock; });
};)js";

// The screen's size and "fits" when the page fits it, else what does not:
// nothing scrolls or is clipped, nothing lies off the screen, no text is
// below 14 CSS px, and the readouts stay in their boxes and cover none of
// the others.
const char* const kLayoutCheck = R"js((function () {
  var W = innerWidth, H = innerHeight, bad = [], seen = [], de = document.documentElement;
  var name = function (e) { return e.id ? "#" + e.id : e.tagName + "(" + e.textContent.trim().slice(0, 12) + ")"; };
  var inside = function (r, o) {
    return r.left >= o.left - 1 && r.top >= o.top - 1 && r.right <= o.right + 1 && r.bottom <= o.bottom + 1;
  };
  if (de.scrollWidth > W || de.scrollHeight > H) bad.push("page " + de.scrollWidth + "x" + de.scrollHeight);
  document.querySelectorAll("body *:not(script)").forEach(function (e) {
    var cs = getComputedStyle(e);
    if (cs.display !== "inline" && (e.scrollWidth > e.clientWidth + 1 || e.scrollHeight > e.clientHeight + 1))
      bad.push(name(e) + " clipped");
    if (!inside(e.getBoundingClientRect(), {left: 0, top: 0, right: W, bottom: H})) bad.push(name(e) + " off screen");
    var own = [].some.call(e.childNodes, function (n) { return n.nodeType === 3 && n.textContent.trim(); });
    if (own && parseFloat(cs.fontSize) < 14) bad.push(name(e) + " in " + cs.fontSize);
  });
  document.querySelectorAll("#status,#units,#shift,#gear,#speed,#speedunit,#rpmbar,#rpmline,#thrbar,#brkbar," +
                            ".cell,#lamps span").forEach(function (e) {
    var r = e.getBoundingClientRect(), box = e.closest(".box");
    if (box && !inside(r, box.getBoundingClientRect())) bad.push(name(e) + " outside its box");
    seen.forEach(function (p) {
      if (Math.min(r.right, p[1].right) - Math.max(r.left, p[1].left) > 1 &&
          Math.min(r.bottom, p[1].bottom) - Math.max(r.top, p[1].top) > 1) bad.push(name(e) + " covers " + name(p[0]));
    });
    seen.push([e, r]);
  });
  return W + "x" + H + " " + (bad.join("; ") || "fits");
})())js";

// Shows the page on an upright and a sideways phone and an upright tablet
// (CSS pixels) and checks that it fits each.
void ExpectFitsEveryScreen(Browser& b, const std::string& what) {
    for (auto [width, height] : {std::pair{390, 844}, {844, 390}, {768, 1024}}) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        ASSERT_TRUE(b.Command("Emulation.setDeviceMetricsOverride", "{\"width\":" + std::to_string(width) +
                              ",\"height\":" + std::to_string(height) + ",\"deviceScaleFactor\":1,\"mobile\":true}"));
        EXPECT_EQ(b.Eval(kLayoutCheck), size + " fits") << what;
    }
}

// A connection that asked for the event stream: its socket when granted,
// -1 when refused with 503, -2 on anything else.
int OpenStream(int web) {
    const int s = tcp::Connect(web);
    const std::string status = tcp::SendAll(s, kStreamRequest) ? tcp::Receive(s, 5000, 12) : "";
    if (status.rfind("HTTP/1.1 200", 0) == 0) return s;
    close(s);
    return status.rfind("HTTP/1.1 503", 0) == 0 ? -1 : -2;
}

// The update count of the first live event that a browser at `from` gets
// within `ms` on a new event stream, or -1.
long LiveUpdates(int web, int ms, const char* from = "127.0.0.2") {
    const std::string reply = tcp::Exchange(web, kStreamRequest, ms, 600, from);
    const std::string lead = "data: {\"link\":\"live\",\"updates\":";
    return reply.find(lead) == std::string::npos ? -1 : std::atol(&reply[reply.find(lead) + lead.size()]);
}

// Peak resident memory in KiB of tarmis_dash: the largest of the
// processes in its group that run it (under Wine, the .exe's); -1 when it
// cannot be read.
long PeakKiB(const Proc& p) {
    long peak = -1;
    FILE* f = popen(("pgrep -g " + std::to_string(p.pid) + " -f tarmis_dash").c_str(), "r");
    for (char pid[32]; f != nullptr && std::fgets(pid, sizeof pid, f) != nullptr;) {
        const std::string status = Harness_ReadFile("/proc/" + std::to_string(std::atol(pid)) + "/status");
        if (status.find("VmHWM:") != std::string::npos) peak = std::max(peak, std::atol(&status[status.find("VmHWM:") + 6]));
    }
    if (f != nullptr) pclose(f);
    return peak;
}

// What a device on the network may send: `connections` from 127.0.0.1,
// each sent `head`, then `filler` at full speed up to `bytes` (on the first
// one), or with `dribble` a byte of it on each every half second for up to
// 6 s, then left unread for `quiet_ms`. The client must end every one of
// them, one at least after a reply that starts with `reply`.
struct Attack {
    const char* name;
    int connections;
    std::string head, filler;
    size_t bytes;
    bool dribble;
    int quiet_ms;
    const char* reply;
};

void Attack_Run(int web, const Attack& a, int end_ms) {
    std::vector<int> open;
    for (int i = 0; i < a.connections; i++) {
        open.push_back(tcp::Connect(web, 2048));
        tcp::SendAll(open.back(), a.head);
    }
    std::string chunk;
    while (chunk.size() < 65536 && a.bytes > 0) chunk += a.filler;
    const double end = Harness_NowMs() + 6000;
    const timeval second{1, 0};
    setsockopt(open[0], SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    ssize_t n = 0;
    for (size_t sent = a.head.size(); sent < a.bytes && n >= 0 && Harness_NowMs() < end; sent += std::max<ssize_t>(n, 0))
        n = send(open[0], chunk.data(), std::min(chunk.size(), a.bytes - sent), MSG_NOSIGNAL);
    for (int held = a.connections; a.dribble && held > 0 && Harness_NowMs() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        held = static_cast<int>(std::count_if(open.begin(), open.end(), [&](int fd) { return tcp::SendAll(fd, a.filler); }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(a.quiet_ms));
    std::string replies;
    for (size_t i = 0; i < open.size(); i++) {
        bool ended = false;
        replies.append("\n").append(tcp::Receive(open[i], end_ms, 1 << 30, &ended).substr(0, 40));
        EXPECT_TRUE(ended) << a.name << ": connection " << i << " still open";
        close(open[i]);
    }
    EXPECT_NE(replies.find("\n" + std::string(a.reply)), std::string::npos) << a.name << ":" << replies;
}

class WebDashboard : public BuildRun {
protected:
    // Starts tarmis_dash --web on a free port against the server's UDP
    // port and waits for its start-up line; returns the web port.
    int StartDash(Proc& dash, const std::string& udp_port, const std::vector<std::string>& extra) {
        const int web = tcp::FreePort();
        std::vector<std::string> args = {"--web", "127.0.0.1:" + std::to_string(web), "--port", udp_port, "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(Harness_StartProgram(dash, "tarmis_dash", args, wine()));
        EXPECT_TRUE(Harness_WaitOutput(dash, "web dashboard: open http://127.0.0.1:" + std::to_string(web) + "/",
                                       wait_ms())) << dash.out << Harness_ReadFile(dash.dir + "/stderr.txt");
        return web;
    }
};

// One page through a client's life: every stream of this device taken, no
// server yet, the test pattern live in both unit systems and across a
// reload, the server gone; then another client whose server has no data.
TEST_P(WebDashboard, PageFollowsTheServerShowsItsValuesAndFitsEveryScreen) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    const std::string port = std::to_string(Harness_FreeUdpPort());
    Proc dash, server;
    const int web = StartDash(dash, port, {"--timeout", "500"});
    Browser b;
    ASSERT_TRUE(b.Open(kPageHelpers));

    // Every stream one device may hold is taken: the page says why it gets
    // nothing, and once they go it carries on by itself.
    std::vector<int> streams;
    int s = -2;
    while (streams.size() < 100 && (s = OpenStream(web)) >= 0) streams.push_back(s);
    EXPECT_EQ(s, -1) << streams.size() << " streams granted";
    ASSERT_TRUE(b.Command("Page.navigate", "{\"url\":\"http://127.0.0.1:" + std::to_string(web) + "/\"}"));
    EXPECT_EQ(b.WaitFor("texts('status')", "too many", wait_ms()), "too many browsers connected");
    for (int fd : streams) close(fd);
    EXPECT_EQ(b.WaitFor("texts('status')", "no reply", wait_ms()), "no reply from the server – retrying…");
    EXPECT_EQ(b.Eval("texts('gear best')"), "–|–");

    // The server comes, with its test pattern: fixed values, gear and
    // engine speed on the move, the shift light following the engine speed
    // (15 lights up to 3000 rpm), the yellow flag lit and nothing else,
    // pushed on every update.
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-p", port}, wine()));
    ASSERT_EQ(b.WaitFor("texts('status')", "live", wait_ms()), "live");
    std::set<std::string> gears, rpms;
    const long first = std::atol(b.Eval("texts('count').split(' ')[1]").c_str());
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(b.Eval("texts('status speed speedunit pos lap best last fuel fuellaps water oil')"),
                  "live|749|km/h|14 / 48|156 / 554|1:33.543|11:32.102|531.0 l|223.1|163.7 °C|78.0 °C");
        const std::string moving = b.Eval("texts('gear rpm') + '|' + lit()");
        char gear = 0;
        int rpm = -1, lights = -1;
        ASSERT_EQ(std::sscanf(moving.c_str(), "%c|%d|YELLOW|%d", &gear, &rpm, &lights), 3) << moving;
        EXPECT_NE(std::string("RN123456").find(gear), std::string::npos) << gear;
        EXPECT_LE(std::abs(lights * 3000 - rpm * 15), 1500) << rpm << " rpm, " << lights << " lights";
        gears.insert(std::string(1, gear));
        rpms.insert(std::to_string(rpm));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_GE(rpms.size(), 4u);
    EXPECT_GE(gears.size(), 2u);
    EXPECT_GT(std::atol(b.Eval("texts('count').split(' ')[1]").c_str()), first + 20) << "about 20 a second";
    ExpectFitsEveryScreen(b, "metric");

    // One button switches every unit; the browser keeps the choice.
    ASSERT_EQ(b.Eval("(document.getElementById('units').click(), window.before = 1, location.reload(), 'reload')"),
              "reload");
    ASSERT_EQ(b.WaitFor("window.before + texts('status')", "undefinedlive", wait_ms()), "undefinedlive");
    EXPECT_EQ(b.Eval("texts('speed speedunit fuel water oil')"), "465|mph|140.3 gal|326.7 °F|172.4 °F");
    ExpectFitsEveryScreen(b, "imperial");

    // The screen is kept on while values are live; the server goes: the
    // values dim and the screen may sleep.
    EXPECT_EQ(b.WaitFor("held", "1", 5000), "1");
    Harness_Kill(server);
    EXPECT_EQ(b.WaitFor("texts('status')", "no update for ", 5000).rfind("no update for ", 0), 0u);
    EXPECT_EQ(b.WaitFor("document.body.className + held", "dim0", 5000), "dim0");

    // A server without its test pattern and no simulator.
    Proc no_data_server, no_data_dash;
    const std::string no_data_port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(no_data_server, "tarmis_server", {"-p", no_data_port}, wine()));
    const int no_data_web = StartDash(no_data_dash, no_data_port, {});
    ASSERT_TRUE(b.Command("Page.navigate", "{\"url\":\"http://127.0.0.1:" + std::to_string(no_data_web) + "/\"}"));
    EXPECT_EQ(b.WaitFor("texts('status')", "no data", wait_ms()),
              "no data from the simulator — not running, or the car is not on track");
    ExpectFitsEveryScreen(b, "the longest status");
}

// What any device on the network may send arrives from 127.0.0.1, case
// after case, the first of them while ten browsers on phones of their own
// read every event. Each case must leave tarmis_dash running within 8 MiB
// of its idle peak memory, and a browser on another device (127.0.0.2) must
// get new values on every look while it lasts and after. Meanwhile the UDP
// dashboard, at hundreds of updates a second, loses none (under Wine, where
// one wineserver carries every socket call of both programs: never pauses
// for a second).
TEST_P(WebDashboard, TenBrowsersAndHostileDevicesNeitherSlowTheDashboardNorLockABrowserOut) {
    Proc server, dash;
    const std::string port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-f", "0", "-p", port}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + port, wait_ms())) << server.out;
    // Freed memory is used again at once, as without the sanitizer, so that
    // the peak shows what the requests hold.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string saved_asan = asan != nullptr ? asan : "";
    setenv("ASAN_OPTIONS", (saved_asan + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(), 1);
    const int web = StartDash(dash, port, {});
    if (asan != nullptr) setenv("ASAN_OPTIONS", saved_asan.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    const int live_ms = wine() ? 6000 : 5000, reading_ms = wine() ? 20000 : 10000;
    ASSERT_GE(LiveUpdates(web, wait_ms()), 0) << dash.out;
    Harness_Poll(dash, 0);
    const long idle = PeakKiB(dash);
    ASSERT_GT(idle, 0);

    std::vector<std::string> streams(10);   // what each of the ten browsers read
    std::vector<std::thread> readers;
    for (int i = 0; i < 10; i++)
        readers.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(10 + i);
            streams[i] = tcp::Exchange(web, kStreamRequest, reading_ms, 1 << 30, from.c_str());
        });
    std::string ranges = "bytes=0-";
    while (ranges.size() < 3900) ranges += ",0-";
    const std::string get = "GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const Attack attacks[] = {
        {"a chunked body of 48 MB", 1, "POST /state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         "8000\r\n" + std::string(0x8000, 'x') + "\r\n", 48u << 20, false, 0, ""},
        {"a request line of 32 MB", 1, "GET /", "aaaaaaaaaaaaaaaa", 32u << 20, false, 0, ""},
        {"6 MB of short header lines", 1, get, "X:y\r\n", 6u << 20, false, 0, ""},
        {"1300 ranges of the page, on four connections", 4, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges +
         "\r\n\r\n", "", 0, false, 0, "HTTP/1.1 416"},
        {"50 connections of garbage", 50, "\x16\x03\x01 this is not HTTP\r\n\r\n", "", 0, false, 0, "HTTP/1.1 400"},
        {"50 requests cut off", 50, "GET /events HTTP/1.1\r\nHost: 12", "", 0, false, 0, ""},
        {"48 connections sending their headers a byte every half second", 48, get, "X", 0, true, 0, ""},
        // Dropped within seconds, though the system would take bytes for
        // them for minutes: read after that, each ends after what was queued.
        {"20 event streams that stop reading after the status line", 20, kStreamRequest, "", 0, false,
         wine() ? 15000 : 8000, "HTTP/1.1 200"},
        {"a page elsewhere that points its own name at this PC", 1,
         "GET /state HTTP/1.1\r\nHost: tarmis.rebind.example:8080\r\n\r\n", "", 0, false, 0, "HTTP/1.1 403"},
    };
    long updates = 0;
    for (const Attack& a : attacks) {
        SCOPED_TRACE(a.name);
        std::atomic<bool> over{false};
        std::thread attacker([&] {
            Attack_Run(web, a, wait_ms());
            over = true;
        });
        do {   // this thread also reads the client's output, so that its printing never waits
            const long now = LiveUpdates(web, live_ms);
            EXPECT_GT(now, updates) << "no new live values within " << live_ms << " ms";
            updates = std::max(updates, now);
            Harness_Poll(dash, 200);
        } while (!over);
        attacker.join();
        EXPECT_GT(LiveUpdates(web, live_ms), updates);
        Harness_Poll(dash, 0);
        ASSERT_FALSE(dash.exited) << "exit code " << dash.exit_code << Harness_ReadFile(dash.dir + "/stderr.txt");
        EXPECT_LE(PeakKiB(dash) - idle, 8192) << "idle " << idle << " KiB";
    }
    for (auto& t : readers) t.join();
    Harness_Poll(dash, 100);

    // While the ten browsers read (the client's clock starts with its
    // session, just after its start-up line) every update the server sent
    // arrived, in order; each browser got events all the while and did not
    // fall behind.
    long prev = -1, gaps = 0, count = 0;
    double prev_ms = 0, longest_ms = 0;
    for (const std::string& line : Harness_Lines(dash.out)) {
        long seq = 0;
        double t = 0;
        if (std::sscanf(line.c_str(), "{\"seq\":%ld,\"t_ms\":%lf", &seq, &t) != 2 || t > reading_ms) continue;
        if (prev >= 0 && seq != prev + 1) gaps++;
        if (prev >= 0) longest_ms = std::max(longest_ms, t - prev_ms);
        prev = seq;
        prev_ms = t;
        count++;
    }
    EXPECT_TRUE(wine() || gaps == 0) << gaps << " sequence gaps in " << count << " updates";
    EXPECT_LT(longest_ms, 1000.0) << "reception paused";
    EXPECT_GE(count * 1000 / reading_ms, wine() ? 100 : 300) << count << " updates in " << reading_ms << " ms";
    for (int i = 0; i < 10; i++) {
        int events = 0;
        for (size_t at = 0; (at = streams[i].find("\ndata: ", at + 1)) != std::string::npos;) events++;
        const size_t at = streams[i].rfind("\"updates\":", streams[i].rfind("\n\n"));
        EXPECT_GE(events, reading_ms / 100) << "browser " << i;
        EXPECT_GE(at == std::string::npos ? -1 : std::atol(streams[i].c_str() + at + 10), count * 8 / 10)
            << "browser " << i << " fell behind";
    }
}

TARMIS_BUILD_SUITE(WebDashboard);

}  // namespace
