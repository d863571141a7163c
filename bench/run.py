"""./run bench: the full update of the shipped package against the device emulator paced at
9600 baud, (a) by the shipped pATU.exe (i686; the x86-64 one, saying so, where this machine runs
no 32-bit code) under Wine on a private Xvfb, driven as a person would, and (b) by the native
core (POSIX serial backend, real pauses). Each run is set against the line's limit worked out
from the emulator's own log of that run (bench/line_limit.cpp).
Then (c): the native protocol waiting out its 5 s for a reply on a dead line.
Writes build/bench/report.md and prints it. Measures; fails only when a run goes wrong.
"""

import glob
import os
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from winsession import (CLOCK_TICKS, Patu, StepFailed, WineSession, check_image,  # noqa: E402
                        cpu_ticks)
from winsession.builds import shipped_or_fallback  # noqa: E402
from winsession.patu import APP, DONE_LINES, IDLE, MAIN, MESSAGE  # noqa: E402

OUT = os.path.join(REPO, "build", "bench")
RELEASE = os.path.join(REPO, "build", "native-release")
PACKAGE = os.path.join(REPO, "resources", "pacote.txt")


def values(path):
    """The name=value lines of a tool's output."""
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def run_to(path, argv):
    """Runs a tool with its output in path; True when it succeeded."""
    with open(path, "w") as out:
        return subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def under_wine(s, exe):
    """(a): the figures of pATU.exe's run."""
    print("== (a) pATU.exe under Wine, the device at 9600 baud")
    # The prefix is made, and Wine's first boot in it paid, before anything is timed.
    if s.start(s.wintext, log="first-boot").wait(300) is None:
        s.fail("Wine making its prefix within 300 s")
    s.stop_wine()
    device = s.plug("wine", 1, "--baud", "9600")
    m = {"t_device": time.time()}  # the device's clock started a few ms before

    patu = Patu(s, exe)
    m["t_launch"] = time.time()
    patu.launch()
    s.until("pATU.exe showing its window", 120, lambda: s.find(MAIN), every=0.02)
    m["t_shown"] = time.time()
    s.wait("the package shown", 30, lambda snap: patu.idle(IDLE, snap))
    patu.press_atualiza()
    server = s.wineserver_pid()

    s.click_control(MESSAGE, "Button", "OK")
    m["t_ok"] = time.time()
    m["cpu_ok"], m["server_ok"] = patu.program.cpu_ticks(), cpu_ticks(server)
    s.gone(MESSAGE)
    s.until("the update's end", 1800, lambda: s.find(MESSAGE) or s.find(APP))
    m["t_done"] = time.time()
    m["cpu_done"], m["server_done"] = patu.program.cpu_ticks(), cpu_ticks(server)
    m["hwm_kb"] = patu.program.vmhwm_kb()
    s.wait("message 7", 30, lambda snap: patu.dialog_shows(MESSAGE, True, False, DONE_LINES, snap))
    patu.answer(MESSAGE, "OK")
    patu.ended()
    device.stop()
    finished(s, "(a)", device)
    return m


def native(s):
    """(b): the native core's run."""
    print("== (b) the native core, the device at 9600 baud")
    device = s.plug("native", 2, "--baud", "9600")
    if not run_to(f"{OUT}/native.out", [f"{RELEASE}/bench/patu-bench-update", s.port(2)]):
        s.fail("(b) the update completing: " + open(f"{OUT}/native.out").read())
    device.stop()
    finished(s, "(b)", device)


def finished(s, run, device):
    status, verdict, differences = check_image(
        f"{RELEASE}/tools/emulator/patu-image-check", PACKAGE, device.dump_path)
    with open(f"{OUT}/{device.name}-check.out", "w") as f:
        f.write("\n".join([verdict] + differences) + "\n")
    if status != 0:
        s.fail(f"{run} leaving the device with the complete image: {verdict}")
    if not run_to(f"{OUT}/{device.name}-line.out",
                  [f"{RELEASE}/bench/patu-bench-line", device.dump_path]):
        s.fail(f"{run}: patu-bench-line reading {device.dump_path}")


def report(m, exe, load):
    la, lb = values(f"{OUT}/wine-line.out"), values(f"{OUT}/native-line.out")
    nat, dead = values(f"{OUT}/native.out"), values(f"{OUT}/dead-line.out")
    # Each figure rounded as it is shown, and reused as shown.
    wall_a = round(m["t_done"] - m["t_ok"], 3)
    wall_b = round(float(nat["job_ms"]) / 1000, 3)
    cpu_a = round((m["cpu_done"] - m["cpu_ok"]) / CLOCK_TICKS, 2)
    cpu_b = round(float(nat["cpu_ms"]) / 1000, 2)

    def seconds(line, name):
        return f"{float(line[name]) / 1000:.1f}"

    def ratio(wall, line, name):
        return f"{wall / (float(line[name]) / 1000):.3f}"

    def own(wall, line):
        # The line waiting for the host between exchanges, plus the wall time outside the
        # exchanges (before the probe, after the last reply).
        gaps = round(float(line["host_ms"]) / 1000, 3)
        outside = round(wall - float(line["span_ms"]) / 1000, 3)
        return (f"{gaps:.2f} s + {outside:.2f} s = {gaps + outside:.2f} s "
                f"({100 * (gaps + outside) / wall:.1f} %)")

    # (a) only, where the device's clock and this script's can be set side by side.
    before_probe = float(la["start_ms"]) / 1000 - (m["t_ok"] - m["t_device"])
    after_last = (m["t_done"] - m["t_device"]) - float(la["end_ms"]) / 1000
    rows = [
        ("", f"(a) {os.path.basename(os.path.dirname(exe))}/pATU.exe, Wine + Xvfb",
         "(b) native core, POSIX port"),
        ("---", "---", "---"),
        ("commands exchanged", la["commands"], lb["commands"]),
        ("wall time, the prompt's OK to message 7 (s)", f"{wall_a:.1f}", f"{wall_b:.1f}"),
        ("device's clock, the probe to the last reply (s)", seconds(la, "span_ms"),
         seconds(lb, "span_ms")),
        ("line limit (s)", seconds(la, "limit_ms"), seconds(lb, "limit_ms")),
        ("**ratio** wall time / line limit (target ≤ 1.03)",
         f"**{ratio(wall_a, la, 'limit_ms')}**", f"**{ratio(wall_b, lb, 'limit_ms')}**"),
        ("floor of this pseudo-terminal link (s)", seconds(la, "floor_ms"),
         seconds(lb, "floor_ms")),
        ("ratio wall time / floor of this link", ratio(wall_a, la, "floor_ms"),
         ratio(wall_b, lb, "floor_ms")),
        ("host's own time: between exchanges + outside them", own(wall_a, la), own(wall_b, lb)),
        ("of which outside: OK to the probe / the last reply to message 7 (s)",
         f"{before_probe:.2f} / {after_last:.2f}", "-"),
        ("CPU time of the program (s)", f"{cpu_a:.2f}", f"{cpu_b:.2f}"),
        ("**CPU share** of the wall time (target ≤ 2 %)", f"**{100 * cpu_a / wall_a:.2f} %**",
         f"**{100 * cpu_b / wall_b:.2f} %**"),
        ("wineserver's CPU share (not counted above)",
         f"{100 * (m['server_done'] - m['server_ok']) / CLOCK_TICKS / wall_a:.2f} %", "-"),
        ("peak memory, VmHWM (MiB)", f"{m['hwm_kb'] / 1024:.1f}",
         f"{float(nat['vmhwm_kb']) / 1024:.1f}"),
        ("size of pATU.exe (bytes)", str(os.path.getsize(exe)), "-"),
        ("start to the window shown (s)", f"{m['t_shown'] - m['t_launch']:.2f}", "-"),
    ]
    wait_ms, cpu_ms = float(dead["wait_ms"]), float(dead["cpu_ms"])
    return "\n".join([
        "# pATU at 9600 baud: measured against the line's limit",
        "",
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {len(os.sched_getaffinity(0))} "
        f"cores, load average before the runs: {load}. Device emulator paced at 9600 baud "
        f"8N1, {la['byte_us']} µs a byte; shipped package; both runs left the device with the "
        "complete image (patu-image-check).",
        "",
        *(f"| {a} | {b} | {c} |" for a, b, c in rows),
        "",
        "(c) A 5-second wait for a reply on a dead line (native core, system clock, every read "
        f"failing at once): {wait_ms / 1000:.2f} s in {dead['polls']} one-byte polls, "
        f"{cpu_ms:.1f} ms of CPU ({100 * cpu_ms / wait_ms:.2f} %).",
        "",
        'How to read it: README.md, section "Benchmark".',
    ]) + "\n"


def main():
    # The shipped program, the i686 build, where this machine runs it; PATU_BENCH_BUILD names
    # another Windows build tree.
    tree = os.environ.get("PATU_BENCH_BUILD")
    if not tree:
        tree, why = shipped_or_fallback(os.path.join(REPO, "build", "win32"),
                                        os.path.join(REPO, "build", "win64"))
        if why:
            print(f"bench: measuring the x86-64 pATU.exe ({tree}), not the i686 one that ships: "
                  f"{why}", flush=True)
    exe = os.path.join(tree, "pATU.exe")
    wintext = os.path.join(tree, "tests", "e2e", "wintext.exe")
    print(f"== build the native side, optimised ({RELEASE})", flush=True)
    subprocess.run(["cmake", "--preset", "native-release"], check=True, cwd=REPO,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "native-release", "--target",
                    "patu-emulator", "patu-image-check", "patu-bench-update", "patu-bench-line",
                    "patu-bench-dead-line"], check=True, cwd=REPO)
    for f in (exe, wintext):
        if not os.path.isfile(f):
            print(f"bench: {f} is missing: run ./run build first", file=sys.stderr)
            return 1
    shutil.rmtree(f"{OUT}/texts", ignore_errors=True)
    for pattern in ("*.dump", "*.log", "*.out", "*.png", "report.md"):
        for f in glob.glob(os.path.join(OUT, pattern)):
            os.remove(f)
    with open("/proc/loadavg") as f:
        load = "/".join(f.read().split()[:3])

    try:
        with WineSession(f"{OUT}/wine", OUT, emulator=f"{RELEASE}/tools/emulator/patu-emulator",
                         wintext=wintext) as s:
            s.use_display()
            m = under_wine(s, exe)
            native(s)
            print("== (c) the native core waiting for a reply on a dead line", flush=True)
            if not run_to(f"{OUT}/dead-line.out", [f"{RELEASE}/bench/patu-bench-dead-line"]):
                s.fail("(c) the wait on the dead line ending in a time-out: "
                       + open(f"{OUT}/dead-line.out").read())
    except StepFailed as e:
        print(e, file=sys.stderr)
        return 1
    text = report(m, exe, load)
    with open(f"{OUT}/report.md", "w") as f:
        f.write(text)
    print()
    print(text, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
