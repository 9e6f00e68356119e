# The output window as a screen reader reads it: through the accessibility bus of the private
# session this runs in, with pyatspi, on a private X display. Argument: the window's program.
import os, select, subprocess, sys, tempfile, time

processes = []


def start(arguments, **options):
    processes.append(subprocess.Popen(arguments, **options))
    return processes[-1]


def wait(predicate, what):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        while GLib.MainContext.default().iteration(False):
            pass
        if result := predicate():
            return result
        time.sleep(0.02)
    sys.exit(f"timed out waiting for {what}")


temporary = tempfile.TemporaryDirectory()
for variable in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
    os.environ[variable] = os.path.join(temporary.name, variable.lower())
    os.mkdir(os.environ[variable], 0o700)
try:
    reader, writer = os.pipe()
    # No reset when the accessibility bus launcher, its first client, leaves.
    start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-noreset"], pass_fds=[writer])
    assert select.select([reader], [], [], 30)[0], "no X display"
    os.environ["DISPLAY"] = ":" + os.read(reader, 32).decode().strip()
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    import pyatspi
    from gi.repository import GLib

    log = os.path.join(temporary.name, "window.log")
    window = start([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=open(log, "w"),
                   env=dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))

    def find_terminal(node):
        node.clear_cache()  # Children seen while the window was being built stay otherwise.
        found = (find_terminal(child) for child in node if child)
        return node if node.getRole() == pyatspi.ROLE_TERMINAL else next(filter(None, found), None)

    terminal = wait(lambda: find_terminal(pyatspi.Registry.getDesktop(0)), "the terminal on the bus")
    assert terminal.name == "Corvalt output", terminal.name
    wait(lambda: terminal.getState().contains(pyatspi.STATE_FOCUSED), "the output to take the focus")
    text = terminal.queryText()
    # The manager's first line. Offsets count UTF-16 units, as Qt's do.
    first = wait(lambda: text.getText(0, -1), "the manager's first line")
    utf16 = len(first.encode("utf-16-le")) // 2
    # What the events tell, applied to a copy, must always come out as the text itself.
    told, events = [first.encode("utf-16-le")], []

    def heard(event):
        events.append(event.type)
        at, before = 2 * event.detail1, told[0]
        told[0] = before[:at] + event.any_data.encode("utf-16-le") + before[at:] if event.type.endswith("insert") \
            else before[:at] + before[at + 2 * event.detail2:]

    pyatspi.Registry.registerEventListener(heard, "object:text-changed")

    def emit(ending, *pieces):
        window.stdin.write("".join(piece.encode().hex() + "\n" for piece in pieces).encode())
        window.stdin.flush()
        shown = lambda: text.getText(0, -1)
        return wait(lambda: told[0].decode("utf-16-le") == shown() and shown().endswith(ending) and shown(), ending)

    coloured = "ready on port 8080\n"
    emit(first + coloured, "\x1b[1;32mready\x1b[0m on port \x1b[36m8080\x1b[0m\n")
    emit(first + coloured + "progress 10%", "progress 10%")
    emit(first + coloured + "progress 55%", "\rprogress 55%")
    emit(first + coloured + "progress 100%\n", "\r\x1b[2Kprogress 100%\n")
    line = utf16 + len(coloured)
    assert text.getTextAtOffset(line + 3, pyatspi.TEXT_BOUNDARY_LINE_START) == ("progress 100%\n", line, line + 14)

    assert text.addSelection(utf16 + 14, utf16 + 18) and text.getSelection(0) == (utf16 + 14, utf16 + 18)
    subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(window.pid), "windowfocus", "key", "ctrl+c"],
                   timeout=30, check=True)
    wait(lambda: f"clipboard {'8080'.encode().hex()}\n" in open(log).read(), "the selection on the clipboard")

    # A small bound on the output: the oldest lines go, and are told gone.
    lines = [f"line {number:02} {'x' * 50}\n" for number in range(40)]
    for five in range(0, 40, 5):
        trimmed = emit(lines[five + 4], *lines[five:five + 5])
    assert len(trimmed) < len("".join(lines)) and ("\n" + "".join(lines)).endswith("\n" + trimmed), trimmed

    events.clear()
    emit("flood 2999\n", *(f"flood {number}\n" for number in range(3000)))
    assert 0 < events.count("object:text-changed:insert") <= 300, events
finally:
    for process in reversed(processes):
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
