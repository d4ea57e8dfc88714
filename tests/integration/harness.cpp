// tests/integration/harness.cpp: process control for the integration tests.
#include "harness.h"
#include "udp_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#ifndef TARMIS_NATIVE_DIR
#define TARMIS_NATIVE_DIR "."
#endif

Proc::~Proc() {
    Harness_Kill(*this);
    std::error_code ignored;
    if (owns_dir) std::filesystem::remove_all(dir, ignored);
}

static std::string Harness_NativeProgram(const char* name) {
    return std::string(TARMIS_NATIVE_DIR) + "/" + name;
}

std::string Harness_WinDir() {
    const char* d = std::getenv("TARMIS_WIN_DIR");
    return d ? d : "";
}

double Harness_NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

static bool Harness_Launch(Proc& p, const std::vector<std::string>& argv, bool wine,
                           const std::string& dir, int out_fd, bool new_session) {
    std::error_code ignored;   // a Proc started again: its earlier directory goes
    if (p.owns_dir) std::filesystem::remove_all(p.dir, ignored);
    char tmpl[] = "/tmp/tarmis_it_XXXXXX";
    p.owns_dir = dir.empty() && mkdtemp(tmpl) != nullptr;
    p.dir = p.owns_dir ? tmpl : dir;
    p.wine = wine;

    int fds[2] = {-1, out_fd};
    if (out_fd < 0 && pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (new_session) setsid();
        else setpgid(0, 0);
        // The program decides for itself what to do with these signals.
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(p.dir.c_str()) != 0) _exit(126);
        dup2(fds[1], STDOUT_FILENO);
        int err = out_fd < 0 ? open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644)
                             : open("/dev/null", O_WRONLY);
        if (err >= 0) dup2(err, STDERR_FILENO);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, STDIN_FILENO);
        if (wine) setenv("WINEDEBUG", "-all", 1);
        std::vector<char*> cargv;
        if (wine) cargv.push_back(const_cast<char*>("/usr/bin/wine"));
        for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    if (!new_session) setpgid(pid, pid);
    if (out_fd < 0) {
        close(fds[1]);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    p.pid = pid;
    p.out_fd = fds[0];
    p.out.clear();
    p.exited = false;
    return true;
}

bool Harness_Start(Proc& p, const std::vector<std::string>& argv, bool wine,
                   const std::string& dir) {
    return Harness_Launch(p, argv, wine, dir, -1, false);
}

// The program `name` of this run's build, then `args`.
static std::vector<std::string> Harness_Argv(const char* name, const std::vector<std::string>& args, bool wine) {
    std::vector<std::string> argv = {wine ? Harness_WinDir() + "/" + name + ".exe" : Harness_NativeProgram(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

bool Harness_StartServerOn(Proc& p, int out_fd, int read_fd, const std::vector<std::string>& args, bool wine,
                           bool new_session) {
    if (!Harness_Launch(p, Harness_Argv("tarmis_server", args, wine), wine, "", out_fd, new_session)) return false;
    p.out_fd = read_fd;
    return fcntl(read_fd, F_SETFL, O_NONBLOCK) == 0;
}

bool Harness_StartProgram(Proc& p, const char* name, const std::vector<std::string>& args,
                          bool wine, const std::string& dir) {
    return Harness_Start(p, Harness_Argv(name, args, wine), wine, dir);
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
    pollfd pfd{p.out_fd, POLLIN, 0};
    if (p.out_fd < 0) {
        usleep(static_cast<useconds_t>(std::clamp(timeout_ms, 0, 20)) * 1000);
    } else if (poll(&pfd, 1, std::max(timeout_ms, 0)) > 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(p.out_fd, buf, sizeof buf)) > 0)
            for (ssize_t i = 0; i < n; i++)   // Windows text output ends its lines with "\r\n"
                if (!(p.wine && buf[i] == '\r')) p.out += buf[i];
        if (n == 0) {   // every writer has gone
            close(p.out_fd);
            p.out_fd = -1;
        }
    }
    Harness_Reap(p, false);
}

bool Harness_WaitOutput(Proc& p, const std::string& needle, int timeout_ms) {
    for (const double end = Harness_NowMs() + timeout_ms; p.out.find(needle) == std::string::npos; Harness_Poll(p, 20))
        if (Harness_NowMs() > end || (p.exited && p.out_fd < 0)) return false;
    return true;
}

bool Harness_WaitExit(Proc& p, int timeout_ms) {
    for (const double end = Harness_NowMs() + timeout_ms; !p.exited; Harness_Poll(p, 20))
        if (Harness_NowMs() > end) return false;
    Harness_Poll(p, 0);   // what is still in the pipe
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

int Harness_FreeUdpPort() { return UdpClient(0, 0).LocalPort(); }

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
    static const std::regex member("\"(\\w+)\":(\"[^\"]*\"|[^,}]*)");
    std::map<std::string, std::string> f;
    for (std::sregex_iterator m(line.begin(), line.end(), member), end; m != end; ++m)
        f[(*m)[1].str()] = (*m)[2].str();
    return f;
}

void BuildRun::SetUp() {
    if (GetParam() && (Harness_WinDir().empty() || access("/usr/bin/wine", X_OK) != 0))
        GTEST_SKIP() << "Windows variant skipped: TARMIS_WIN_DIR is not set. To run it, build the "
                        "windows preset and set TARMIS_WIN_DIR=$PWD/build/windows with Wine and a "
                        "display (./test.sh does both).";
}
