# Runs a command with the accessibility bus of the desktop this runs in (under desktop-session).
# With --listen, first registers for text changes as a screen reader does, and appends "heard N"
# (the changes heard) to the result file. Usage: [--listen] RESULT COMMAND...
import os, subprocess, sys, time

listen = sys.argv[1] == "--listen"
result, command = sys.argv[1 + listen], sys.argv[2 + listen:]
processes = []
try:
    processes.append(subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"]))
    environment = dict(os.environ, QT_QPA_PLATFORM="xcb")
    heard = []
    if listen:
        import pyatspi
        from gi.repository import GLib
        pyatspi.Registry.registerEventListener(lambda event: heard.append(time.monotonic()), "object:text-changed")
        environment["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    child = subprocess.Popen(command, env=environment)
    processes.append(child)
    quiet = time.monotonic()
    # Until the command has ended and what it said has been heard.
    while child.poll() is None or (listen and time.monotonic() - quiet < 2):
        if listen and GLib.MainContext.default().iteration(False):
            quiet = time.monotonic()
        else:
            time.sleep(0.005)
    if listen:
        with open(result, "a") as figures:
            figures.write(f"heard {len(heard)}\n")
    sys.exit(child.returncode)
finally:
    for process in reversed(processes):
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
