#!/usr/bin/env python3
"""Tarmis Server benchmarks: pacing, freshness, CPU cost and memory.

    bench/bench.py pacing [--wine] [--seconds S]
    bench/bench.py fresh [--seconds S]
    bench/bench.py cpu [--seconds S]          (CPU cost and peak memory)
    bench/bench.py all [--seconds S]

Runs the release build (build/release, or TARMIS_BENCH_BUILD) and, with
--wine, build/windows/tarmis_server.exe under Wine. Every benchmark measures
its baseline in the same run and prints its figures as a table. As root the
script first moves itself into private mount and network namespaces (its own
/dev/shm and loopback), so a stand-in simulator or a server of someone else
on this machine neither disturbs it nor is disturbed; --no-isolate skips that.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("TARMIS_BENCH_BUILD", os.path.join(ROOT, "build", "release"))
WINBUILD = os.environ.get("TARMIS_WIN_DIR", os.path.join(ROOT, "build", "windows"))
CLK_TCK = os.sysconf("SC_CLK_TCK")
started = []   # every process this script starts, killed on the way out


def exe(name):
    path = os.path.join(BUILD, name)
    if not os.path.exists(path):
        sys.exit(f"bench: {path} missing; build with: cmake --preset release && "
                 "cmake --build --preset release -j2")
    return path


def isolate(argv):
    if os.environ.get("TARMIS_BENCH_ISOLATED") or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    script = ('mount -t tmpfs tmpfs /dev/shm && ip link set lo up && '
              'TARMIS_BENCH_ISOLATED=1 exec "$0" "$@"')
    os.execvp("unshare", ["unshare", "--mount", "--net", "sh", "-c", script,
                          sys.executable, os.path.abspath(__file__), *argv])


def start(cmd, **kw):
    p = subprocess.Popen(cmd, **kw)
    started.append(p)
    return p


def stop(p, sig=signal.SIGINT, wait=5.0):
    if p.poll() is None:
        p.send_signal(sig)
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    if p in started:
        started.remove(p)


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK   # utime + stime


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def parse_kv(line):
    words = line.split()
    return {words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)}


def start_simulator(extra, out):
    """Starts the stand-in and waits for READY; retries while another runs."""
    deadline = time.time() + 60
    while True:
        p = start([exe("tarmis_simulator"), "--quiet", *extra], stdout=out,
                  stderr=subprocess.PIPE, text=True)
        t0 = time.time()
        while time.time() - t0 < 10:
            if p.poll() is not None:
                break
            with open(out.name) as f:
                if "READY" in f.read():
                    return p
            time.sleep(0.05)
        code = p.poll()
        stop(p)
        if code == 3 and time.time() < deadline:
            time.sleep(2)
            continue
        sys.exit(f"bench: stand-in did not start (exit {code})")


def start_server(args, port, wine=None):
    if wine is None:
        return start([exe("tarmis_server"), "-p", str(port), *args],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return start(["wine", os.path.join(WINBUILD, "tarmis_server.exe"), "-p", str(port), *args],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine)


def run_clients(port, clients, seconds, arrivals=None):
    cmd = [exe("tarmis_bench_client"), "--port", str(port), "--clients", str(clients),
           "--duration", str(seconds)]
    if arrivals:
        cmd += ["--arrivals", arrivals]
    return start(cmd, stdout=subprocess.PIPE, text=True)


def client_results(p):
    out, _ = p.communicate()
    started.remove(p) if p in started else None
    rows = {}
    for line in out.splitlines():
        words = line.split()
        if words and words[0] == "CLIENT":
            rows[int(words[1])] = parse_kv(" ".join(words[2:]))
        elif words and words[0] == "ALL":
            rows["all"] = parse_kv(" ".join(words[1:]))
    if p.returncode != 0:
        print(f"bench: client run ended with exit {p.returncode}", file=sys.stderr)
    return rows


def table(head, rows):
    widths = [max(len(str(r[i])) for r in [head] + rows) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    print()


def verdict(ok):
    return "met" if ok else "MISSED"


# ---- pacing -----------------------------------------------------------------

def wine_env(tmp):
    """A private Wine prefix and an Xvfb display, made once per run."""
    prefix = os.environ.get("TARMIS_BENCH_WINEPREFIX", os.path.join(tmp, "wineprefix"))
    disp = None
    for n in range(91, 120):
        if not os.path.exists(f"/tmp/.X{n}-lock"):
            disp = n
            break
    xvfb = start(["Xvfb", f":{disp}", "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    time.sleep(1)
    env = dict(os.environ, WINEPREFIX=prefix, DISPLAY=f":{disp}", WINEDEBUG="-all")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        subprocess.run(["wine", "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
    return env, xvfb


def bench_pacing(a, tmp):
    wine, xvfb = (None, None)
    if a.wine:
        wine, xvfb = wine_env(tmp)
    print(f"## Pacing: ten clients, default interval, {a.seconds:g} s, server -t"
          f"{' under Wine' if a.wine else ''} (load before: {loadavg()})\n")
    port = free_port()
    server = start_server(["-t"], port, wine)
    time.sleep(3 if a.wine else 0.3)
    rows = client_results(run_clients(port, 10, a.seconds))
    stop(server)
    if wine is not None:
        subprocess.run(["wineserver", "-k"], env=wine, timeout=30)
        stop(xvfb, signal.SIGTERM)
    # Baseline, same clients and machine: a bare paced sender in place of
    # the server, then the bare loop alone timing itself (no network).
    port = free_port()
    pacer = start([exe("tarmis_bench_baseline"), "pacer", str(a.seconds + 3), str(port)])
    time.sleep(0.3)
    prow = client_results(run_clients(port, 10, a.seconds)).get("all", {})
    stop(pacer)
    base = subprocess.run([exe("tarmis_bench_baseline"), "pace", str(a.seconds)],
                          capture_output=True, text=True).stdout
    b = parse_kv(base.split(None, 1)[1]) if base.startswith("PACE") else {}
    out = []
    for k in list(range(10)) + ["all"]:
        r = rows.get(k)
        if r is None:
            out.append([k, "-", "-", "-", "-", "-"])
            continue
        out.append([k if k != "all" else "all ten", r["updates"], r["min"], r["median"],
                    r["p99"], r["max"]])
    out.append(["baseline: bare paced sender, same ten clients", prow.get("updates", "-"),
                prow.get("min", "-"), prow.get("median", "-"), prow.get("p99", "-"),
                prow.get("max", "-")])
    out.append(["baseline: bare loop timing itself, no network", b.get("n", "-"), b.get("min", "-"),
                b.get("median", "-"), b.get("p99", "-"), b.get("max", "-")])
    table(["client", "updates", "min ms", "median ms", "p99 ms", "max ms"], out)
    al = rows.get("all")
    if al and not a.wine:
        print(f"Targets (native): min >= 51 ms {verdict(float(al['min']) >= 51)}, "
              f"median <= 51.5 ms {verdict(float(al['median']) <= 51.5)}, "
              f"p99 <= 52.5 ms {verdict(float(al['p99']) <= 52.5)}.")
    print(f"Load after: {loadavg()}\n")


# ---- freshness --------------------------------------------------------------

def rank(v, p):
    v = sorted(v)
    k = max(1, -(-int(p * len(v) * 1000000) // 1000000))
    return v[min(len(v), k) - 1]


def bench_fresh(a, tmp):
    print(f"## Freshness: stand-in frame published to first update carrying it, server -f -1, "
          f"{a.seconds:g} s (load before: {loadavg()})\n")
    port = free_port()
    pubs = open(os.path.join(tmp, "pub.txt"), "w+")
    sim = start_simulator(["--bench-rpm", "--fps", "60"], pubs)
    server = start_server(["-f", "-1"], port)
    time.sleep(1.0)
    arr_path = os.path.join(tmp, "arrivals.txt")
    rows = client_results(run_clients(port, 1, a.seconds, arr_path))
    stop(server)
    stop(sim)
    base = subprocess.run([exe("tarmis_bench_baseline"), "latency", str(a.seconds)],
                          capture_output=True, text=True).stdout
    pub = {}
    with open(pubs.name) as f:
        for line in f:
            w = line.split()
            if len(w) == 3 and w[0] == "PUB":
                pub[int(w[1])] = int(w[2])
    lat = []
    with open(arr_path) as f:
        for line in f:
            w = line.split()
            if len(w) == 3 and int(w[1]) in pub:
                lat.append((int(w[2]) - pub[int(w[1])]) / 1000.0)
    b = parse_kv(base.split(None, 1)[1]) if base.startswith("LATENCY") else {}
    out = []
    if lat:
        out.append(["publish -> first update (server)", len(lat), f"{min(lat):.3f}",
                    f"{rank(lat, 0.5):.3f}", f"{rank(lat, 0.99):.3f}", f"{max(lat):.3f}"])
    out.append(["baseline: one UDP hop, 100 us select loop", b.get("n", "-"), b.get("min", "-"),
                b.get("median", "-"), b.get("p99", "-"), b.get("max", "-")])
    table(["path", "frames", "min ms", "median ms", "p99 ms", "max ms"], out)
    print(f"Frames published {len(pub)}, updates received {rows.get(0, {}).get('updates', '-')}.")
    if lat:
        print(f"Targets (native): median <= 0.5 ms {verdict(rank(lat, 0.5) <= 0.5)}, "
              f"p99 <= 2 ms {verdict(rank(lat, 0.99) <= 2.0)}.")
    print(f"Load after: {loadavg()}\n")


# ---- CPU and memory ---------------------------------------------------------

def measure(pid, seconds):
    c0 = cpu_seconds(pid)
    t0 = time.monotonic()
    time.sleep(seconds)
    c1 = cpu_seconds(pid)
    t1 = time.monotonic()
    return (c1 - c0) / (t1 - t0) * 1e6   # CPU microseconds per second


def bench_cpu(a, tmp):
    s = a.seconds
    print(f"## CPU cost and memory, {s:g} s per load (load before: {loadavg()})\n")
    base = start([exe("tarmis_bench_baseline"), "loop", str(s + 2)], stdout=subprocess.PIPE,
                 text=True)
    time.sleep(1)
    loop_cpu = measure(base.pid, s)
    base.communicate()
    started.remove(base)
    send = subprocess.run([exe("tarmis_bench_baseline"), "sendto", "300000"],
                          capture_output=True, text=True).stdout
    sendto_us = float(parse_kv(send.split(None, 1)[1])["cpu_us_per_send"])

    pubs = open(os.path.join(tmp, "sim.txt"), "w+")
    sim = start_simulator(["--fps", "60"], pubs)
    results = []
    for label, sargs, clients in [("stand-in 60 fps, no client", [], 0),
                                  ("+ ten clients, default interval", [], 10),
                                  ("+ ten clients, -f -1", ["-f", "-1"], 10)]:
        port = free_port()
        server = start_server(sargs, port)
        time.sleep(1.5)
        cl = run_clients(port, clients, s + 4) if clients else None
        time.sleep(2)
        cpu = measure(server.pid, s)
        hwm = status_kib(server.pid, "VmHWM")
        rows = client_results(cl) if cl else {}
        rate = float(rows["all"]["rate"]) if "all" in rows else 0.0
        stop(server)
        results.append((label, cpu, rate, hwm))
    stop(sim)

    out = []
    for label, cpu, rate, hwm in results:
        per = f"{cpu / rate:.2f}" if rate > 0 else "-"
        out.append([label, f"{cpu:.0f}", f"{cpu / loop_cpu:.2f}", f"{rate:.0f}", per,
                    f"{hwm / 1024:.2f}"])
    out.append(["baseline: bare loop (100 us select, clock, recvfrom)", f"{loop_cpu:.0f}",
                "1.00", "-", "-", "-"])
    out.append(["baseline: bare sendto of 83 bytes", "-", "-", "-", f"{sendto_us:.2f}", "-"])
    table(["load", "server CPU us/s", "x bare loop", "updates/s", "CPU us/update",
           "VmHWM MiB"], out)
    r1, r2, r3 = results
    print(f"Targets: CPU <= 1.25 x bare loop: load 1 {verdict(r1[1] <= 1.25 * loop_cpu)}, "
          f"load 2 {verdict(r2[1] <= 1.25 * loop_cpu)}; "
          f"CPU per update <= 2 x sendto ({2 * sendto_us:.2f} us): "
          f"{verdict(r3[2] > 0 and r3[1] / r3[2] <= 2 * sendto_us)}; "
          f"VmHWM <= 8 MiB: {verdict(all(r[3] <= 8192 for r in results))}.")
    if r3[2] > 0:
        print(f"Load 3 above load 1 (the loop's own cost taken out): "
              f"{(r3[1] - r1[1]) / r3[2]:.2f} CPU us per update.")
    print(f"Load after: {loadavg()}\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("bench", choices=["pacing", "fresh", "cpu", "all"])
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--wine", action="store_true", help="pacing: the Windows exe under Wine")
    ap.add_argument("--no-isolate", action="store_true")
    a = ap.parse_args()
    if not a.no_isolate:
        isolate(sys.argv[1:])
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    print(f"Machine: {os.cpu_count()} CPUs, {model}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}\n")
    tmp = tempfile.mkdtemp(prefix="tarmis_bench.")
    try:
        if a.bench in ("pacing", "all"):
            bench_pacing(a, tmp)
        if a.bench in ("fresh", "all"):
            bench_fresh(a, tmp)
        if a.bench in ("cpu", "all"):
            bench_cpu(a, tmp)
    finally:
        for p in list(started):
            stop(p, signal.SIGKILL if p.poll() is None else signal.SIGINT, 2)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
