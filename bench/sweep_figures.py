#!/usr/bin/env python3
"""Figures of the sweep, the reaping and the stop, measured on the plain program variant
(tests/plain-tray-under-test) against a loopback HTTPS server:

  launch   time from start to "🚀 downloadAndRunCLI called" while another user's copy of the
           tool runs (needs root: the program and the copy run under two numeric user ids)
  zombies  zombie children of the program 1 s after the tool's ten short-lived helpers ended
  stop     time from SIGTERM to the program's exit with a tool that refuses SIGTERM

usage: sweep_figures.py PROGRAM CERT_DIR [RUNS]   (medians of RUNS, 5 unless given)
"""
import http.server
import os
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid

PROGRAM, CERT_DIR = sys.argv[1], sys.argv[2]
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 5
USER, OTHER_USER = "54321", "54322"
PREAMBLE = b"#!/bin/sh\necho \"$$\" > \"$HOME/tool-pid\"\n"
IDLE = b"echo tool-up\nwhile :; do sleep 0.1; done\n"
HELPERS = (b"for n in 1 2 3 4 5 6 7 8 9 10; do\n"
           b"  (sh -c 'sleep 0.2; echo done >> \"$HOME/helpers\"' &)\ndone\n")


def serve(body):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{CERT_DIR}/server.pem", f"{CERT_DIR}/server.key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Run:
    """One run of the program in a home of its own, its log lines kept with their arrival."""

    def __init__(self, server, word, user=None):
        self.root = tempfile.mkdtemp(prefix="sf-")
        self.home = f"{self.root}/{word}-home"
        os.makedirs(f"{self.root}/run", mode=0o700)
        os.makedirs(self.home)
        if user:
            subprocess.run(["chown", "-R", f"{user}:{user}", self.root], check=True)
        env = {
            "PATH": "/usr/bin:/bin", "HOME": self.home, "XDG_CONFIG_HOME": f"{self.home}/.config",
            "XDG_DATA_HOME": f"{self.home}/.local/share", "XDG_CACHE_HOME": f"{self.home}/.cache",
            "XDG_RUNTIME_DIR": f"{self.root}/run", "QT_QPA_PLATFORM": "offscreen",
            "TRAY_TEST_BASE_URL": f"https://127.0.0.1:{server.server_port}/static/cli",
            "TRAY_TEST_ASSET_NAME": "tool-linux-amd64", "TRAY_TEST_CA_FILE": f"{CERT_DIR}/ca.pem",
            "TRAY_TEST_SEARCH_WORD": word,
        }
        command = [PROGRAM]
        if user:
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"] + command
        self.lines = []
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append((time.monotonic(), line.decode(errors="replace").rstrip("\n")))

    def wait_for(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for moment, line in list(self.lines):
                if text in line:
                    return moment
            time.sleep(0.01)
        raise TimeoutError(text)

    def stop(self):
        sent = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(60)
        took = time.monotonic() - sent
        shutil.rmtree(self.root, ignore_errors=True)
        return took


def children(pid, state=None):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as file:
                    fields = file.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid and (state is None or fields[0] == state):
                found.append(int(entry))
    return found


def launch_beside_another_users_copy():
    word = "staletest" + uuid.uuid4().hex[:12]
    copy = subprocess.Popen(["setpriv", f"--reuid={OTHER_USER}", f"--regid={OTHER_USER}", "--clear-groups",
                             "--", "bash", "-c", 'exec -a "$0" sleep 600', word])
    server = serve(PREAMBLE + IDLE)
    times = []
    try:
        for _ in range(RUNS):
            run = Run(server, word, USER)
            times.append(run.wait_for("🚀 downloadAndRunCLI called") - run.started)
            run.wait_for("tool-up")
            run.stop()
    finally:
        copy.kill()
        copy.wait()
        server.shutdown()
    return statistics.median(times)


def helpers_ended(home):
    try:
        with open(f"{home}/helpers") as file:
            return file.read().count("\n") >= 10
    except OSError:
        return False


def zombies_after_helpers():
    server = serve(PREAMBLE + HELPERS + IDLE)
    counts = []
    for _ in range(RUNS):
        run = Run(server, "staletest" + uuid.uuid4().hex[:12])
        run.wait_for("tool-up")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not helpers_ended(run.home):
            time.sleep(0.05)
        time.sleep(1)
        counts.append(len(children(run.process.pid, "Z")))
        run.stop()
    server.shutdown()
    return statistics.median(counts)


def stop_of_a_stubborn_tool():
    server = serve(PREAMBLE + b"trap '' TERM\n" + IDLE)
    times = []
    for _ in range(RUNS):
        run = Run(server, "staletest" + uuid.uuid4().hex[:12])
        run.wait_for("tool-up")
        times.append(run.stop())
    server.shutdown()
    return statistics.median(times)


if os.getuid() == 0:
    print(f"launch beside another user's copy: {launch_beside_another_users_copy() * 1000:.0f} ms "
          f"(to \"downloadAndRunCLI called\", median of {RUNS})")
else:
    print("launch beside another user's copy: skipped, needs root for the two user ids")
print(f"zombies 1 s after ten helpers ended: {zombies_after_helpers():.0f} (median of {RUNS})")
print(f"stop of a stubborn tool: {stop_of_a_stubborn_tool() * 1000:.0f} ms (SIGTERM to exit, median of {RUNS})")
