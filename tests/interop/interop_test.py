#!/usr/bin/env python3
"""ipcap against peers that nobody here wrote, all on 127.0.0.1: an RTSP
server built on GStreamer, VLC, Apache httpd, and tshark judging a capture.
Each recording is compared picture by picture with its source clip through
ffmpeg's framemd5: the recorded pictures must be a run of the source's,
starting at a key frame, none lost, repeated or altered.

Usage: interop_test.py --build DIR --work DIR PEER CASE
Exit 0 pass, 1 fail, 77 skipped (a peer's package is missing).
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

SKIP = 77
FPS = 25
CLIP_SECONDS = 8
RECORD_SECONDS = 6
# Pictures a recording must hold at least: its first seconds go to the
# session set-up (a 2 s port probe among them) and the wait for a key frame,
# longer on a loaded machine.
MIN_PICTURES = FPS
SYSTEM_PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))


class Skip(Exception):
    pass


class Fail(Exception):
    pass


def need(*programs):
    for program in programs:
        if shutil.which(program) is None:
            raise Skip("%s is not installed (scripts/install-deps installs it)" % program)


def need_gst_elements(*names):
    need("gst-launch-1.0", "gst-inspect-1.0")
    for name in names:
        if subprocess.run(["gst-inspect-1.0", "--exists", name]).returncode != 0:
            raise Skip("GStreamer element %s is missing (scripts/install-deps installs it)" % name)
    probe = subprocess.run(
        [SYSTEM_PYTHON, "-c",
         "import gi; gi.require_version('GstRtspServer', '1.0');"
         "from gi.repository import GstRtspServer"],
        capture_output=True)
    if probe.returncode != 0:
        raise Skip("python3-gi with gir1.2-gst-rtsp-server-1.0 is missing")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise Fail("%s failed (%d):\n%s%s" % (command[0], result.returncode, result.stdout,
                                              result.stderr))
    return result.stdout


def wait_for_line(process, pattern, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            if process.poll() is not None:
                break
            continue
        match = re.search(pattern, line)
        if match:
            return match
    raise Fail("no line matching %r from %s" % (pattern, process.args[0]))


def wait_for_port(port, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    raise Fail("nothing listens on port %d" % port)


class Processes:
    """Started peers, each ended (by its own id) when the test ends."""

    def __init__(self):
        self.started = []

    def start(self, command, **kwargs):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   text=True, start_new_session=True, **kwargs)
        self.started.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.started):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                    process.wait(5)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    try:
                        os.killpg(process.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass


# ---- Clips ------------------------------------------------------------------

def gst_clip(path, encoder_chain):
    """Encodes CLIP_SECONDS of a moving test picture with GStreamer into a
    Matroska file, so that the server can pace it by its time stamps."""
    run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=%d" % (CLIP_SECONDS * FPS),
         "pattern=ball", "!",
         "video/x-raw,width=320,height=240,framerate=%d/1,format=I420" % FPS, "!"] +
        encoder_chain + ["!", "matroskamux", "!", "filesink", "location=" + path])


def ffmpeg_clip(path, codec_args, seconds=CLIP_SECONDS, container=None):
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "testsrc2=size=320x240:rate=%d:duration=%d" % (FPS, seconds)] + codec_args
    if container:
        args += ["-f", container]
    run(args + [path])


def framemd5(path):
    out = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "framemd5", "-"])
    return [line.split(",")[-1].strip() for line in out.splitlines()
            if line and not line.startswith("#")]


def key_frames(path):
    out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
               "frame=key_frame", "-of", "csv=p=0", path])
    return [i for i, line in enumerate(out.split()) if line.strip().startswith("1")]


def compare(source, recording):
    """The recording's pictures against the source's: a contiguous run that
    starts at a key frame. Returns (first source index, pictures)."""
    src = framemd5(source)
    rec = framemd5(recording)
    if len(rec) < MIN_PICTURES:
        raise Fail("only %d pictures recorded (at least %d expected)" % (len(rec), MIN_PICTURES))
    keys = key_frames(source)
    for k in keys:
        if src[k:k + len(rec)] == rec:
            return k, len(rec)
    # Say where it first went wrong, from the best starting point.
    starts = [i for i, h in enumerate(src) if h == rec[0]]
    detail = "first recorded picture is not in the source"
    if starts:
        k = starts[0]
        for i, h in enumerate(rec):
            if k + i >= len(src) or src[k + i] != h:
                detail = ("recorded picture %d differs from source picture %d "
                          "(started at %d, key frames %s)" % (i, k + i, k, keys[:5]))
                break
        else:
            detail = "run starts at %d, which is no key frame" % k
    raise Fail(detail)


# ---- The driver's side ------------------------------------------------------

class Host:
    def __init__(self, build, work, processes):
        self.build = build
        self.work = work
        self.ipcap = os.path.join(build, "tools", "ipcap", "ipcap")
        self.library = os.path.join(build, "libTavrikIPCapture.so")
        self.camsim = os.path.join(build, "tools", "camsim", "camsim")
        self.env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(build, "kelvardec"))
        self.processes = processes

    def camera_cgi(self):
        """The camera's CGI side, from the simulator: these peers have none."""
        process = self.processes.start([self.camsim, "--http-port", "0"])
        return int(wait_for_line(process, r"http port (\d+)", 10).group(1))

    def record(self, tag, http_port, rtsp_port, codec, seconds=RECORD_SECONDS, extra=()):
        out = os.path.join(self.work, tag)
        shutil.rmtree(out, ignore_errors=True)
        command = [self.ipcap, "record", "--library", self.library, "--port", str(http_port),
                   "--param", "2=%d" % rtsp_port, "--codec", codec, "--width", "320",
                   "--height", "240", "--fps", str(FPS), "--seconds", str(seconds),
                   "--format", "raw", "--out", out] + list(extra)
        result = subprocess.run(command, capture_output=True, text=True, env=self.env,
                                timeout=60)
        if result.returncode != 0:
            raise Fail("ipcap record failed (%d):\n%s%s" % (result.returncode, result.stdout,
                                                           result.stderr))
        extension = {"h264": ".h264", "mjpeg": ".mjpeg", "mpeg4": ".m4v"}[codec]
        media = os.path.join(out, "stream0" + extension)
        if not os.path.exists(media):
            # ipcap may choose another container; take what it wrote.
            found = [f for f in os.listdir(out) if f.startswith("stream0.")
                     and not f.endswith(".index")]
            if not found:
                raise Fail("no recording in %s:\n%s" % (out, result.stderr))
            media = os.path.join(out, found[0])
        return media, result.stderr


# ---- GStreamer's RTSP server ------------------------------------------------

GST_CASES = {
    # name: (codec, encoder chain, payloader chain)
    "h264-baseline-aud": ("h264", ["x264enc", "tune=zerolatency", "aud=true", "key-int-max=25",
                                   "!", "video/x-h264,profile=baseline"],
                          "h264parse ! rtph264pay name=pay0 pt=96"),
    "h264-baseline-aud-slices": ("h264", ["x264enc", "tune=zerolatency", "aud=true",
                                          "key-int-max=25", "option-string=slices=4", "!",
                                          "video/x-h264,profile=baseline"],
                                 "h264parse ! rtph264pay name=pay0 pt=96"),
    "h264-main-noaud": ("h264", ["x264enc", "tune=zerolatency", "aud=false", "key-int-max=25",
                                 "!", "video/x-h264,profile=main"],
                        "h264parse ! rtph264pay name=pay0 pt=96"),
    "h264-main-aud-slices": ("h264", ["x264enc", "tune=zerolatency", "aud=true",
                                      "key-int-max=25", "option-string=slices=3", "!",
                                      "video/x-h264,profile=main"],
                             "h264parse ! rtph264pay name=pay0 pt=96"),
    "mjpeg": ("mjpeg", ["jpegenc", "quality=80"], "jpegparse ! rtpjpegpay name=pay0 pt=26"),
    "mpeg4": ("mpeg4", None, "mpeg4videoparse ! rtpmp4vpay name=pay0 pt=96 config-interval=1"),
}

# The paths the driver asks for, by codec (the simulator's camera group
# plays its second H.264 stream for this size).
PATHS = {"h264": ["/h264", "/h264_2"], "mjpeg": ["/jpeg"], "mpeg4": ["/mpeg4"]}


def start_gst_server(processes, clip, payloader, codec):
    port = free_port()
    pipeline = "filesrc location=%s ! matroskademux ! %s" % (clip, payloader)
    server = processes.start([SYSTEM_PYTHON, os.path.join(HERE, "gst_rtsp_server.py"), str(port)]
                             + ["%s=%s" % (path, pipeline) for path in PATHS[codec]])
    wait_for_line(server, r"^ready", 15)
    return port


def gst_case(host, work, processes, name):
    if name not in GST_CASES:
        raise Fail("unknown case " + name)
    codec, encoder, payloader = GST_CASES[name]
    need("ffmpeg", "ffprobe")
    need_gst_elements("x264enc", "jpegenc", "rtph264pay", "rtpjpegpay", "rtpmp4vpay",
                      "matroskamux", "matroskademux", "h264parse", "jpegparse",
                      "mpeg4videoparse")
    clip = os.path.join(work, "gst-%s.mkv" % name)
    if encoder is None:
        ffmpeg_clip(clip, ["-c:v", "mpeg4", "-g", "25", "-bf", "0", "-q:v", "4"], container="matroska")
    else:
        gst_clip(clip, encoder)
    rtsp_port = start_gst_server(processes, clip, payloader, codec)
    media, _ = host.record("gst-" + name, host.camera_cgi(), rtsp_port, codec)
    return clip, media, codec


# ---- VLC ----------------------------------------------------------------------

VLC_CASES = {
    "h264": ("h264", ["-c:v", "libx264", "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p"],
             "mpegts"),
    # The RTP JPEG format knows only the standard Huffman tables.
    "mjpeg": ("mjpeg", ["-c:v", "mjpeg", "-q:v", "4", "-pix_fmt", "yuvj420p", "-huffman",
                        "default"], "avi"),
    "mpeg4": ("mpeg4", ["-c:v", "mpeg4", "-g", "25", "-bf", "0", "-q:v", "4"], "avi"),
}
VLC_SECONDS = 20


def vlc_case(host, work, processes, name):
    if name not in VLC_CASES:
        raise Fail("unknown case " + name)
    codec, codec_args, container = VLC_CASES[name]
    need("cvlc", "ffmpeg", "ffprobe", "runuser")
    clip = os.path.join(work, "vlc-%s.%s" % (name, {"mpegts": "ts"}.get(container, container)))
    ffmpeg_clip(clip, codec_args, seconds=VLC_SECONDS, container=container)
    os.chmod(work, 0o755)
    os.chmod(clip, 0o644)
    port = free_port()
    path = PATHS[codec][-1] if codec != "h264" else "/h264_2"
    # VLC refuses to run as root: an unprivileged user serves the clip.
    vlc = processes.start(["runuser", "-u", "nobody", "--", "cvlc", "-q", "--no-audio",
                           "--play-and-exit", clip, "--sout",
                           "#rtp{sdp=rtsp://127.0.0.1:%d%s}" % (port, path)],
                          env=dict(os.environ, HOME="/tmp"))
    wait_for_port(port, 10)
    media, _ = host.record("vlc-" + name, host.camera_cgi(), port, codec)
    if vlc.poll() is not None:
        raise Fail("VLC ended early:\n" + vlc.stdout.read())
    return clip, media, codec


# ---- Apache httpd as the camera's CGI -----------------------------------------

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

APACHE_CGI = """#!/bin/sh
# The camera's CGI: the parameter list, stream and output updates (logged),
# and input states from files that the test writes.
printf 'Content-Type: text/plain\r\n\r\n'
case "$SCRIPT_NAME" in
  */admin/param.cgi)
    case "$QUERY_STRING" in
      action=list*) cat "$CAMERA_DATA/params.txt" ;;
      action=update*) echo "$QUERY_STRING" >> "$CAMERA_DATA/updates.log"; printf 'OK\r\n' ;;
    esac ;;
  */io/input.cgi)
    n=${QUERY_STRING#checkactive=}
    state=inactive
    [ -f "$CAMERA_DATA/input$n" ] && state=$(cat "$CAMERA_DATA/input$n")
    printf 'Input%s=%s\r\n' "$n" "$state" ;;
esac
"""

APACHE_CONFIG = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
ErrorLog "{root}/error.log"
User nobody
Group nogroup
LoadModule mpm_prefork_module {modules}/mod_mpm_prefork.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule authz_user_module {modules}/mod_authz_user.so
LoadModule authn_core_module {modules}/mod_authn_core.so
LoadModule authn_file_module {modules}/mod_authn_file.so
LoadModule auth_{scheme}_module {modules}/mod_auth_{scheme}.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule cgi_module {modules}/mod_cgi.so
LoadModule env_module {modules}/mod_env.so
StartServers 2
ScriptAlias /siqura-cgi/ "{root}/cgi/"
<Directory "{root}/cgi">
  SetEnv CAMERA_DATA "{root}/data"
  AuthType {scheme_title}
  AuthName "{realm}"
  {user_file}
  Require valid-user
</Directory>
"""
REALM = "BC 840 camera"
USER, PASSWORD = "operator", "s3cret pass"
APACHE_MODULES = "/usr/lib/apache2/modules"


def start_apache(work, processes, scheme):
    need("apache2")
    for module in ("mod_auth_%s.so" % scheme, "mod_cgi.so", "mod_mpm_prefork.so"):
        if not os.path.exists(os.path.join(APACHE_MODULES, module)):
            raise Skip("%s is missing (scripts/install-deps installs apache2)" % module)
    import base64
    import hashlib
    root = os.path.join(work, "httpd")
    for sub in ("cgi/admin", "cgi/io", "data"):
        os.makedirs(os.path.join(root, sub))
    with open(os.path.join(root, "data", "params.txt"), "w") as f:
        f.write(APACHE_PARAMETERS.replace("\n", "\r\n"))
    script = os.path.join(root, "camera.cgi")
    with open(script, "w") as f:
        f.write(APACHE_CGI)
    os.chmod(script, 0o755)
    for name in ("admin/param.cgi", "io/input.cgi"):
        shutil.copy(script, os.path.join(root, "cgi", name))
    if scheme == "digest":
        ha1 = hashlib.md5(("%s:%s:%s" % (USER, REALM, PASSWORD)).encode()).hexdigest()
        line, directive = "%s:%s:%s\n" % (USER, REALM, ha1), "AuthDigestDomain /siqura-cgi/"
    else:
        sha = base64.b64encode(hashlib.sha1(PASSWORD.encode()).digest()).decode()
        line, directive = "%s:{SHA}%s\n" % (USER, sha), ""
    with open(os.path.join(root, "users"), "w") as f:
        f.write(line)
    port = free_port()
    with open(os.path.join(root, "httpd.conf"), "w") as f:
        f.write(APACHE_CONFIG.format(
            root=root, port=port, modules=APACHE_MODULES, scheme=scheme, realm=REALM,
            scheme_title=scheme.capitalize(),
            user_file='AuthUserFile "%s/users"\n  %s' % (root, directive)))
    # Apache serves as nobody; the data directory takes the update log.
    for dirpath, dirnames, filenames in os.walk(work):
        os.chmod(dirpath, 0o777 if dirpath.endswith("data") else 0o755)
        for name in filenames:
            path = os.path.join(dirpath, name)
            os.chmod(path, 0o755 if os.access(path, os.X_OK) else 0o644)
    processes.start(["apache2", "-f", os.path.join(root, "httpd.conf"), "-DFOREGROUND"],
                    env=dict(os.environ, APACHE_RUN_DIR=root, APACHE_LOCK_DIR=root))
    wait_for_port(port, 10)
    return port, root


def apache_case(host, work, processes, scheme):
    if scheme not in ("digest", "basic"):
        raise Fail("unknown case " + scheme)
    port, root = start_apache(work, processes, scheme)
    credentials = ["--user", USER, "--password", PASSWORD]
    base = [host.ipcap, "query", "--library", host.library, "--port", str(port)]
    query = subprocess.run(base + credentials, capture_output=True, text=True, env=host.env,
                           timeout=60)
    expected = ["model:        Siqura BC 840", "codecs:       H.264, MPEG-4, MJPEG",
                "inputs:       2", "outputs:      2", "1 Video standard     1", "352x240",
                "3 Firmware version   5.0.1"]
    missing = [e for e in expected if e not in query.stdout]
    if query.returncode != 0 or missing:
        raise Fail("query against Apache: missing %s in:\n%s%s"
                   % (missing, query.stdout, query.stderr))
    refused = subprocess.run(base + ["--user", USER, "--password", "wrong"], capture_output=True,
                             text=True, env=host.env, timeout=60)
    if refused.returncode == 0:
        raise Fail("query with a wrong password succeeded:\n" + refused.stdout)

    # Inputs as the files say, an output switched and seen by the camera; a
    # wrong password is a failure, not silence.
    with open(os.path.join(root, "data", "input2"), "w") as f:
        f.write("active")
    io = [host.ipcap, "io", "--library", host.library, "--port", str(port), "--inputs", "2",
          "--outputs", "2"]
    watch = subprocess.run(io + credentials + ["--seconds", "3", "--set", "1=closed"],
                           capture_output=True, text=True, env=host.env, timeout=60)
    updates = open(os.path.join(root, "data", "updates.log")).read() \
        if os.path.exists(os.path.join(root, "data", "updates.log")) else ""
    if watch.returncode != 0 or "Output.O1.Active=closed" not in updates:
        raise Fail("io against Apache (%d), camera saw:\n%s\n%s%s"
                   % (watch.returncode, updates, watch.stdout, watch.stderr))
    wrong = subprocess.run(io + ["--user", USER, "--password", "wrong", "--seconds", "3"],
                           capture_output=True, text=True, env=host.env, timeout=60)
    if wrong.returncode == 0:
        raise Fail("io with a wrong password exited 0:\n%s%s" % (wrong.stdout, wrong.stderr))

    # A recording configured through Apache, streamed by GStreamer.
    need("ffmpeg", "ffprobe")
    need_gst_elements("x264enc", "rtph264pay", "matroskamux", "matroskademux", "h264parse")
    codec, encoder, payloader = GST_CASES["h264-main-noaud"]
    clip = os.path.join(work, "apache-h264.mkv")
    gst_clip(clip, encoder)
    rtsp_port = start_gst_server(processes, clip, payloader, codec)
    media, _ = host.record("apache-" + scheme, port, rtsp_port, codec, extra=credentials)
    updates = open(os.path.join(root, "data", "updates.log")).read()
    if "H264" not in updates:
        raise Fail("no stream update reached Apache:\n" + updates)
    return clip, media, codec


# ---- tshark judging a capture ---------------------------------------------------

# RFC 3550 6.2: no two reports closer than the shortest randomized interval.
MIN_REPORT_GAP = 5.0 * 0.5 / 1.21828


def tshark_fields(capture, display_filter, fields, decode=()):
    command = ["tshark", "-r", capture, "-Y", display_filter, "-T", "fields", "-E",
               "separator=/t"]
    for d in decode:
        command += ["-d", d]
    for f in fields:
        command += ["-e", f]
    return [line.split("\t") for line in run(command).splitlines() if line]


def tshark_case(host, work, processes, name):
    if name != "gst-h264":
        raise Fail("unknown case " + name)
    need("tshark", "ffmpeg", "ffprobe")
    codec, encoder, payloader = GST_CASES["h264-baseline-aud-slices"]
    need_gst_elements("x264enc", "rtph264pay", "matroskamux", "matroskademux", "h264parse")
    clip = os.path.join(work, "tshark-h264.mkv")
    gst_clip(clip, encoder)
    rtsp_port = start_gst_server(processes, clip, payloader, codec)
    http_port = host.camera_cgi()
    capture = os.path.join(work, "lo.pcapng")
    dumper = processes.start(["tshark", "-i", "lo", "-q", "-w", capture, "-f",
                              "udp or tcp port %d" % rtsp_port])
    wait_for_line(dumper, r"Capturing on", 15)
    media, _ = host.record("tshark-h264", http_port, rtsp_port, codec, seconds=CLIP_SECONDS - 1)
    time.sleep(1)
    os.killpg(dumper.pid, signal.SIGINT)
    dumper.wait(10)

    # This session's ports, from its SETUP reply.
    rtsp_decode = "tcp.port==%d,rtsp" % rtsp_port
    transports = tshark_fields(capture, "tcp.srcport == %d && rtsp.transport" % rtsp_port,
                               ["rtsp.transport"], [rtsp_decode])
    match = re.search(r"server_port=(\d+)-(\d+)", transports[0][0] if transports else "")
    if not match:
        raise Fail("no SETUP reply with server ports in the capture")
    rtp_port, rtcp_port = int(match.group(1)), int(match.group(2))
    ours = "tcp.port == %d || udp.port == %d || udp.port == %d" % (rtsp_port, rtp_port, rtcp_port)
    decode = [rtsp_decode, "udp.port==%d,rtp" % rtp_port, "udp.port==%d,rtcp" % rtcp_port]

    # What the driver sent must dissect cleanly: RTSP requests and RTCP.
    sent_by_us = "(tcp.dstport == %d || udp.dstport == %d)" % (rtsp_port, rtcp_port)
    bad = tshark_fields(capture, "(%s) && (_ws.malformed || _ws.expert.severity >= 0x00600000)"
                        % sent_by_us, ["frame.number", "_ws.expert.message"], decode)
    if bad:
        raise Fail("malformed or warned packets of ours: %s" % bad[:5])
    requests = tshark_fields(capture, "tcp.dstport == %d && rtsp.request" % rtsp_port,
                             ["rtsp.method"], decode)
    if [r[0] for r in requests][:3] != ["DESCRIBE", "SETUP", "PLAY"]:
        raise Fail("RTSP requests were %s" % requests)

    rtp = [(float(t), int(q)) for t, q in tshark_fields(
        capture, "udp.srcport == %d && rtp" % rtp_port, ["frame.time_epoch", "rtp.seq"], decode)]
    srs = tshark_fields(capture, "udp.srcport == %d && rtcp.pt == 200" % rtcp_port,
                        ["frame.time_epoch", "rtcp.timestamp.ntp.msw", "rtcp.timestamp.ntp.lsw"],
                        decode)
    rrs = tshark_fields(capture, "udp.dstport == %d && rtcp.pt == 201" % rtcp_port,
                        ["frame.time_epoch", "rtcp.ssrc.lsr", "rtcp.ssrc.high_seq",
                         "rtcp.ssrc.cum_nr", "rtcp.ssrc.fraction", "rtcp.ssrc.jitter"], decode)
    if not srs or not rrs:
        raise Fail("%d sender and %d receiver reports in the capture" % (len(srs), len(rrs)))
    sr_times = [(float(t), ((int(msw) & 0xFFFF) << 16) | (int(lsw) >> 16)) for t, msw, lsw in srs]
    answered = set()
    last_rr = None
    for when, lsr, high, lost, fraction, jitter in rrs:
        when, lsr = float(when), int(lsr, 0)
        before = [middle for t, middle in sr_times if t <= when]
        if not before or lsr != before[-1]:
            raise Fail("receiver report at %.3f names LSR %08x, the last sender report "
                       "before it was %s" % (when, lsr, "%08x" % before[-1] if before else "none"))
        if lsr in answered:
            raise Fail("sender report %08x answered twice" % lsr)
        answered.add(lsr)
        if last_rr is not None and when - last_rr < MIN_REPORT_GAP:
            raise Fail("two receiver reports %.3f s apart" % (when - last_rr))
        last_rr = when
        # The highest sequence number received: one sent before the report,
        # at most the packets of the last 100 ms still in flight.
        extended, base = 0, None
        sent = []
        for t, seq in rtp:
            if t > when:
                break
            if base is None:
                base, extended = seq, seq
            else:
                extended += (seq - extended) & 0xFFFF if ((seq - extended) & 0xFFFF) < 0x8000 else 0
            sent.append((t, extended))
        high = int(high)
        newest = sent[-1][1]
        settled = [e for t, e in sent if t <= when - 0.1]
        if not (settled and settled[-1] <= high <= newest):
            raise Fail("extended highest %d outside [%s, %d]" % (high, settled[-1:] , newest))
        if int(lost) != 0 or int(fraction) != 0:
            raise Fail("loss %s (fraction %s) reported on loopback" % (lost, fraction))
        if int(jitter) > 9000:  # 100 ms
            raise Fail("jitter %s" % jitter)
    print("interop: tshark: %d sender reports, %d receiver reports, all clean"
          % (len(srs), len(rrs)))
    return clip, media, codec


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("peer")
    parser.add_argument("case")
    args = parser.parse_args()
    work = os.path.join(os.path.abspath(args.work), args.peer + "-" + args.case)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    processes = Processes()
    host = Host(os.path.abspath(args.build), work, processes)
    cases = {"gst": gst_case, "vlc": vlc_case, "apache": apache_case, "tshark": tshark_case}
    try:
        if args.peer not in cases:
            raise Fail("unknown peer " + args.peer)
        clip, media, codec = cases[args.peer](host, work, processes, args.case)
        first, pictures = compare(clip, media)
        print("interop: %s %s %s: %d pictures, run from source picture %d, identical"
              % (args.peer, args.case, codec, pictures, first))
        return 0
    except Skip as skip:
        print("interop: SKIPPED %s %s: %s" % (args.peer, args.case, skip))
        return SKIP
    except Fail as failure:
        print("interop: FAILED %s %s: %s" % (args.peer, args.case, failure))
        return 1
    finally:
        processes.stop_all()


if __name__ == "__main__":
    sys.exit(main())
