#!/usr/bin/env python3
"""ipcap against peers that nobody here wrote, on 127.0.0.1 (a GStreamer RTSP
server, VLC, Apache httpd as the CGI, tshark judging a capture). Each recording
must be, by ffmpeg's framemd5, a run of its clip's pictures from a key frame.

Usage: interop_test.py --build DIR --work DIR PEER CASE
       interop_test.py serve PORT MOUNT=PIPELINE...  (the GStreamer server)
Exit 0 pass, 1 fail, 77 skipped (a peer's package is missing).
"""
import argparse, base64, collections, hashlib, os, re, shutil, signal, socket, subprocess, sys, time

SKIP, FPS, CLIP_SECONDS, RECORD_SECONDS = 77, 25, 8, 6
# Pictures a recording must hold at least: its first seconds go to the
# session set-up (a 2 s port probe among them) and the wait for a key frame.
MIN_PICTURES = FPS
PYTHON = "/usr/bin/python3"
BUILD = WORK = None  # from the command line
STARTED = []


class Skip(Exception):
    pass


class Fail(Exception):
    pass


def x264(profile, aud, slices=""):
    return "x264enc tune=zerolatency aud=%s key-int-max=25 %s ! video/x-h264,profile=%s" % (
        aud, slices, profile)


# encoder: a GStreamer chain, or ffmpeg's options where it starts with "-";
# server: who streams the clip; cgi: the camera's CGI (camsim, or Apache with
# digest or basic authentication); capture: tshark judges the session.
Row = collections.namedtuple("Row", "codec encoder container seconds server cgi capture",
                             defaults=("matroska", CLIP_SECONDS, "gst", "camsim", False))
MPEG4, SLICES = "-c:v mpeg4 -g 25 -bf 0 -q:v 4", "option-string=slices=%d"
CASES = {
    "gst h264-baseline-aud": Row("h264", x264("baseline", "true")),
    "gst h264-baseline-aud-slices": Row("h264", x264("baseline", "true", SLICES % 4)),
    "gst h264-main-noaud": Row("h264", x264("main", "false")),
    "gst h264-main-aud-slices": Row("h264", x264("main", "true", SLICES % 3)),
    "gst mjpeg": Row("mjpeg", "jpegenc quality=80"),
    "gst mpeg4": Row("mpeg4", MPEG4),
    "vlc h264": Row("h264", "-c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p", "mpegts", 20, "vlc"),
    # The RTP JPEG format knows only the standard Huffman tables.
    "vlc mjpeg": Row("mjpeg", "-c:v mjpeg -q:v 4 -pix_fmt yuvj420p -huffman default", "avi", 20,
                     "vlc"),
    "vlc mpeg4": Row("mpeg4", MPEG4, "avi", 20, "vlc"),
    "apache digest": Row("h264", x264("main", "false"), cgi="digest"),
    "apache basic": Row("h264", x264("main", "false"), cgi="basic"),
    "tshark gst-h264": Row("h264", x264("baseline", "true", SLICES % 4), capture=True),
}
PAYLOADERS = {"h264": "h264parse ! rtph264pay name=pay0 pt=96",
              "mjpeg": "jpegparse ! rtpjpegpay name=pay0 pt=26",
              "mpeg4": "mpeg4videoparse ! rtpmp4vpay name=pay0 pt=96 config-interval=1"}
# The paths the driver asks for, by codec (the simulator's camera group
# plays its second H.264 stream for this size).
PATHS = {"h264": ["/h264", "/h264_2"], "mjpeg": ["/jpeg"], "mpeg4": ["/mpeg4"]}


def check(holds, message, *args):
    if not holds:
        raise Fail(message % args if args else message)


def need(*programs):
    for program in programs:
        if shutil.which(program) is None:
            raise Skip("%s is not installed (scripts/install-deps installs it)" % program)


def need_gst(*chains):
    need("gst-launch-1.0", "gst-inspect-1.0")
    for part in " ! ".join(chains).split("!"):
        element = part.split()[0]
        if "/" not in element and subprocess.run(["gst-inspect-1.0", "--exists", element]).returncode:
            raise Skip("GStreamer element %s is missing (scripts/install-deps installs it)" % element)
    if subprocess.run([PYTHON, "-c", "import gi; gi.require_version('GstRtspServer', '1.0')"],
                      capture_output=True).returncode:
        raise Skip("python3-gi with gir1.2-gst-rtsp-server-1.0 is missing")


def run(command, ok=True, **kwargs):
    """Its output; fails the case where the command fails and ok."""
    result = subprocess.run([str(a) for a in command], capture_output=True, text=True, **kwargs)
    if ok and result.returncode != 0:
        raise Fail("%s failed (%d):\n%s%s" % (os.path.basename(command[0]), result.returncode,
                                              result.stdout, result.stderr))
    return result


def start(command, **kwargs):
    STARTED.append(subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, start_new_session=True, **kwargs))
    return STARTED[-1]


def wait_for_line(process, pattern, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        line = process.stdout.readline()
        match = re.search(pattern, line)
        if match:
            return match
        if not line and process.poll() is not None:
            break
    raise Fail("no line matching %r from %s" % (pattern, process.args[0]))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds):
    for _ in range(seconds * 10):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    raise Fail("nothing listens on port %d" % port)


def framemd5(path):
    out = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "framemd5", "-"]).stdout
    return [line.split(",")[-1].strip() for line in out.splitlines() if line and line[0] != "#"]


def compare(source, recording):
    """Where the recording's pictures run in the source's, from a key frame."""
    src, rec = framemd5(source), framemd5(recording)
    check(len(rec) >= MIN_PICTURES, "only %d pictures recorded (at least %d expected)", len(rec),
          MIN_PICTURES)
    out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
               "frame=key_frame", "-of", "csv=p=0", source]).stdout
    keys = [i for i, line in enumerate(out.split()) if line.startswith("1")]
    for k in keys:
        if src[k:k + len(rec)] == rec:
            return k, len(rec)
    k = src.index(rec[0]) if rec[0] in src else None
    wrong = [i for i, h in enumerate(rec) if k is not None and src[k + i:k + i + 1] != [h]]
    raise Fail("no run of the source from a key frame: first recorded picture at source picture "
               "%s, first differing recorded picture %s, key frames %s" % (k, wrong[:1], keys[:5]))


def ipcap(command, *args, ok=True):
    return run([os.path.join(BUILD, "tools", "ipcap", "ipcap"), command, "--library",
                os.path.join(BUILD, "libTavrikIPCapture.so")] + list(args), ok, timeout=60,
               env=dict(os.environ, LD_LIBRARY_PATH=os.path.join(BUILD, "kelvardec")))


def record(http_port, rtsp_port, codec, seconds, extra=()):
    out = os.path.join(WORK, "recording")
    result = ipcap("record", "--port", http_port, "--param", "2=%d" % rtsp_port, "--codec", codec,
                   "--width", 320, "--height", 240, "--fps", FPS, "--seconds", seconds, "--format",
                   "raw", "--out", out, *extra)
    found = [f for f in os.listdir(out) if f.startswith("stream0.") and not f.endswith(".index")]
    check(found, "no recording in %s:\n%s", out, result.stderr)
    return os.path.join(out, found[0])


def make_clip(row):
    path = os.path.join(WORK, "clip." + {"matroska": "mkv", "mpegts": "ts"}.get(row.container,
                                                                            row.container))
    if row.encoder.startswith("-"):
        run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
             "testsrc2=size=320x240:rate=%d:duration=%d" % (FPS, row.seconds)]
            + row.encoder.split() + ["-f", row.container, path])
    else:
        run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=%d" % (row.seconds * FPS),
             "pattern=ball", "!", "video/x-raw,width=320,height=240,framerate=%d/1,format=I420"
             % FPS, "!"] + row.encoder.split() + ["!", "matroskamux", "!", "filesink",
                                                  "location=" + path])
    return path


def serve(row, clip):
    """Starts the RTSP server of the row on the clip; its port."""
    port = free_port()
    if row.server == "gst":
        pipeline = "filesrc location=%s ! matroskademux ! %s" % (clip, PAYLOADERS[row.codec])
        wait_for_line(start([PYTHON, os.path.abspath(__file__), "serve", str(port)] + [
            "%s=%s" % (path, pipeline) for path in PATHS[row.codec]]), r"^ready", 15)
        return port, None
    # VLC refuses to run as root: an unprivileged user serves the clip.
    os.chmod(WORK, 0o755)
    os.chmod(clip, 0o644)
    vlc = start(["runuser", "-u", "nobody", "--", "cvlc", "-q", "--no-audio", "--play-and-exit",
                 clip, "--sout", "#rtp{sdp=rtsp://127.0.0.1:%d%s}" % (port, PATHS[row.codec][-1])],
                env=dict(os.environ, HOME="/tmp"))
    wait_for_port(port, 10)
    return port, vlc


# An NTSC camera with three codecs, two inputs and two outputs: written for
# these tests, unlike any of the simulator's fixtures.
APACHE_PARAMETERS = """root.Brand.Brand=Siqura
root.Brand.ProdFullName=Siqura BC 840 Bullet Camera
root.Brand.ProdShortName=BC 840
root.ImageSource.I0.Video.DetectedType=ntsc
root.Network.RTSP.Port=8554
root.Properties.Image.Format=mjpeg,mpeg4,h264
root.Properties.Image.Resolution=qcif,cif,4cif,720p
root.Properties.Audio.Audio=no
root.Properties.Firmware.Version=5.0.1
root.Input.NbrOfInputs=2
root.Output.NbrOfOutputs=2
"""
# The camera's CGI: the parameter list, stream and output updates (logged),
# and input states from files that the test writes.
APACHE_CGI = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
case "$SCRIPT_NAME" in
  */admin/param.cgi)
    case "$QUERY_STRING" in
      action=list*) cat "$CAMERA_DATA/params.txt" ;;
      action=update*) echo "$QUERY_STRING" >> "$CAMERA_DATA/updates.log"; printf 'OK\\r\\n' ;;
    esac ;;
  */io/input.cgi)
    n=${QUERY_STRING#checkactive=}
    state=inactive
    [ -f "$CAMERA_DATA/input$n" ] && state=$(cat "$CAMERA_DATA/input$n")
    printf 'Input%s=%s\\r\\n' "$n" "$state" ;;
esac
"""
APACHE_MODULES = ["mpm_prefork", "authz_core", "authz_user", "authn_core", "authn_file", "auth_%s",
                  "alias", "cgi", "env"]
APACHE_CONFIG = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
ErrorLog "{root}/error.log"
User nobody
Group nogroup
{modules}StartServers 2
ScriptAlias /siqura-cgi/ "{root}/cgi/"
<Directory "{root}/cgi">
  SetEnv CAMERA_DATA "{root}/data"
  AuthType {title}
  AuthName "{realm}"
  AuthUserFile "{root}/users"
  {domain}
  Require valid-user
</Directory>
"""
REALM, USER, PASSWORD = "BC 840 camera", "operator", "s3cret pass"
MODULE_DIR = "/usr/lib/apache2/modules"


def start_apache(scheme):
    need("apache2")
    modules = [m.replace("%s", scheme) for m in APACHE_MODULES]
    for module in ("auth_" + scheme, "cgi", "mpm_prefork"):
        if not os.path.exists(os.path.join(MODULE_DIR, "mod_%s.so" % module)):
            raise Skip("mod_%s.so is missing (scripts/install-deps installs apache2)" % module)
    root = os.path.join(WORK, "httpd")
    for sub in ("cgi/admin", "cgi/io", "data"):
        os.makedirs(os.path.join(root, sub))
    if scheme == "digest":
        ha1 = hashlib.md5(("%s:%s:%s" % (USER, REALM, PASSWORD)).encode()).hexdigest()
        user = "%s:%s:%s\n" % (USER, REALM, ha1)
    else:
        user = "%s:{SHA}%s\n" % (USER, base64.b64encode(hashlib.sha1(PASSWORD.encode()).digest())
                                 .decode())
    port = free_port()
    files = {"data/params.txt": APACHE_PARAMETERS.replace("\n", "\r\n"), "users": user,
             "cgi/admin/param.cgi": APACHE_CGI, "cgi/io/input.cgi": APACHE_CGI,
             "httpd.conf": APACHE_CONFIG.format(
                 root=root, port=port, title=scheme.capitalize(), realm=REALM,
                 domain="AuthDigestDomain /siqura-cgi/" if scheme == "digest" else "",
                 modules="".join("LoadModule %s_module %s/mod_%s.so\n" % (m, MODULE_DIR, m)
                                 for m in modules))}
    for name, text in files.items():
        with open(os.path.join(root, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(root, name), 0o755 if name.endswith(".cgi") else 0o644)
    # Apache serves as nobody; the data directory takes the update log.
    for path, _, _ in os.walk(WORK):
        os.chmod(path, 0o777 if path.endswith("data") else 0o755)
    start(["apache2", "-f", os.path.join(root, "httpd.conf"), "-DFOREGROUND"],
          env=dict(os.environ, APACHE_RUN_DIR=root, APACHE_LOCK_DIR=root))
    wait_for_port(port, 10)
    return port, os.path.join(root, "data")


def read(*path):
    path = os.path.join(*path)
    return open(path).read() if os.path.exists(path) else ""


def check_apache(port, data):
    """Query and I/O through Apache: the camera as its parameters say, inputs
    as the files say, an output switched, a wrong password a failure."""
    credentials = ["--user", USER, "--password", PASSWORD]
    query = ipcap("query", "--port", port, *credentials, ok=False)
    missing = [e for e in ("model:        Siqura BC 840", "codecs:       H.264, MPEG-4, MJPEG",
                           "inputs:       2", "outputs:      2", "1 Video standard     1",
                           "352x240", "3 Firmware version   5.0.1") if e not in query.stdout]
    check(query.returncode == 0 and not missing, "query against Apache: missing %s in:\n%s%s",
          missing, query.stdout, query.stderr)
    with open(os.path.join(data, "input2"), "w") as f:
        f.write("active")
    io = ["--port", port, "--inputs", 2, "--outputs", 2, "--seconds", 3]
    watch = ipcap("io", *io, *credentials, "--set", "1=closed", ok=False)
    updates = read(data, "updates.log")
    check(watch.returncode == 0 and "Output.O1.Active=closed" in updates,
          "io against Apache (%d), camera saw:\n%s\n%s%s", watch.returncode, updates, watch.stdout,
          watch.stderr)
    for command, args in (("query", ["--port", port]), ("io", io)):
        refused = ipcap(command, *args, *credentials[:3], "wrong", ok=False)
        check(refused.returncode != 0, "%s with a wrong password exited 0:\n%s", command,
              refused.stdout)
    return credentials


# RFC 3550 6.2: no two reports closer than the shortest randomized interval.
MIN_REPORT_GAP = 5.0 * 0.5 / 1.21828


def check_capture(capture, rtsp_port):
    """What the driver sent, as tshark dissects it: clean RTSP requests in
    order, and receiver reports that answer each sender report once, at the
    RTCP pace, with the sequence numbers, loss and jitter of loopback."""
    decode = ["tcp.port==%d,rtsp" % rtsp_port]

    def fields(display_filter, *names):
        command = ["tshark", "-r", capture, "-Y", display_filter, "-T", "fields", "-E",
                   "separator=/t"] + [a for d in decode for a in ("-d", d)]
        out = run(command + [a for n in names for a in ("-e", n)]).stdout
        return [line.split("\t") for line in out.splitlines() if line]

    # This session's ports, from its SETUP reply.
    transports = fields("tcp.srcport == %d && rtsp.transport" % rtsp_port, "rtsp.transport")
    match = re.search(r"server_port=(\d+)-(\d+)", transports[0][0] if transports else "")
    check(match, "no SETUP reply with server ports in the capture")
    rtp_port, rtcp_port = int(match.group(1)), int(match.group(2))
    decode += ["udp.port==%d,rtp" % rtp_port, "udp.port==%d,rtcp" % rtcp_port]
    bad = fields("(tcp.dstport == %d || udp.dstport == %d) && (_ws.malformed || "
                 "_ws.expert.severity >= 0x00600000)" % (rtsp_port, rtcp_port),
                 "frame.number", "_ws.expert.message")
    check(not bad, "malformed or warned packets of ours: %s", bad[:5])
    requests = fields("tcp.dstport == %d && rtsp.request" % rtsp_port, "rtsp.method")
    check([r[0] for r in requests][:3] == ["DESCRIBE", "SETUP", "PLAY"], "RTSP requests were %s",
          requests)
    rtp = [(float(t), int(q)) for t, q in fields("udp.srcport == %d && rtp" % rtp_port,
                                                 "frame.time_epoch", "rtp.seq")]
    srs = [(float(t), ((int(msw) & 0xFFFF) << 16) | (int(lsw) >> 16)) for t, msw, lsw in fields(
        "udp.srcport == %d && rtcp.pt == 200" % rtcp_port, "frame.time_epoch",
        "rtcp.timestamp.ntp.msw", "rtcp.timestamp.ntp.lsw")]
    rrs = fields("udp.dstport == %d && rtcp.pt == 201" % rtcp_port, "frame.time_epoch",
                 "rtcp.ssrc.lsr", "rtcp.ssrc.high_seq", "rtcp.ssrc.cum_nr", "rtcp.ssrc.fraction",
                 "rtcp.ssrc.jitter")
    check(srs and rrs, "%d sender and %d receiver reports in the capture", len(srs), len(rrs))
    answered, last_rr = set(), None
    for when, lsr, high, lost, fraction, jitter in rrs:
        when, lsr, high = float(when), int(lsr, 0), int(high)
        before = [middle for t, middle in srs if t <= when]
        check(before and lsr == before[-1], "receiver report at %.3f names LSR %08x, the last "
              "sender report before it was %s", when, lsr, "%08x" % before[-1] if before else "none")
        check(lsr not in answered, "sender report %08x answered twice", lsr)
        answered.add(lsr)
        check(last_rr is None or when - last_rr >= MIN_REPORT_GAP,
              "two receiver reports %.3f s apart", when - (last_rr or 0))
        last_rr = when
        # The highest sequence number received: one sent before the report,
        # at most the packets of the last 100 ms still in flight.
        sent, extended = [], rtp[0][1]
        for t, seq in (p for p in rtp if p[0] <= when):
            extended += (seq - extended) & 0xFFFF if (seq - extended) & 0xFFFF < 0x8000 else 0
            sent.append((t, extended))
        settled = [e for t, e in sent if t <= when - 0.1]
        check(settled and settled[-1] <= high <= sent[-1][1], "extended highest %d outside [%s, %d]",
              high, settled[-1:], sent[-1][1])
        check(int(lost) == 0 and int(fraction) == 0, "loss %s (fraction %s) reported on loopback",
              lost, fraction)
        check(int(jitter) <= 9000, "jitter %s", jitter)  # 9000: 100 ms
    print("interop: tshark: %d sender reports, %d receiver reports, all clean"
          % (len(srs), len(rrs)))


def run_case(row):
    """Serves the row's clip, records it and compares; the row's own checks
    on the way."""
    need("ffmpeg", "ffprobe", *{"vlc": ["cvlc", "runuser"]}.get(row.server, []),
         *(["tshark"] if row.capture else []))
    if row.server == "gst":
        gst_encoder = [] if row.encoder.startswith("-") else [row.encoder, "matroskamux"]
        need_gst(PAYLOADERS[row.codec], "matroskademux", *gst_encoder)
    credentials = []
    if row.cgi == "camsim":  # these peers have no CGI side: the simulator's
        camsim = start([os.path.join(BUILD, "tools", "camsim", "camsim"), "--http-port", "0"])
        http_port = int(wait_for_line(camsim, r"http port (\d+)", 10).group(1))
    else:
        http_port, data = start_apache(row.cgi)
        credentials = check_apache(http_port, data)
    clip = make_clip(row)
    rtsp_port, vlc = serve(row, clip)
    if row.capture:
        capture = os.path.join(WORK, "lo.pcapng")
        dumper = start(["tshark", "-i", "lo", "-q", "-w", capture, "-f",
                        "udp or tcp port %d" % rtsp_port])
        wait_for_line(dumper, r"Capturing on", 15)
    media = record(http_port, rtsp_port, row.codec,
                   CLIP_SECONDS - 1 if row.capture else RECORD_SECONDS, credentials)
    if vlc and vlc.poll() is not None:
        raise Fail("VLC ended early:\n" + vlc.stdout.read())
    if credentials and "H264" not in read(data, "updates.log"):
        raise Fail("no stream update reached Apache:\n" + read(data, "updates.log"))
    if row.capture:
        time.sleep(1)
        os.killpg(dumper.pid, signal.SIGINT)
        dumper.wait(10)
        check_capture(capture, rtsp_port)
    return compare(clip, media)


def serve_gst(port, mounts):
    """The GStreamer RTSP server: one clip pipeline per mount point, played
    once per session; prints "ready" once it listens, runs until killed."""
    import gi
    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    for mount, pipeline in (m.split("=", 1) for m in mounts):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch("( " + pipeline + " )")
        factory.set_shared(False)
        server.get_mount_points().add_factory(mount, factory)
    if server.attach(None) == 0:
        print("cannot listen", flush=True)
        return 1
    print("ready", flush=True)
    GLib.MainLoop().run()


def main():
    global BUILD, WORK
    if sys.argv[1] == "serve":
        return serve_gst(sys.argv[2], sys.argv[3:])
    parser = argparse.ArgumentParser()
    for option in ("--build", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("peer")
    parser.add_argument("case")
    args = parser.parse_args()
    name = "%s %s" % (args.peer, args.case)
    BUILD = os.path.abspath(args.build)
    WORK = os.path.join(os.path.abspath(args.work), args.peer + "-" + args.case)
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    try:
        if name not in CASES:
            raise Fail("unknown case")
        first, pictures = run_case(CASES[name])
        print("interop: %s %s: %d pictures, run from source picture %d, identical"
              % (name, CASES[name].codec, pictures, first))
        return 0
    except Skip as skip:
        print("interop: SKIPPED %s: %s" % (name, skip))
        return SKIP
    except Fail as failure:
        print("interop: FAILED %s: %s" % (name, failure))
        return 1
    finally:
        for process in reversed(STARTED):
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                    process.wait(5)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass


if __name__ == "__main__":
    sys.exit(main())
