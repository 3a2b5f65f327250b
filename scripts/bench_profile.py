"""Where a receiver's processor time goes (scripts/bench-profile).

camsim serves N H.264 streams as in bench-load; one receiver (the driver
through ipcap, by default writing files) takes them. Half-way it is sampled
with perf (call graphs, by shared object and by symbol) and its system calls
are counted with strace; both are set against the datagrams that arrived in
the same seconds. Writes bench/results/profile-<receiver>-<N>.md.
"""

import argparse
import datetime
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import bench_load as bl


def parse_args(argv):
    p = argparse.ArgumentParser(prog="bench-profile", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--streams", type=int, default=16)
    p.add_argument("--receiver", default="drv-write", choices=list(bl.RECEIVERS))
    p.add_argument("--seconds", type=int, default=20, help="seconds sampled (default 20)")
    p.add_argument("--out", default=str(bl.ROOT / "bench" / "results"))
    p.add_argument("--work", default=str(bl.ROOT / "build" / "bench-load"))
    return p.parse_args(argv)


def ticks(pid):
    """user+system clock ticks of a process and its threads, voluntary and
    involuntary context switches."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = int(fields[11]) + int(fields[12])
    switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except OSError:
            pass
    return cpu, switches


def perf_tables(data, sort, rows):
    text = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--stdio",
                           "--sort", sort, "-g", "none", "--percent-limit", "0.5"],
                          capture_output=True, text=True).stdout
    lines = [ln for ln in text.splitlines() if re.match(r"^\s+\d+\.\d+%", ln)]
    return lines[:rows]


def under_calls(data):
    """Share of the samples under each system call the receive and write
    paths make (perf, children included)."""
    text = subprocess.run(["perf", "report", "-i", str(data), "--children", "--stdio",
                           "--sort", "sym", "-g", "none"], capture_output=True, text=True)
    if not text.stdout.strip():
        print("bench-profile: perf report: " + text.stderr[-300:], file=sys.stderr)
    text = text.stdout
    wanted = {"ksys_write": "write", "do_sys_poll": "poll", "do_recvmmsg": "recvmmsg",
              "__x64_sys_sync_file_range": "sync_file_range", "__x64_sys_futex": "futex",
              "__schedule": "scheduling (any)"}
    rows = []
    for line in text.splitlines():
        m = re.match(r"^\s+(\d+\.\d+)%\s+\d+\.\d+%\s+\[k\]\s+(\S+)\s*$", line)
        if m and m.group(2) in wanted:
            rows.append(f"| {wanted[m.group(2)]} | {m.group(1)}% |")
    return rows


def strace_counts(pid, seconds, log):
    proc = subprocess.Popen(["strace", "-c", "-f", "-q", "-o", str(log), "-p", str(pid)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    proc.send_signal(2)
    proc.wait(timeout=30)
    counts = {}
    for line in Path(log).read_text().splitlines():
        parts = line.split()
        if len(parts) >= 5 and re.match(r"^\d+\.\d+$", parts[0]) and parts[-1] != "total":
            counts[parts[-1]] = int(parts[3])
    return counts


def main(argv):
    args = parse_args(argv)
    work = Path(args.work)
    media = work / "media"
    bl.make_clips(media)
    workdir = work / f"profile-{args.receiver}-{args.streams}"
    subprocess.run(["rm", "-rf", str(workdir)], check=True)
    workdir.mkdir(parents=True)
    total = args.seconds * 2 + 20
    cam = bl.Camsim(media, total * bl.FPS, workdir / "camsim.log")
    load_args = argparse.Namespace(ipcap_format="raw")
    argv0 = bl.receiver_commands(args.receiver, "h264", args.streams, cam, load_args, workdir)
    if len(argv0) != 1:
        sys.exit("bench-profile: profiles one process; pick drv-write, drv-discard or gst-one")
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = str(bl.DRIVER_DIR)
    receiver = subprocess.Popen(argv0[0], stdout=open(workdir / "out.txt", "w"),
                                stderr=open(workdir / "err.txt", "w"), env=env, cwd=workdir)
    bl.CHILDREN.append(receiver.pid)
    try:
        time.sleep(8)  # every session playing
        udp0, (cpu0, sw0), t0 = bl.udp_counters(), ticks(receiver.pid), time.monotonic()
        data = workdir / "perf.data"
        subprocess.run(["perf", "record", "-q", "-F", "1999", "-g", "-o", str(data), "-p",
                        str(receiver.pid), "--", "sleep", str(args.seconds // 2)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        udp1, (cpu1, sw1), t1 = bl.udp_counters(), ticks(receiver.pid), time.monotonic()
        calls = strace_counts(receiver.pid, args.seconds // 2, workdir / "strace.txt")
        udp2 = bl.udp_counters()
    finally:
        receiver.send_signal(2)
        receiver.wait(timeout=60)
        cam.stop()
    datagrams = udp1["InDatagrams"] - udp0["InDatagrams"]
    traced = udp2["InDatagrams"] - udp1["InDatagrams"]
    hz = os.sysconf("SC_CLK_TCK")
    per_minute = (cpu1 - cpu0) / hz / (args.streams * (t1 - t0) / 60)
    lines = [
        f"# Profile: {args.receiver}, {args.streams} H.264 streams",
        "",
        f"Written by `bash scripts/bench-profile --streams {args.streams} --receiver "
        f"{args.receiver} --seconds {args.seconds}`, commit {bl.commit()}, "
        f"{datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}, "
        f"{bl.machine()}.",
        "",
        f"While perf sampled ({t1 - t0:.1f} s, untraced): {datagrams:,} datagrams arrived "
        f"(machine-wide); the receiver used {per_minute:.3f} CPU s per stream-minute and "
        f"made {(sw1 - sw0) / max(datagrams, 1):.3f} context switches a datagram.",
        "",
        "## Processor time by shared object (perf, no children)",
        "",
        "```",
        *perf_tables(workdir / "perf.data", "dso", 12),
        "```",
        "",
        "## The 25 costliest symbols",
        "",
        "```",
        *perf_tables(workdir / "perf.data", "dso,sym", 25),
        "```",
        "",
        "## Time spent under each system call (perf, children included)",
        "",
        "| under | share of samples |",
        "|---|---:|",
        *under_calls(workdir / "perf.data"),
        "",
        f"## System calls a datagram (strace -c -f, {args.seconds // 2} s, {traced:,} datagrams; "
        "tracing slows the receiver, so only the ratios mean anything)",
        "",
        "| call | calls | per datagram |",
        "|---|---:|---:|",
    ]
    for name, n in sorted(calls.items(), key=lambda kv: -kv[1])[:12]:
        lines.append(f"| {name} | {n:,} | {n / max(traced, 1):.3f} |")
    out = Path(args.out) / f"profile-{args.receiver}-{args.streams}.md"
    out.write_text("\n".join(lines) + "\n")
    print(f"bench-profile: {out}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    finally:
        bl.end_children()
