#!/bin/sh
# Runs a command in a private network namespace whose loopback interface carries multicast, so
# tests that join groups never touch a real interface. Exits 77 (skipped) where that is not
# possible: not root, or no unshare/ip.
set -u

if [ "${QV_NETNS_INSIDE:-}" = "1" ]; then
    # Never reconfigure the namespace this script was started from.
    if [ "$(readlink /proc/self/ns/net)" = "$(readlink /proc/1/ns/net)" ]; then
        echo "netns_run: not in a private network namespace" >&2
        exit 77
    fi
    # The IPv6 route must be of type "local": the kernel turns any other route through the
    # loopback device into a reject route, and sent datagrams vanish.
    ip link set lo up &&
        ip link set lo multicast on &&
        ip route add 224.0.0.0/4 dev lo &&
        ip -6 route add local ff00::/8 dev lo table local ||
        { echo "netns_run: cannot set up loopback multicast" >&2; exit 77; }
    exec "$@"
fi

if [ "$(id -u)" != "0" ] || ! command -v unshare >/dev/null 2>&1 ||
    ! command -v ip >/dev/null 2>&1; then
    echo "netns_run: needs root, unshare and ip; skipping" >&2
    exit 77
fi
if ! unshare -n true 2>/dev/null; then
    echo "netns_run: cannot make a network namespace; skipping" >&2
    exit 77
fi
QV_NETNS_INSIDE=1
export QV_NETNS_INSIDE
exec unshare -n "$0" "$@"
