#!/bin/bash
# Two headless peers on two hosts that speak IPv6 only to each other: network namespaces joined
# by a veth pair with unique-local addresses. Peer A plays 100 generated notes with key snapshots
# at a constant rate; both send a chat line. Prints what each side saw, and exits 0 when notes,
# snapshots, chat and the link figures all crossed.
#
# usage: bench/two_hosts_ipv6.sh [--tandem PATH] [--names PREFIX]
# Needs root (network namespaces); nothing else beyond iproute2.
set -euo pipefail

TANDEM=build/tandem
NAMES=tandem6
while [ $# -gt 0 ]; do
  case "$1" in
    --tandem) TANDEM=$2; shift 2 ;;
    --names) NAMES=$2; shift 2 ;;
    *) echo "usage: $0 [--tandem PATH] [--names PREFIX]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "two_hosts_ipv6: needs root (network namespaces)" >&2; exit 1; }
command -v ip >/dev/null || { echo "two_hosts_ipv6: ip (iproute2) is missing" >&2; exit 1; }
[ -x "$TANDEM" ] || { echo "two_hosts_ipv6: no program at $TANDEM" >&2; exit 1; }

A=${NAMES}a B=${NAMES}b
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  ip netns del "$A" 2>/dev/null || true
  ip netns del "$B" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

ip netns add "$A"
ip netns add "$B"
ip link add "${NAMES}va" type veth peer name "${NAMES}vb"
ip link set "${NAMES}va" netns "$A"
ip link set "${NAMES}vb" netns "$B"
for side in "$A ${NAMES}va fd00:77::1" "$B ${NAMES}vb fd00:77::2"; do
  set -- $side
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=0
  # nodad: the address is usable at once instead of after duplicate detection.
  ip -n "$1" -6 addr add "$3/64" dev "$2" nodad
  ip -n "$1" link set "$2" up
  ip -n "$1" link set lo up
done

# Waits up to $3 seconds for a line of log $1 to match the extended pattern $2.
await() {
  for _ in $(seq $(($3 * 10))); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

mkfifo "$WORK/a.in" "$WORK/b.in"
# A plays as soon as it is up, so B listens first.
ip netns exec "$B" "$TANDEM" --headless --midi-api none --dest fd00:77::1 --listen-port 3000 \
  --send-port 2000 <"$WORK/b.in" >"$WORK/b.log" 2>&1 &
PIDS+=($!)
exec 4>"$WORK/b.in"
await "$WORK/b.log" '^RTP Status: RTP Initialis' 10 || { echo "two_hosts_ipv6: B did not start" >&2; exit 1; }
ip netns exec "$A" "$TANDEM" --headless --midi-api none --dest fd00:77::2 --listen-port 2000 \
  --send-port 3000 --gen 1 --gen-interval 20 --seed 7 --retransmission constant --base 50 \
  <"$WORK/a.in" >"$WORK/a.log" 2>&1 &
PIDS+=($!)
exec 3>"$WORK/a.in"

ok=0
check() {  # WHAT LOG PATTERN SECONDS
  if await "$2" "$3" "$4"; then
    echo "ok      $1: $(grep -E "$3" "$2" | tail -1)"
  else
    echo "MISSING $1"
    ok=1
  fi
}
check "A set up" "$WORK/a.log" '^RTP Status: RTP Initialis' 10
check "B set up" "$WORK/b.log" '^RTP Status: RTP Initialis' 10
echo hello >&3
echo back >&4
check "notes at B" "$WORK/b.log" '^# Received: (1[0-9][0-9]|[2-9][0-9][0-9]|[0-9]{4,})$' 30
check "snapshots at B" "$WORK/b.log" '^Reception: Reception info de retransmission' 10
check "chat at B" "$WORK/b.log" '^you : hello' 10
check "chat at A" "$WORK/a.log" '^you : back' 10
check "link at A" "$WORK/a.log" '^Link: RTT [0-9]' 25
check "link at B" "$WORK/b.log" '^Link: RTT [0-9]' 25
exec 3>&- 4>&-
for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
for pid in "${PIDS[@]}"; do wait "$pid" || ok=1; done
PIDS=()
[ "$ok" = 0 ] && echo "two hosts over IPv6: everything crossed" || echo "two hosts over IPv6: FAILED"
exit $ok
