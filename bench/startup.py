#!/usr/bin/env python3
"""How fast the agent is up: exec -> port file written, and its resident memory once idle.

Usage: bench/startup.py [runs, default 20]
Measures $TUNELIGHT_AGENT (default build-bench/tunelight-agent, then build/tunelight-agent), so
the same harness measures a binary built from an older commit. Runs in a network namespace of
its own when it can (the agent binds fixed loopback ports).
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def agent_path():
    if os.environ.get("TUNELIGHT_AGENT"):
        return os.environ["TUNELIGHT_AGENT"]
    for build in ("build-bench", "build"):
        path = os.path.join(ROOT, build, "tunelight-agent")
        if os.path.exists(path):
            return path
    sys.exit("startup: no agent binary; build one or set TUNELIGHT_AGENT")


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def wait_for(path, deadline):
    while not os.path.exists(path):
        if time.perf_counter() > deadline:
            return False
        time.sleep(0.0001)
    return True


def one_run(agent, measure_memory):
    with tempfile.TemporaryDirectory() as d:
        port_file = os.path.join(d, "agent.port")
        args = [agent, "--token", "startup-bench-token-0123456789", "--port-file", port_file,
                "--log-file", os.path.join(d, "agent.log")]
        begin = time.perf_counter()
        p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        up = wait_for(port_file, begin + 5)
        ms = (time.perf_counter() - begin) * 1000
        rss = None
        if up and measure_memory:
            time.sleep(1)  # settled: every thread started, nothing going on
            rss = resident_kib(p.pid)
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        if not up:
            sys.exit("startup: no port file within 5 s")
        return ms, rss


def bare_start_ms():
    begin = time.perf_counter()
    subprocess.run(["/bin/true"])
    return (time.perf_counter() - begin) * 1000


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    if os.environ.get("STARTUP_BENCH_NETNS") is None and os.geteuid() == 0 and shutil.which("unshare"):
        env = dict(os.environ, STARTUP_BENCH_NETNS="1", TUNELIGHT_AGENT=agent_path())
        cmd = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
               sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
        if subprocess.run(["unshare", "--net", "true"]).returncode == 0:
            os.execvpe("unshare", cmd, env)
    agent = agent_path()
    with open("/proc/loadavg") as f:
        print("load before:", f.read().strip())
    times = []
    rss = []
    for i in range(runs):
        ms, kib = one_run(agent, i < 5)
        times.append(ms)
        if kib is not None:
            rss.append(kib)
    bare = statistics.median(bare_start_ms() for _ in range(runs))
    times.sort()
    print(f"agent: {agent}")
    print(f"exec -> port file, {runs} runs: median {statistics.median(times):.1f} ms, "
          f"min {times[0]:.1f} ms, max {times[-1]:.1f} ms (a bare /bin/true: {bare:.1f} ms)")
    print(f"idle resident memory 1 s after start: median {statistics.median(rss):.0f} KiB")
    with open("/proc/loadavg") as f:
        print("load after: ", f.read().strip())


if __name__ == "__main__":
    main()
