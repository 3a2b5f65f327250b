"""Many streams into several receivers, one after another (scripts/bench-load).

For each codec and stream count N, camsim serves N RTP/UDP sessions of one
1280x720 25 fps clip, each session falling silent after exactly
seconds x 25 frames, so every receiver's count is set against what it was
sent. The receivers take the streams in turn; each is measured by its own
accounting (wait4 rusage of the receiver processes: CPU, context switches),
/proc (PSS, threads, address space, sampled half-way) and the kernel's UDP
counters (datagrams dropped at full socket buffers, machine-wide).
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native"
CAMSIM = BUILD / "tools" / "camsim" / "camsim"
IPCAP = BUILD / "tools" / "ipcap" / "ipcap"
DRIVER_DIR = BUILD / "kelvardec"
FPS = 25
# camsim shares the receivers' cores, where a camera has its own processor.
# Below a receiver it wakes, it is preempted at each datagram it sends: the
# driver's receive threads run at nice -5, and at normal priority camsim
# woke them for every datagram (240 context switches a second a stream
# instead of 30, and twice the processor time). Above every receiver it
# sends a frame's datagrams as a camera does, in one go. Only root may.
CAMSIM_PRIORITY = ["nice", "-n", "-10"] if os.geteuid() == 0 else []
WIDTH, HEIGHT = 1280, 720

RECEIVERS = {
    "drv-write": "the driver through ipcap, writing raw files and indexes to disk",
    "drv-discard": "the driver through ipcap --discard (frames counted, nothing written)",
    "ffmpeg": "one `ffmpeg -rtsp_transport udp -i URL -c copy -f null -` per stream",
    "gst-proc": "one `gst-launch-1.0 rtspsrc ! depay ! fakesink` per stream",
    "gst-one": "all streams in one GStreamer process (N rtspsrc branches, python3-gi)",
}
PEERS = ("ffmpeg", "gst-proc", "gst-one")

CODECS = {
    "h264": {"path": "h264", "depay": "rtph264depay", "clip": "camera_h264_1280x720.h264",
             "seconds": 10, "label": "H.264"},
    "mjpeg": {"path": "jpeg", "depay": "rtpjpegdepay", "clip": "camera_mjpeg_1280x720.mjpeg",
              "seconds": 4, "label": "MJPEG"},
}


# Every process started, so that an interrupted run leaves none behind.
CHILDREN = []


def end_children():
    for pid in CHILDREN:
        if not exited(pid):
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except OSError:
                pass


def log(text):
    print("bench-load: " + text, flush=True)


def parse_list(text):
    return [int(v) for v in text.split(",") if v.strip()] if text else []


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="bench-load",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Many camera streams into several receivers, one after another: camsim serves N "
            "RTP/UDP streams of a 1280x720 25 fps clip (H.264 at about 4 Mbit/s, and MJPEG), "
            "and each receiver takes them in turn:\n  "
            + "\n  ".join(f"{k:12} {v}" for k, v in RECEIVERS.items())
            + "\nPer point: CPU seconds per stream-minute (the receivers' own user+system time "
            "from wait4), PSS, threads and address space per stream (sampled half-way), "
            "context switches per second, frames delivered against frames sent (each session "
            "sends exactly SECONDS x 25 frames), datagrams dropped at full socket buffers "
            "(/proc/net/snmp Udp RcvbufErrors, machine-wide) and the 1-minute load average.\n"
            "A peer (ffmpeg, gst-*) that loses more than --skip-loss of its frames, or whose "
            "memory would not fit, is skipped at larger N; the results say so.\n"
            "Run it on an otherwise idle machine: other load shows in every figure.\n"
            "Needs: scripts/build native, ffmpeg, gst-launch-1.0, python3-gi and "
            "python3-matplotlib (scripts/install-deps)."),
        epilog=(
            "examples:\n"
            "  bash scripts/bench-load                      the full run (about 30 min)\n"
            "  bash scripts/bench-load --smoke              N=1,4 for 10 s, into build/bench-load/smoke\n"
            "  bash scripts/bench-load --streams 16 --receivers drv-write,ffmpeg --codecs h264"))
    p.add_argument("--streams", help="H.264 stream counts, comma-separated (default "
                   "1,16,64,128,256)")
    p.add_argument("--mjpeg-streams", help="MJPEG stream counts (default 16; empty for none)")
    p.add_argument("--seconds", type=int, help="seconds each session sends (default 60)")
    p.add_argument("--receivers", default=",".join(RECEIVERS),
                   help="receivers to run, in this order (default %(default)s)")
    p.add_argument("--codecs", default="h264,mjpeg", help="default %(default)s")
    p.add_argument("--ipcap-format", default="raw", choices=("raw", "mkv", "mp4"),
                   help="file format of drv-write (default %(default)s)")
    p.add_argument("--skip-loss", type=float, default=2.0,
                   help="percent of frames lost beyond which a peer is skipped at larger N "
                        "(default %(default)s)")
    p.add_argument("--out", default=None,
                   help="directory for load.md and load.png (default bench/results; with "
                        "--smoke build/bench-load/smoke)")
    p.add_argument("--work", default=str(ROOT / "build" / "bench-load"),
                   help="clips, logs and recordings (default %(default)s; recordings are "
                        "removed after each point)")
    p.add_argument("--smoke", action="store_true",
                   help="a short check that every receiver works: --streams 1,4 "
                        "--mjpeg-streams 1 --seconds 10 unless given")
    p.add_argument("--render", metavar="JSON",
                   help="write load.md and load.png again from a run's load.json")
    p.add_argument("--gst-one", nargs="+", metavar=("DEPAY", "URL"), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    defaults = ("1,4", "1", 10) if args.smoke else ("1,16,64,128,256", "16", 60)
    if args.streams is None:
        args.streams = defaults[0]
    if args.mjpeg_streams is None:
        args.mjpeg_streams = defaults[1]
    if args.seconds is None:
        args.seconds = defaults[2]
    if args.out is None:
        args.out = str(ROOT / "build" / "bench-load" / "smoke") if args.smoke else str(
            ROOT / "bench" / "results")
    args.receivers = [r for r in args.receivers.split(",") if r]
    for r in args.receivers:
        if r not in RECEIVERS:
            p.error(f"unknown receiver {r}")
    args.codecs = [c for c in args.codecs.split(",") if c]
    for c in args.codecs:
        if c not in CODECS:
            p.error(f"unknown codec {c}")
    args.counts = {"h264": parse_list(args.streams), "mjpeg": parse_list(args.mjpeg_streams)}
    if args.seconds < 2:
        p.error("--seconds must be at least 2")
    return args


# ---------------------------------------------------------------- GStreamer, one process


def run_gst_one(depay, urls):
    """All streams in one pipeline; prints each sink's rendered buffers on SIGINT."""
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import GLib, Gst
    Gst.init(None)
    description = " ".join(
        f"rtspsrc location={u} protocols=udp ! {depay} ! fakesink name=sink{i}"
        for i, u in enumerate(urls))
    pipeline = Gst.parse_launch(description)
    loop = GLib.MainLoop()

    def finish():
        counts = []
        for i in range(len(urls)):
            stats = pipeline.get_by_name(f"sink{i}").get_property("stats")
            counts.append(int(stats.get_value("rendered")))
        print(json.dumps({"rendered": counts}), flush=True)
        pipeline.set_state(Gst.State.NULL)
        loop.quit()
        return False

    def on_message(_bus, message):
        if message.type == Gst.MessageType.ERROR:
            error, _ = message.parse_error()
            print(f"gst-one: {message.src.get_name()}: {error.message}", file=sys.stderr,
                  flush=True)

    bus = pipeline.get_bus()
    bus.add_signal_watch()
    bus.connect("message", on_message)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, finish)
    pipeline.set_state(Gst.State.PLAYING)
    loop.run()


# ---------------------------------------------------------------- /proc


def udp_counters():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def process_sample(pid):
    """PSS (KiB), threads and VmSize (KiB) of one process; None once it is gone."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            pss = next(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        with open(f"/proc/{pid}/status") as f:
            status = dict(line.split(":", 1) for line in f if ":" in line)
        return pss, int(status["Threads"]), int(status["VmSize"].split()[0])
    except (OSError, StopIteration, KeyError, ValueError):
        return None


# ---------------------------------------------------------------- media


def make_clips(media):
    media.mkdir(parents=True, exist_ok=True)
    ff = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi"]
    h264 = media / CODECS["h264"]["clip"]
    if not h264.exists():
        log("making the H.264 clip (1280x720, 25 fps, 4 Mbit/s, a key frame a second)")
        # Noise keeps the encoder at its rate, as a real scene would.
        subprocess.run(ff + ["-i", f"testsrc2=size={WIDTH}x{HEIGHT}:rate={FPS}:duration=10",
                             "-vf", "noise=alls=12:allf=t", "-pix_fmt", "yuv420p",
                             "-c:v", "libx264", "-profile:v", "main", "-preset", "veryfast",
                             "-b:v", "4M", "-maxrate", "4M", "-bufsize", "4M", "-x264-params",
                             "keyint=25:min-keyint=25:scenecut=0:repeat-headers=1:bframes=0",
                             "-f", "h264", str(h264)], check=True)
    mjpeg = media / CODECS["mjpeg"]["clip"]
    if not mjpeg.exists():
        log("making the MJPEG clip (1280x720, 25 fps)")
        subprocess.run(ff + ["-i", f"testsrc2=size={WIDTH}x{HEIGHT}:rate={FPS}:duration=4",
                             "-pix_fmt", "yuvj420p", "-c:v", "mjpeg", "-huffman", "default",
                             "-q:v", "8", "-f", "mjpeg", str(mjpeg)], check=True)


def clip_summary(media, codec):
    """Bit rate and largest frame: a key frame larger than a socket buffer takes
    in one burst is what loses packets first."""
    info = CODECS[codec]
    data = (media / info["clip"]).read_bytes()
    if codec == "h264":
        starts = [m.start() for m in re.finditer(b"\x00\x00\x01", data)]
        sizes, size = [], 0
        for i, at in enumerate(starts):
            size += (starts[i + 1] if i + 1 < len(starts) else len(data)) - at
            if data[at + 3] & 0x1F in (1, 5):  # a picture ends the access unit
                sizes.append(size)
                size = 0
    else:
        starts = [m.start() for m in re.finditer(b"\xff\xd8", data)] + [len(data)]
        sizes = [b - a for a, b in zip(starts, starts[1:])]
    return (f"{info['label']} {WIDTH}x{HEIGHT} {FPS} fps "
            f"{len(data) * 8 / info['seconds'] / 1e6:.2f} Mbit/s, largest frame "
            f"{max(sizes) / 1024:.0f} KiB")


# ---------------------------------------------------------------- one point


class Camsim:
    def __init__(self, media, frames, logfile):
        self.logfile = logfile
        self.proc = subprocess.Popen(
            CAMSIM_PRIORITY + [str(CAMSIM), "--media-dir", str(media), "--fps", str(FPS),
                               "--session-frames", str(frames)],
            stdout=open(logfile, "w"), stderr=subprocess.STDOUT)
        CHILDREN.append(self.proc.pid)
        self.http = self.rtsp = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.rtsp is None:
            time.sleep(0.1)
            text = Path(logfile).read_text()
            http = re.search(r"^camsim: http port (\d+)$", text, re.M)
            rtsp = re.search(r"^camsim: rtsp port (\d+)$", text, re.M)
            if http and rtsp:
                self.http, self.rtsp = int(http.group(1)), int(rtsp.group(1))
            if self.proc.poll() is not None:
                break
        if self.rtsp is None:
            self.stop()
            raise RuntimeError("camsim did not start: " + Path(logfile).read_text()[-500:])

    def sessions_done(self):
        return len(re.findall(r"^camsim: a session sent its", Path(self.logfile).read_text(),
                              re.M))

    def stop(self):
        """Ends camsim; the sessions and frames it sent."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        text = Path(self.logfile).read_text()
        sent = re.findall(r"(\d+) session\(s\), (\d+) frame\(s\) sent", text)
        return sum(int(s) for s, _ in sent), sum(int(f) for _, f in sent)


def receiver_commands(receiver, codec, n, cam, args, workdir):
    """(argv, environment additions) of each process of one receiver."""
    info = CODECS[codec]
    url = f"rtsp://127.0.0.1:{cam.rtsp}/{info['path']}"
    if receiver.startswith("drv-"):
        argv = [str(IPCAP), "record", "--address", "127.0.0.1", "--port", str(cam.http),
                "--user", "admin", "--password", "admin", "--codec", codec,
                "--width", str(WIDTH), "--height", str(HEIGHT), "--fps", str(FPS),
                "--quality", "50", "--param", "1=0", "--param", f"2={cam.rtsp}",
                "--param", "4=1", "--streams", str(n), "--seconds", "0",
                "--out", str(workdir / "rec"), "--format", args.ipcap_format,
                "--quiet", "--json", "-y"]
        if receiver == "drv-discard":
            argv.append("--discard")
        return [argv]
    if receiver == "ffmpeg":
        # -copyinkf: frames before the first key frame count as delivered, as
        # they do for the others.
        return [["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-stats",
                 "-stats_period", "10", "-rtsp_transport", "udp", "-i", url, "-c", "copy",
                 "-copyinkf", "-f", "null", "-"] for _ in range(n)]
    if receiver == "gst-proc":
        # -v with a non-silent sink prints a line per buffer: the count.
        return [["gst-launch-1.0", "-v", "rtspsrc", f"location={url}", "protocols=udp", "!",
                 info["depay"], "!", "fakesink", "silent=false"] for _ in range(n)]
    return [[sys.executable, str(Path(__file__).resolve()), "--gst-one", info["depay"]]
            + [url] * n]


def delivered_frames(receiver, outputs):
    """Frames each process delivered, from its own output; None where it gave none."""
    counts = []
    for out, err in outputs:
        out_text, err_text = Path(out).read_text(errors="replace"), Path(err).read_text(
            errors="replace")
        count = None
        if receiver.startswith("drv-"):
            lines = [line for line in out_text.splitlines() if line.startswith("{")]
            if lines:
                summary = json.loads(lines[-1])
                count = sum(s["frames"] + s["notWritten"]
                            for cam in summary.get("cameras", []) for s in cam["streams"])
        elif receiver == "ffmpeg":
            found = re.findall(r"frame=\s*(\d+)", err_text)
            count = int(found[-1]) if found else None
        elif receiver == "gst-proc":
            count = len(re.findall(r"last-message = chain", out_text))
        else:
            lines = [line for line in out_text.splitlines() if line.startswith("{")]
            count = sum(json.loads(lines[-1])["rendered"]) if lines else None
        counts.append(count)
    return counts


def exited(pid):
    """Whether pid has ended, leaving it to be reaped with its rusage."""
    try:
        return os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def wait_all(pids, deadline):
    """wait4 each pid until deadline; {pid: (status, rusage)} of those that ended."""
    done = {}
    while len(done) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid in done:
                continue
            try:
                got, status, usage = os.wait4(pid, os.WNOHANG)
            except ChildProcessError:
                done[pid] = (None, None)
                continue
            if got == pid:
                done[pid] = (status, usage)
        time.sleep(0.05)
    return done


def run_point(codec, receiver, n, args, media, work):
    frames = args.seconds * FPS
    workdir = work / f"{codec}-{receiver}-{n}"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    cam = Camsim(media, frames, workdir / "camsim.log")
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = str(DRIVER_DIR) + (
        ":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    udp0 = udp_counters()
    t0 = time.monotonic()
    procs, outputs = [], []
    for i, argv in enumerate(receiver_commands(receiver, codec, n, cam, args, workdir)):
        out, err = workdir / f"out{i}.txt", workdir / f"err{i}.txt"
        procs.append(subprocess.Popen(argv, stdout=open(out, "w"), stderr=open(err, "w"),
                                      stdin=subprocess.DEVNULL, env=env, cwd=workdir))
        outputs.append((out, err))
        CHILDREN.append(procs[-1].pid)
    pids = [p.pid for p in procs]

    # Done once camsim says every session has sent its frames, and the
    # receivers have had time to take the last (GStreamer's jitter buffer
    # holds packets up to 2 s); well before the driver's 10 s signal-loss
    # restart would start new sessions.
    sample, loads, done_at = None, [], None
    give_up = t0 + args.seconds + 60 + 0.25 * n
    while time.monotonic() < give_up:
        time.sleep(0.5)
        loads.append(load_average())
        elapsed = time.monotonic() - t0
        if sample is None and elapsed >= args.seconds / 2:
            got = [s for s in (process_sample(pid) for pid in pids) if s]
            sample = {"pss": sum(s[0] for s in got), "threads": sum(s[1] for s in got),
                      "vm": sum(s[2] for s in got), "alive": len(got)}
        if done_at is None and cam.sessions_done() >= n:
            done_at = time.monotonic()
        if done_at is not None and time.monotonic() - done_at >= 3:
            break
        if all(exited(pid) for pid in pids):
            break
    settled = done_at is not None
    load_end = load_average()
    # camsim ends first, so that every frame it counts as sent was sent while
    # the receivers still ran: a session that a receiver restarted after the
    # silence at its end would otherwise go on sending into receivers already
    # stopped. The receivers then get the time their buffers need to hand out
    # the last frames (GStreamer's jitter buffer holds packets up to 2 s).
    sessions, sent = cam.stop()
    time.sleep(2.5)
    # ffmpeg ends at a first SIGINT only between packets; a second one breaks
    # the wait for a packet that a silent session will not send.
    for _ in range(2 if receiver == "ffmpeg" else 1):
        for p in procs:
            # os.kill, not Popen.send_signal: that reaps a receiver which
            # ended on its own when camsim went, and its CPU time with it.
            try:
                os.kill(p.pid, signal.SIGINT)
            except ProcessLookupError:
                pass
        time.sleep(0.5)
    ended = wait_all(pids, time.monotonic() + 20 + 0.05 * n)
    killed = [pid for pid in pids if pid not in ended]
    for pid in killed:
        os.kill(pid, signal.SIGKILL)
    ended.update(wait_all(killed, time.monotonic() + 10))
    wall = time.monotonic() - t0
    for p in procs:
        p.returncode = 0  # reaped above
    udp1 = udp_counters()

    usages = [u for _, u in ended.values() if u is not None]
    cpu = sum(u.ru_utime + u.ru_stime for u in usages)
    switches = sum(u.ru_nvcsw + u.ru_nivcsw for u in usages)
    counts = delivered_frames(receiver, outputs)
    delivered = sum(c for c in counts if c is not None)
    result = {
        "codec": codec, "receiver": receiver, "streams": n, "seconds": args.seconds,
        "cpu": cpu, "cpu_per_stream_minute": cpu / (n * args.seconds / 60),
        "pss_mib_per_stream": sample["pss"] / 1024 / n if sample else None,
        "threads_per_stream": sample["threads"] / n if sample else None,
        "vm_mib_per_stream": sample["vm"] / 1024 / n if sample else None,
        "switches_per_second": switches / wall,
        "sent": sent, "sessions": sessions, "delivered": delivered,
        "lost": sent - delivered,
        "lost_percent": 100.0 * (sent - delivered) / sent if sent else None,
        "rcvbuf_errors": udp1["RcvbufErrors"] - udp0["RcvbufErrors"],
        "datagrams": udp1["InDatagrams"] - udp0["InDatagrams"],
        "load_max": max(loads + [load_end]), "load_end": load_end,
        "wall": wall, "notes": [],
    }
    if not settled:
        result["notes"].append("not every session sent all its frames in time")
    if killed:
        result["notes"].append(f"{len(killed)} process(es) killed after SIGINT")
    silent = sum(1 for c in counts if c is None)
    if silent:
        result["notes"].append(f"{silent} process(es) reported no count")
    if sessions != n:
        result["notes"].append(f"{sessions} session(s) for {n} stream(s)")
    if sample and sample["alive"] < len(pids):
        result["notes"].append(f"{len(pids) - sample['alive']} process(es) gone half-way")
    shutil.rmtree(workdir / "rec", ignore_errors=True)
    return result


# ---------------------------------------------------------------- planning and output


def point_estimate(receiver, n, seconds):
    start = 0.05 * n if receiver in ("ffmpeg", "gst-proc") else 0.01 * n
    return seconds + 8 + start


def commit():
    def git(*a):
        return subprocess.run(["git", "-C", str(ROOT), *a], capture_output=True,
                              text=True).stdout.strip()
    dirty = git("status", "--porcelain", "--untracked-files=no")
    return git("rev-parse", "--short", "HEAD") + ("-dirty" if dirty else "")


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    rmem = {}
    for name in ("rmem_default", "rmem_max"):
        try:
            rmem[name] = Path(f"/proc/sys/net/core/{name}").read_text().strip()
        except OSError:
            rmem[name] = "?"
    return (f"{os.cpu_count()} cores ({model}), Linux {platform.release()}, "
            f"net.core.rmem_default {rmem['rmem_default']}, rmem_max {rmem['rmem_max']}")


def fmt(value, digits=2):
    if value is None:
        return "—"
    return f"{value:.{digits}f}" if isinstance(value, float) else f"{value:,}"


def write_markdown(path, results, skipped, header, args):
    lines = [
        "# Load: many streams into the driver and its peers",
        "",
        "Written by `" + header["command"] + "`.",
        "",
        f"- commit {header['commit']}, {header['date']}",
        f"- {header['machine']}",
        f"- load average (1 min) before the run: {header['load_before']:.2f}",
        f"- clips: {header['clips']}",
        f"- each session sends {args.seconds} s ({args.seconds * FPS} frames) from camsim "
        "over RTP/UDP on loopback, then falls silent; camsim runs on the same cores, "
        + header.get("camsim_priority", "at normal priority"),
        "",
        "Receivers:",
        "",
    ]
    lines += [f"- **{k}**: {v}" for k, v in RECEIVERS.items() if k in args.receivers]
    lines += stack_reservation(results)
    lines += [
        "",
        "Columns: CPU = the receivers' own user+system seconds (wait4) per stream-minute "
        "sent; PSS, threads and address space (VmSize) per stream, sampled half-way; "
        "context switches (voluntary and not) per second over the receivers' lifetime; "
        "frames delivered by the receivers against frames camsim sent; socket drops = "
        "/proc/net/snmp Udp RcvbufErrors during the point (machine-wide); load = the "
        "1-minute load average, highest seen during the point. "
        "gst-one's PSS includes its Python interpreter; gst-proc counts buffers through "
        "`-v` and a non-silent fakesink, a line per frame.",
        "",
    ]
    for codec in args.codecs:
        rows = [r for r in results if r["codec"] == codec]
        if not rows and not any(s[0] == codec for s in skipped):
            continue
        lines += [f"## {CODECS[codec]['label']}", "",
                  "| receiver | streams | CPU s per stream-min | PSS MiB per stream | "
                  "threads per stream | VmSize MiB per stream | context switches/s (all) | "
                  "frames delivered / sent | lost | socket drops | load | notes |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
        for r in sorted(rows, key=lambda r: (args.receivers.index(r["receiver"]),
                                             r["streams"])):
            lost = (f"{r['lost']:,} ({r['lost_percent']:.2f}%)"
                    if r["lost_percent"] is not None else "—")
            lines.append(
                f"| {r['receiver']} | {r['streams']} | {fmt(r['cpu_per_stream_minute'], 3)} | "
                f"{fmt(r['pss_mib_per_stream'])} | {fmt(r['threads_per_stream'], 1)} | "
                f"{fmt(r['vm_mib_per_stream'], 1)} | {fmt(r['switches_per_second'], 0)} | "
                f"{r['delivered']:,} / {r['sent']:,} | {lost} | {r['rcvbuf_errors']:,} | "
                f"{r['load_max']:.2f} | {'; '.join(r['notes'])} |")
        counts = sorted({r["streams"] for r in rows})
        present = [k for k in args.receivers if any(r["receiver"] == k for r in rows)]
        if counts and "drv-write" in present:
            lines += ["", "CPU s per stream-minute side by side; the last column is "
                      "drv-write's share of the cheapest peer at that N:", "",
                      "| streams | " + " | ".join(present) + " | drv-write / cheapest peer |",
                      "|---:|" + "---:|" * (len(present) + 1)]
            for n in counts:
                by = {r["receiver"]: r for r in rows if r["streams"] == n}
                cells = [fmt(by[k]["cpu_per_stream_minute"], 3) if k in by else "—"
                         for k in present]
                peers = [by[k]["cpu_per_stream_minute"] for k in PEERS if k in by]
                share = (fmt(by["drv-write"]["cpu_per_stream_minute"] / min(peers), 2)
                         if peers and "drv-write" in by else "—")
                lines.append(f"| {n} | " + " | ".join(cells) + f" | {share} |")
        lines += verdict(rows)
        notes = [s for s in skipped if s[0] == codec]
        if notes:
            lines += ["", "Skipped:", ""]
            lines += [f"- {rec} at {n} streams: {why}" for _, rec, n, why in notes]
        lines.append("")
    Path(path).write_text("\n".join(lines))


def stack_reservation(results):
    """What the driver's threads reserve for their stacks in a 32-bit host
    at the largest N: the sizes it asks for (src/thread/thread_stacks.h)
    times the threads it ran (a receive, a worker and an RTCP thread a
    stream; the I/O and helper threads are not per stream)."""
    mine = [r for r in results if r["receiver"].startswith("drv-") and r["threads_per_stream"]]
    try:
        text = (ROOT / "src" / "thread" / "thread_stacks.h").read_text()
        unit = int(re.search(r"kStackUnit = (\d+) \* 1024", text).group(1))
        size = {k: int(m or 1) * unit for k, m in re.findall(
            r"k(Receive|Rtcp|Worker)ThreadStack = (?:(\d+) \* )?kStackUnit", text)}
    except (OSError, AttributeError, ValueError):
        return []
    if not mine or set(size) != {"Receive", "Rtcp", "Worker"}:
        return []
    top = max(mine, key=lambda r: r["streams"])
    per_stream = sum(size.values())
    return ["", f"Driver thread stacks: {size['Receive']} KiB receive, {size['Worker']} KiB "
            f"worker, {size['Rtcp']} KiB RTCP a stream (reservations on Windows); at "
            f"{top['streams']} streams ({top['threads_per_stream']:.1f} threads a stream "
            f"measured) the per-stream threads reserve {top['streams'] * per_stream / 1024:.0f} "
            "MiB of a 32-bit host's 2 GiB, against "
            f"{top['streams'] * 3:.0f} MiB at the 1 MiB default."]


def verdict(rows):
    """drv-write at its largest N set against each peer at the largest N
    where that peer lost no frame."""
    mine = [r for r in rows if r["receiver"] == "drv-write"]
    if not mine:
        return []
    top = max(mine, key=lambda r: r["streams"])
    kept = {}
    for r in rows:
        if r["receiver"] in PEERS and r["lost"] == 0 and r["streams"] >= kept.get(
                r["receiver"], {"streams": 0})["streams"]:
            kept[r["receiver"]] = r
    text = (f"drv-write at {top['streams']} streams: {fmt(top['cpu_per_stream_minute'], 3)} CPU s "
            f"per stream-minute, {top['lost']:,} of {top['sent']:,} frames lost.")
    if kept:
        cheapest = min(kept.values(), key=lambda r: r["cpu_per_stream_minute"])
        text += (" Each peer at the largest N where it lost no frame: "
                 + ", ".join(f"{k} at {r['streams']}: {fmt(r['cpu_per_stream_minute'], 3)}"
                             for k, r in sorted(kept.items()))
                 + f"; drv-write at {top['streams']} uses "
                 f"{fmt(top['cpu_per_stream_minute'] / cheapest['cpu_per_stream_minute'], 2)} "
                 f"of the cheapest ({cheapest['receiver']}).")
    return ["", text]


def write_plot(path, results, args, header):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = [("cpu_per_stream_minute", "CPU s per stream-minute"),
              ("pss_mib_per_stream", "PSS MiB per stream"),
              ("lost_percent", "frames lost, %"),
              ("switches_per_second", "context switches/s per stream")]
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))
    counts = sorted({r["streams"] for r in results})
    colours = {k: f"C{i}" for i, k in enumerate(RECEIVERS)}
    for ax, (key, title) in zip(axes.flat, panels):
        for codec, style in (("h264", "-o"), ("mjpeg", "--s")):
            for receiver in args.receivers:
                rows = sorted((r for r in results
                               if r["codec"] == codec and r["receiver"] == receiver
                               and r[key] is not None), key=lambda r: r["streams"])
                if not rows:
                    continue
                ys = [r[key] / r["streams"] if key == "switches_per_second" else r[key]
                      for r in rows]
                ax.plot([r["streams"] for r in rows], ys, style, color=colours[receiver],
                        label=f"{receiver} ({CODECS[codec]['label']})")
        ax.set_xscale("log", base=2)
        ax.set_xticks(counts, [str(n) for n in counts])
        ax.minorticks_off()
        ax.set_xlabel("streams")
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize="small")
    fig.suptitle(f"{os.cpu_count()} cores, commit {header['commit']}, {args.seconds} s a point")
    fig.tight_layout(rect=(0, 0.08, 1, 0.96))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def skip_reason(receiver, n, previous):
    """Why a peer is not run at n streams given its smaller-N results, or None."""
    if receiver not in PEERS or previous is None:
        return None
    if previous["lost_percent"] is not None and previous["lost_percent"] > previous["skip_loss"]:
        return (f"at {previous['streams']} streams it lost {previous['lost_percent']:.1f}% "
                "of the frames")
    pss = previous["pss_mib_per_stream"]
    if pss:
        with open("/proc/meminfo") as f:
            available = next(int(line.split()[1]) for line in f
                             if line.startswith("MemAvailable")) / 1024
        if pss * n > available / 2:
            return f"{pss * n:.0f} MiB expected, {available:.0f} MiB available"
    return None


def check_tools(args):
    missing = [str(t) for t in (CAMSIM, IPCAP) if not t.exists()]
    tools = {"ffmpeg": "ffmpeg", "gst-proc": "gst-launch-1.0"}
    missing += [tools[r] for r in args.receivers if r in tools and not shutil.which(tools[r])]
    if missing:
        sys.exit("bench-load: missing " + ", ".join(missing)
                 + " (scripts/build native, scripts/install-deps)")


def render(args):
    run = json.loads(Path(args.render).read_text())
    results, skipped = run["results"], [tuple(s) for s in run["skipped"]]
    names = {r["receiver"] for r in results} | {s[1] for s in skipped}
    args.receivers = [k for k in RECEIVERS if k in names]
    args.codecs = [c for c in CODECS if any(r["codec"] == c for r in results)]
    args.seconds = results[0]["seconds"]
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    write_markdown(out / "load.md", results, skipped, run["header"], args)
    write_plot(out / "load.png", results, args, run["header"])
    log(f"rendered {args.render} into {out}")
    return 0


def main(argv):
    args = parse_args(argv)
    if args.gst_one:
        run_gst_one(args.gst_one[0], args.gst_one[1:])
        return 0
    if args.render:
        return render(args)
    check_tools(args)
    points = [(c, n, r) for c in args.codecs for n in args.counts[c] for r in args.receivers]
    if not points:
        sys.exit("bench-load: nothing to run")
    total = sum(point_estimate(r, n, args.seconds) for _, n, r in points)
    log(f"{len(points)} point(s) of {args.seconds} s: expect about {total / 60:.0f} min "
        "(less where a peer is skipped)")
    work = Path(args.work)
    media = work / "media"
    make_clips(media)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    header = {
        "command": "bash scripts/bench-load " + " ".join(argv),
        "commit": commit(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine(),
        "load_before": load_average(),
        "camsim_priority": ("at nice -10, above every receiver, as a camera on its own "
                            "processor is never preempted by its receivers" if CAMSIM_PRIORITY
                            else "at normal priority (not root)"),
        "clips": "; ".join(clip_summary(media, c) for c in args.codecs),
    }
    results, skipped, last = [], [], {}
    started = time.monotonic()
    for codec, n, receiver in points:
        why = skip_reason(receiver, n, last.get((codec, receiver)))
        if why:
            skipped.append((codec, receiver, n, why))
            log(f"{codec} {receiver} x{n}: skipped, {why}")
            continue
        log(f"{codec} {receiver} x{n} ...")
        r = run_point(codec, receiver, n, args, media, work)
        r["skip_loss"] = args.skip_loss
        results.append(r)
        last[(codec, receiver)] = r
        log(f"  {r['cpu_per_stream_minute']:.3f} CPU s per stream-minute, "
            f"{r['delivered']}/{r['sent']} frames, {r['rcvbuf_errors']} socket drops, "
            f"load {r['load_max']:.2f}{'; ' + '; '.join(r['notes']) if r['notes'] else ''}")
        write_markdown(out / "load.md", results, skipped, header, args)
    write_markdown(out / "load.md", results, skipped, header, args)
    (work / "load.json").write_text(json.dumps({"header": header, "results": results,
                                                "skipped": skipped}, indent=1))
    write_plot(out / "load.png", results, args, header)
    log(f"done in {(time.monotonic() - started) / 60:.1f} min: {out / 'load.md'}, "
        f"{out / 'load.png'}")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        sys.exit(main(sys.argv[1:]))
    finally:
        end_children()
