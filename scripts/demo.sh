#!/usr/bin/env bash
# Runs the tray program as a user would meet it, with no network and without touching the user's
# own files: it builds the program against a distribution server on 127.0.0.1 (with a certificate
# authority made on the spot) that serves a stand-in for the command-line tool, and runs it in a
# sandboxed home folder.
#
#   bash scripts/demo.sh            runs until Ctrl+C (or "Quit" in the tray menu)
#   bash scripts/demo.sh SECONDS    stops by itself after SECONDS
#
# With a display ($DISPLAY or $WAYLAND_DISPLAY) the tray icon and the terminal window appear
# there. Without one, the demo runs a virtual display with icewm as tray host and saves a
# screenshot of the window and the open tray menu. Ctrl+C ends everything the demo started.
#
# The program ends running copies of the tool when it starts: the demo's own processes are named
# so that none of them looks like one. The demo's builds are signed with a minisign key made on
# the spot, so the program installs the stand-in only once its signature verifies.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
duration=${1:-}
if [ -n "$duration" ] && ! [[ "$duration" =~ ^[0-9]+$ ]]; then
    echo "usage: bash scripts/demo.sh [SECONDS]" >&2
    exit 2
fi

say() { printf '\033[1m== %s\033[0m\n' "$*"; }

# Polls a condition every 0.1 s until it holds or SECONDS have passed.
wait_until() {
    local seconds=$1
    shift
    local tries=$((seconds * 10))
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

is_gone() { ! kill -0 "$1" 2>/dev/null; }

bash "$repo/scripts/install-deps.sh"

build="$repo/build/demo"
if [ -z "${DEMO_VIRTUAL_DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
    ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
    say "No display: starting a virtual one with icewm as tray host"
    # The demo runs again on it, which ends after the demo: a Ctrl+C reaches the demo, which
    # stops the program while its display is still there.
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target desktop-session
    DEMO_VIRTUAL_DISPLAY=1 exec "$build/devtools/desktop-session" --icewm -- bash "${BASH_SOURCE[0]}" "$@"
fi
certs="$build/demo-ca"
screenshot="$build/demo-screenshot.png"
work=$(mktemp -d "${TMPDIR:-/tmp}/tray-demo.XXXXXX")
home="$work/home"
helpers=()
program_pid=

stop_everything() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        say "Stopping the tray program (pid $program_pid)"
        kill -TERM "$program_pid" 2>/dev/null || true
        wait_until 15 is_gone "$program_pid" || kill -KILL "$program_pid" 2>/dev/null || true
    fi
    # The program stops the stand-in tool; should it have died first, the tool is ended here.
    if [ -s "$home/stand-in.pid" ]; then
        kill -TERM "$(cat "$home/stand-in.pid")" 2>/dev/null || true
    fi
    local i
    for ((i = ${#helpers[@]} - 1; i >= 0; i--)); do
        kill -TERM "${helpers[i]}" 2>/dev/null || true
        wait_until 5 is_gone "${helpers[i]}" || kill -KILL "${helpers[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap stop_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "Building the local distribution server"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target local-dist-server

say "Making a certificate authority and a certificate for 127.0.0.1"
mkdir -p "$certs"
(
    cd "$certs"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
        -subj "/CN=Tray Demo Authority" -addext "basicConstraints=critical,CA:true" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:false\nextendedKeyUsage=serverAuth\n' > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 \
        -extfile server.ext 2>/dev/null
    rm -f server.csr server.ext
)

say "Making a minisign key and signing the stand-in tool"
# Kept with the authority: the same key needs no new build of the program.
[ -s "$certs/minisign.key" ] || minisign -G -W -p "$certs/minisign.pub" -s "$certs/minisign.key" >/dev/null
public_key=$(sed -n 2p "$certs/minisign.pub")

asset=$(sed -n 's/^CORVALT_ASSET_NAME:STRING=//p' "$build/CMakeCache.txt")
# Every byte percent-encoded, so the tool's name is not in the server's command line.
encoded_asset=$(printf '%s' "$asset" | od -An -tx1 -v | tr -d ' \n' | sed 's/../%&/g')
cp "$repo/scripts/demo-tool.sh" "$work/stand-in-tool"
minisign -S -s "$certs/minisign.key" -m "$work/stand-in-tool" -t "demo stand-in tool" >/dev/null
ln -s "$build/devtools/local-dist-server" "$work/dist-server"

start_server() {
    "$work/dist-server" "$certs/server" "$1" "$encoded_asset" "$work/stand-in-tool" >"$work/server.log" 2>&1 &
    server_pid=$!
    wait_until 10 grep -q '^listening on ' "$work/server.log" || { kill "$server_pid" 2>/dev/null; return 1; }
}
# The port of the last run first: the same address needs no new build of the program.
if ! start_server "$(cat "$build/demo-port" 2>/dev/null || echo 0)"; then
    start_server 0 || { cat "$work/server.log" >&2; exit 1; }
fi
helpers+=("$server_pid")
port=$(sed -n 's/^listening on //p' "$work/server.log")
echo "$port" >"$build/demo-port"
base_url="https://127.0.0.1:$port/static/cli"
say "Serving the stand-in tool as $base_url/$asset"

say "Building the tray program for $base_url"
cmake -S "$repo" -B "$build" -DCORVALT_BASE_URL="$base_url" -DCORVALT_EXTRA_CA_CERTS="$certs/ca.pem" \
    -DCORVALT_MINISIGN_PUBLIC_KEY="$public_key" >/dev/null
cmake --build "$build" -j "$(nproc)" --target corvalt-tray

headless=${DEMO_VIRTUAL_DISPLAY:-0}

say "Starting the tray program in the sandboxed home $home"
mkdir -p "$home"
cp -a /etc/skel/. "$home/" 2>/dev/null || true
# The log shows here and is kept for the checks below.
mkfifo "$work/output"
tee "$work/tray.log" <"$work/output" &
helpers+=("$!")
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" XDG_STATE_HOME="$home/.local/state" \
    "$build/app/corvalt-tray" >"$work/output" 2>&1 &
program_pid=$!

window_shown() { xdotool search --onlyvisible --name '^Corvalt Terminal$' >/dev/null 2>&1; }
tool_printed() { grep -q 'sync 1: all services healthy' "$work/tray.log"; }
if [ "$headless" = 1 ]; then
    wait_until 60 window_shown || { echo "the terminal window did not appear" >&2; exit 1; }
    wait_until 60 tool_printed || { echo "the stand-in tool printed nothing" >&2; exit 1; }
    sleep 3
    # The icon is the window that icewm embedded in its tray.
    geometry=$(xwininfo -root -tree | awk '/"SystemTray"/ { found = 1; next } found && /0x/ { print; exit }')
    read -r x y w h < <(sed -E 's/.* ([0-9]+)x([0-9]+)[+-][0-9-]+[+-][0-9-]+ +\+([0-9-]+)\+([0-9-]+).*/\3 \4 \1 \2/' <<<"$geometry")
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
    sleep 1
    import -window root "$screenshot"
    xdotool key Escape
    say "Screenshot of the terminal window and the open tray menu: $screenshot"
fi

if [ -n "$duration" ]; then
    say "Running for $duration s"
    sleep "$duration" &
    helpers+=("$!")
    wait $! || true
else
    say "Running. Press Ctrl+C to stop everything the demo started."
    wait "$program_pid" || true
fi
