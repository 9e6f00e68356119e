#!/bin/sh
# A stand-in for the command-line tool, served by scripts/demo.sh: prints coloured status lines
# every second until it is asked to stop.
echo "$$" > "$HOME/stand-in.pid"
trap 'printf "\033[33m■ stand-in tool: stop requested, exiting\033[0m\n"; exit 0' TERM INT HUP
printf '\033[1;36m● Stand-in tool started as pid %s with arguments: %s\033[0m\n' "$$" "$*"
n=0
while :; do
    n=$((n + 1))
    case $((n % 4)) in
    1) printf '\033[32m✔ [%s] sync %d: all services healthy\033[0m\n' "$(date +%H:%M:%S)" "$n" ;;
    2) printf '\033[34mℹ [%s] heartbeat %d\033[0m\n' "$(date +%H:%M:%S)" "$n" ;;
    3) printf '\033[33m⚠ [%s] check %d: cache warming up\033[0m\n' "$(date +%H:%M:%S)" "$n" ;;
    0) printf '\033[1;31m✖ [%s] probe %d: simulated failure, retrying\033[0m\n' "$(date +%H:%M:%S)" "$n" ;;
    esac
    # In the background, so that a stop request is handled at once rather than after the sleep.
    sleep 1 &
    wait $!
done
