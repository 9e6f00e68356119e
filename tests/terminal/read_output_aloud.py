# The output window as a screen reader reads it: through the accessibility bus of the private
# session this runs in, with pyatspi, on a private X display. Argument: the window's program.
import os
import select
import subprocess
import sys
import tempfile
import time

processes = []


def start(arguments, **options):
    processes.append(subprocess.Popen(arguments, **options))
    return processes[-1]


def wait(predicate, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while GLib.MainContext.default().iteration(False):
            pass
        result = predicate()
        if result:
            return result
        time.sleep(0.02)
    sys.exit(f"timed out waiting for {what}")


temporary = tempfile.TemporaryDirectory()
for variable in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
    os.environ[variable] = os.path.join(temporary.name, variable.lower())
    os.mkdir(os.environ[variable], 0o700)
try:
    reader, writer = os.pipe()
    start(["Xvfb", "-displayfd", str(writer), "-screen", "0", "1280x800x24", "-nolisten", "tcp"], pass_fds=[writer])
    if not select.select([reader], [], [], 30)[0]:
        sys.exit("no X display")
    os.environ["DISPLAY"] = ":" + os.read(reader, 32).decode().strip()
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    import pyatspi
    from gi.repository import GLib

    log = os.path.join(temporary.name, "window.log")
    window = start([sys.argv[1]], stdin=subprocess.PIPE, stdout=open(log, "w"),
                   env=dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))

    def find_terminal():
        for application in pyatspi.Registry.getDesktop(0):
            if application and application.get_process_id() == window.pid:
                application.clear_cache()  # Children seen before the window opened stay otherwise.
                return pyatspi.findDescendant(application, lambda node: node.getRole() == pyatspi.ROLE_TERMINAL)

    terminal = wait(find_terminal, "the terminal on the bus")
    assert terminal.name == "Corvalt output", terminal.name
    wait(lambda: terminal.getState().contains(pyatspi.STATE_FOCUSED), "the output to take the focus")
    text = terminal.queryText()
    # The manager's first line. Offsets count UTF-16 units, as Qt's do.
    first = wait(lambda: text.getText(0, -1), "the manager's first line")
    utf16 = len(first.encode("utf-16-le")) // 2

    # What the events tell, applied to a copy, must always come out as the text itself.
    told = [first.encode("utf-16-le")]
    events = []

    def heard(event):
        if event.source.name == "Corvalt output":
            events.append(event.type)
            at, before = 2 * event.detail1, told[0]
            told[0] = before[:at] + event.any_data.encode("utf-16-le") + before[at:] \
                if event.type.endswith("insert") else before[:at] + before[at + 2 * event.detail2:]

    def heard_all():
        return told[0].decode("utf-16-le") == text.getText(0, -1) and told[0].decode("utf-16-le")

    pyatspi.Registry.registerEventListener(heard, "object:text-changed")

    def send(command, argument):
        window.stdin.write(f"{command} {argument}\n".encode())
        window.stdin.flush()

    def shows(expected):
        send("emit", expected[0].encode().hex())
        wait(lambda: heard_all() == first + expected[1], repr(expected[1]))

    coloured = "ready on port 8080\n"
    for step in [("\x1b[1;32mready\x1b[0m on port \x1b[36m8080\x1b[0m\n", coloured),
                 ("progress 10%", coloured + "progress 10%"),
                 ("\rprogress 55%", coloured + "progress 55%"),
                 ("\r\x1b[2Kprogress 100%\n", coloured + "progress 100%\n")]:
        shows(step)
    line = utf16 + len(coloured)
    assert text.getTextAtOffset(line + 3, pyatspi.TEXT_BOUNDARY_LINE_START) == ("progress 100%\n", line, line + 14)

    assert text.addSelection(utf16 + 14, utf16 + 18) and text.getSelection(0) == (utf16 + 14, utf16 + 18)
    subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(window.pid), "windowfocus", "key", "ctrl+c"],
                   timeout=30, check=True)
    wait(lambda: f"clipboard {'8080'.encode().hex()}\n" in open(log).read(), "the selection on the clipboard")

    # A small bound on the output: the oldest lines go, and are told gone.
    lines = [f"line {number:02} {'x' * 50}\n" for number in range(40)]
    for five in range(0, 40, 5):
        send("emit", "".join(lines[five:five + 5]).encode().hex())
        trimmed = wait(lambda: (heard_all() or "").endswith(lines[five + 4]) and heard_all(), f"line {five + 4}")
    lines = "".join(lines)
    assert len(trimmed) < len(lines) and ("\n" + lines).endswith("\n" + trimmed), trimmed
    assert "object:text-changed:delete" in events

    heard_before = len(events)
    send("flood", 3000)
    wait(lambda: (heard_all() or "").endswith("flood 2999\n"), "the flood's end")
    inserted = events[heard_before:].count("object:text-changed:insert")
    assert 0 < inserted <= 300, inserted
    print(f"the flood of 3000 pieces was told in {inserted} insertions")
finally:
    for process in reversed(processes):
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
