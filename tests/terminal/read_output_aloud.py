# The output window as a screen reader reads it: through the accessibility bus of the private
# session this runs in, with pyatspi, on the X display it is given (under desktop-session).
# Argument: the window's program.
import os, subprocess, sys, tempfile, time

processes, temporary = [], tempfile.TemporaryDirectory()
start = lambda arguments, **options: processes.append(subprocess.Popen(arguments, **options)) or processes[-1]


def wait(predicate, what):
    deadline = time.monotonic() + 60
    while not (result := predicate()) and time.monotonic() < deadline:
        while GLib.MainContext.default().iteration(False): pass
        time.sleep(0.02)
    return result or sys.exit(f"timed out waiting for {what}")


for variable in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
    os.environ[variable] = os.path.join(temporary.name, variable.lower())
    os.mkdir(os.environ[variable], 0o700)
try:
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    import pyatspi
    from gi.repository import GLib

    log = os.path.join(temporary.name, "window.log")
    window = start([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=open(log, "w"),
                   env=dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))

    # Without clearing, children seen while the window was being built stay.
    is_terminal = lambda node: node.clear_cache() or node.getRole() == pyatspi.ROLE_TERMINAL
    desktop = pyatspi.Registry.getDesktop(0)
    terminal = wait(lambda: desktop.clear_cache() or pyatspi.findDescendant(desktop, is_terminal), "the terminal")
    assert terminal.name == "Corvalt output", terminal.name
    wait(lambda: terminal.getState().contains(pyatspi.STATE_FOCUSED), "the output to take the focus")
    text = terminal.queryText()
    # Offsets count UTF-16 units, as Qt's do. What the events tell, applied to a copy, must come out as the text.
    first = wait(lambda: text.getText(0, -1), "the manager's first line")
    told, events = [first.encode("utf-16-le")], []

    def heard(event):
        at, put = 2 * event.detail1, event.any_data.encode("utf-16-le") if event.type.endswith("insert") else b""
        told[0] = told[0][:at] + put + told[0][at + (not put) * 2 * event.detail2:]
        events.append(event.type)

    pyatspi.Registry.registerEventListener(heard, "object:text-changed")

    def emit(ending, *pieces):
        window.stdin.write("".join(piece.encode().hex() + "\n" for piece in pieces).encode()), window.stdin.flush()
        return wait(lambda: told[0].decode("utf-16-le") == (shown := text.getText(0, -1)) and shown.endswith(ending)
                    and shown, ending)

    coloured = first + "ready on port 8080\n"
    line = len(coloured.encode("utf-16-le")) // 2
    for ending, piece in (("", "\x1b[1;32mready\x1b[0m on port \x1b[36m8080\x1b[0m\n"), ("progress 10%",) * 2,
                          ("progress 55%", "\rprogress 55%"), ("progress 100%\n", "\r\x1b[2Kprogress 100%\n")):
        emit(coloured + ending, piece)
    assert text.getTextAtOffset(line + 3, pyatspi.TEXT_BOUNDARY_LINE_START) == ("progress 100%\n", line, line + 14)
    # Two tasks redrawn in place by moving the cursor up: only the changed part is told.
    emit(coloured + "progress 100%\ntask 1 10%\ntask 2 10%\n", "task 1 10%\ntask 2 10%\n")
    events.clear()
    redrawn = coloured + "progress 100%\ntask 1 done\ntask 2 99%\n"
    emit(redrawn, "\x1b[2F\x1b[2Ktask 1 done\x1b[E", "\x1b[2Ktask 2 99%\n")
    assert events.count("object:text-changed:insert") <= 2, events

    assert text.addSelection(line - 5, line - 1) and text.getSelection(0) == (line - 5, line - 1)
    subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(window.pid), "windowfocus", "key", "ctrl+c"],
                   timeout=30, check=True)
    wait(lambda: f"clipboard {'8080'.encode().hex()}\n" in open(log).read(), "the selection on the clipboard")

    # A small bound on the output: the oldest lines go, and are told gone.
    lines = [f"line {number:02} {'x' * 50}\n" for number in range(40)]
    trimmed = [emit(lines[five + 4], *lines[five:five + 5]) for five in range(0, 40, 5)][-1]
    assert len(trimmed) < len("".join(lines)) and ("\n" + "".join(lines)).endswith("\n" + trimmed), trimmed

    events.clear()
    emit("flood 2999\n", *(f"flood {number}\n" for number in range(3000)))
    assert 0 < events.count("object:text-changed:insert") <= 300, events
finally:
    [process.terminate() or process.wait() for process in reversed(processes)]
