// tests/integration/harness.cpp: process control for the integration tests.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef TARMIS_NATIVE_DIR
#define TARMIS_NATIVE_DIR "."
#endif

Proc::~Proc() {
    Harness_Kill(*this);
    if (owns_dir) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

std::string Harness_NativeProgram(const char* name) {
    return std::string(TARMIS_NATIVE_DIR) + "/" + name;
}

std::string Harness_WinDir() {
    const char* d = std::getenv("TARMIS_WIN_DIR");
    return d ? d : "";
}

bool Harness_HaveWine() {
    return !Harness_WinDir().empty() && access("/usr/bin/wine", X_OK) == 0;
}

const char* const HARNESS_WINE_SKIP =
    "Windows variant skipped: TARMIS_WIN_DIR is not set. To run it, build the windows preset "
    "and set TARMIS_WIN_DIR=$PWD/build/windows with Wine and a display (./test.sh does both).";

// ------------------------------------------------- the simulator's named objects

// The name under which the Linux stand-in's window listens (an abstract
// UNIX socket; /proc/net/unix shows it with a leading "@").
static const char HARNESS_WINDOW_NAME[] = "iRacingSim/SimWinClass";

// A process's command line with its arguments joined by blanks, or "".
static std::string Harness_CommandLine(pid_t pid) {
    std::string cmd = Harness_ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
    return cmd;
}

static pid_t Harness_ParentOf(pid_t pid) {
    std::string stat = Harness_ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream in(stat.substr(close_paren + 1));
    char state = 0;
    long ppid = -1;
    in >> state >> ppid;
    return static_cast<pid_t>(ppid);
}

// The pids of processes with an open file descriptor whose link reads `link`.
static std::vector<pid_t> Harness_Holders(const std::string& link) {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = proc.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fd_ec;
        for (const auto& fd : std::filesystem::directory_iterator(proc.path() / "fd", fd_ec)) {
            std::error_code l_ec;
            if (std::filesystem::read_symlink(fd.path(), l_ec).string() == link) {
                pids.push_back(static_cast<pid_t>(std::stol(name)));
                break;
            }
        }
    }
    return pids;
}

// The native stand-in: who has the window's socket bound, if anyone.
static std::string Harness_ForeignNative() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, HARNESS_WINDOW_NAME, sizeof HARNESS_WINDOW_NAME - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof HARNESS_WINDOW_NAME);
    bool held = bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 && errno == EADDRINUSE;
    close(fd);
    if (!held) return "";

    // /proc/net/unix: "Num RefCount Protocol Flags Type St Inode Path".
    std::istringstream table(Harness_ReadFile("/proc/net/unix"));
    std::string inode;
    for (std::string line; std::getline(table, line);) {
        std::istringstream f(line);
        std::string num, ref, proto, flags, type, st, ino, path;
        if (f >> num >> ref >> proto >> flags >> type >> st >> ino >> path &&
            path == std::string("@") + HARNESS_WINDOW_NAME)
            inode = ino;
    }
    std::vector<pid_t> holders;
    if (!inode.empty()) holders = Harness_Holders("socket:[" + inode + "]");
    for (pid_t pid : holders)  // this test, or a stand-in it started
        if (pid == getpid() || Harness_ParentOf(pid) == getpid()) return "";
    if (holders.empty()) {
        // Not visible to this process; a stand-in of this test's own would be.
        return std::string("another simulator stand-in holds the simulator's named objects "
                           "(the window \"") + HARNESS_WINDOW_NAME +
               "\"). Stop it (a ./run.sh that still runs?) and run the tests again.";
    }
    std::string who;
    for (pid_t pid : holders)
        who += (who.empty() ? "" : ", ") + std::string("pid ") + std::to_string(pid) + " (" +
               Harness_CommandLine(pid) + ")";
    return "another simulator stand-in holds the simulator's named objects: " + who +
           ". Stop it (a ./run.sh that still runs? else: kill " + std::to_string(holders[0]) +
           ") and run the tests again.";
}

// Under Wine the named objects live in the run's own Wine prefix
// (tarmis_start_wine makes a fresh one), which only this run's programs use.
std::string Harness_ForeignSimulator(bool wine) {
    return wine ? "" : Harness_ForeignNative();
}

double Harness_NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

static std::string Harness_TempDir() {
    char tmpl[] = "/tmp/tarmis_it_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

bool Harness_Start(Proc& p, const std::vector<std::string>& argv, bool wine,
                   const std::string& dir) {
    if (p.owns_dir) {  // a Proc started again: its earlier directory goes
        std::error_code ignored;
        std::filesystem::remove_all(p.dir, ignored);
    }
    p.owns_dir = dir.empty();
    p.dir = dir.empty() ? Harness_TempDir() : dir;
    p.wine = wine;
    std::vector<std::string> args;
    if (wine) args.push_back("/usr/bin/wine");
    args.insert(args.end(), argv.begin(), argv.end());

    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        // The program decides for itself what to do with these signals.
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(p.dir.c_str()) != 0) _exit(126);
        dup2(fds[1], STDOUT_FILENO);
        int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, STDERR_FILENO);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (wine) setenv("WINEDEBUG", "-all", 1);
        std::vector<char*> cargv;
        for (auto& a : args) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    p.pid = pid;
    p.out_fd = fds[0];
    p.out.clear();
    p.exited = false;
    p.exit_code = -1;
    return true;
}

// Whether starting `name` with `args` takes or reads the simulator's named
// objects: a stand-in that plays the simulator, or a server reading it.
static bool Harness_UsesSimulator(const char* name, const std::vector<std::string>& args) {
    auto has = [&](const char* a) { return std::find(args.begin(), args.end(), a) != args.end(); };
    if (std::strcmp(name, "tarmis_simulator") == 0)
        return !has("--probe") && !has("--post") && !has("--help");
    if (std::strcmp(name, "tarmis_server") == 0) {
        for (const std::string& a : args)
            if (a.size() >= 2 && (a[0] == '-' || a[0] == '/') && (a[1] == 't' || a[1] == 'T'))
                return false;
        return true;
    }
    return false;
}

bool Harness_StartProgram(Proc& p, const char* name, const std::vector<std::string>& args,
                          bool wine, const std::string& dir) {
    if (Harness_UsesSimulator(name, args)) {
        const std::string foreign = Harness_ForeignSimulator(wine);
        if (!foreign.empty()) {
            ADD_FAILURE() << name << " not started: " << foreign;
            Harness_Kill(p);
            p.pid = -1;
            p.exited = true;
            p.exit_code = -1;
            return false;
        }
    }
    std::vector<std::string> argv;
    argv.push_back(wine ? Harness_WinDir() + "/" + name + ".exe" : Harness_NativeProgram(name));
    argv.insert(argv.end(), args.begin(), args.end());
    return Harness_Start(p, argv, wine, dir);
}

static void Harness_Reap(Proc& p, bool block) {
    if (p.pid <= 0 || p.exited) return;
    int status = 0;
    pid_t r = waitpid(p.pid, &status, block ? 0 : WNOHANG);
    if (r == p.pid) {
        p.exited = true;
        p.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

void Harness_Poll(Proc& p, int timeout_ms) {
    if (p.out_fd >= 0) {
        pollfd pfd{p.out_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms) > 0) {
            char buf[4096];
            for (;;) {
                ssize_t n = read(p.out_fd, buf, sizeof(buf));
                if (n > 0) {
                    // Windows text output ends its lines with "\r\n".
                    for (ssize_t i = 0; i < n; i++)
                        if (!(p.wine && buf[i] == '\r')) p.out += buf[i];
                    continue;
                }
                if (n == 0) {  // every writer has gone
                    close(p.out_fd);
                    p.out_fd = -1;
                }
                break;
            }
        }
    } else if (timeout_ms > 0) {
        usleep(static_cast<useconds_t>(std::min(timeout_ms, 20)) * 1000);
    }
    Harness_Reap(p, false);
}

bool Harness_WaitOutput(Proc& p, const std::string& needle, int timeout_ms) {
    double end = Harness_NowMs() + timeout_ms;
    for (;;) {
        if (p.out.find(needle) != std::string::npos) return true;
        double left = end - Harness_NowMs();
        if (left <= 0) return false;
        if (p.exited && p.out_fd < 0) return false;
        Harness_Poll(p, static_cast<int>(std::min(left, 50.0)) + 1);
    }
}

bool Harness_WaitExit(Proc& p, int timeout_ms) {
    double end = Harness_NowMs() + timeout_ms;
    while (!p.exited) {
        double left = end - Harness_NowMs();
        if (left <= 0) return false;
        Harness_Poll(p, static_cast<int>(std::min(left, 20.0)) + 1);
    }
    // Collect what is still in the pipe.
    if (p.out_fd >= 0) Harness_Poll(p, 0);
    return true;
}

void Harness_Interrupt(Proc& p) {
    if (p.pid > 0 && !p.exited) kill(p.pid, SIGINT);
}

void Harness_Kill(Proc& p) {
    if (p.pid > 0) {
        kill(-p.pid, SIGKILL);  // the group: wine's helpers too
        if (!p.exited) {
            kill(p.pid, SIGKILL);
            Harness_Reap(p, true);
        }
    }
    if (p.out_fd >= 0) {
        close(p.out_fd);
        p.out_fd = -1;
    }
}

int Harness_FreeUdpPort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int port = 0;
    socklen_t len = sizeof(a);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

std::string Harness_ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Harness_Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> Harness_JsonFields(const std::string& line) {
    std::map<std::string, std::string> f;
    size_t at = 0;
    while ((at = line.find('"', at)) != std::string::npos) {
        size_t key_end = line.find('"', at + 1);
        if (key_end == std::string::npos || key_end + 1 >= line.size() || line[key_end + 1] != ':')
            break;
        std::string key = line.substr(at + 1, key_end - at - 1);
        size_t v = key_end + 2;
        size_t v_end = v;
        if (v < line.size() && line[v] == '"') {
            v_end = line.find('"', v + 1);
            if (v_end == std::string::npos) break;
            v_end++;
        } else {
            while (v_end < line.size() && line[v_end] != ',' && line[v_end] != '}') v_end++;
        }
        f[key] = line.substr(v, v_end - v);
        at = v_end;
    }
    return f;
}

void BuildRun::RequireTools(std::initializer_list<const char*> tools) {
    for (const char* tool : tools) {
        std::string path = wine() ? Harness_WinDir() + "/" + tool + ".exe" : Harness_NativeProgram(tool);
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not built";
    }
}
