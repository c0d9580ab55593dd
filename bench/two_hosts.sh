#!/bin/bash
# Two peers on two hosts: network namespaces joined by a veth pair, each dropping a share of the
# UDP datagrams it receives (iptables, random). A JACK player plays into peer A's MIDI input and
# records peer B's MIDI output; prints played and stuck notes for each retransmission choice.
#
# usage: bench/two_hosts.sh [--loss PERCENT] [--notes N] [--seed N] [--tandem PATH]
# Needs root, jackd, iptables and python3-jack-client (apt-get install jackd2 iptables
# python3-jack-client).
set -euo pipefail

LOSS=20
NOTES=600
SEED=11
TANDEM=build/tandem
while [ $# -gt 0 ]; do
  case "$1" in
    --loss) LOSS=$2; shift 2 ;;
    --notes) NOTES=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    --tandem) TANDEM=$2; shift 2 ;;
    *) echo "usage: $0 [--loss PERCENT] [--notes N] [--seed N] [--tandem PATH]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "two_hosts: needs root (network namespaces)" >&2; exit 1; }
for tool in jackd iptables ip; do
  command -v $tool >/dev/null || { echo "two_hosts: $tool is missing" >&2; exit 1; }
done
/usr/bin/python3 -c 'import jack' 2>/dev/null ||
  { echo "two_hosts: python3-jack-client is missing" >&2; exit 1; }
[ -x "$TANDEM" ] || { echo "two_hosts: no program at $TANDEM" >&2; exit 1; }
PLAYER="$(dirname "$0")/two_hosts_player.py"

WORK=$(mktemp -d)
export JACK_DEFAULT_SERVER=two-hosts-$$ JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
JACKD=""
cleanup() {
  ip netns del tandem-a 2>/dev/null || true
  ip netns del tandem-b 2>/dev/null || true
  [ -n "$JACKD" ] && kill "$JACKD" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$WORK/jackd.log" 2>&1 &
JACKD=$!
# until "$@" succeeds, for at most 30 s
wait_until() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  echo "two_hosts: gave up waiting for: $*" >&2
  return 1
}
wait_until sh -c 'jack_lsp >/dev/null 2>&1'

host() {  # NAME DEVICE ADDRESS
  ip -n "$1" addr add "$3/24" dev "$2"
  ip -n "$1" link set "$2" up
  ip -n "$1" link set lo up
  [ "$LOSS" -gt 0 ] && ip netns exec "$1" iptables -A INPUT -p udp -m statistic --mode random \
    --probability "$(printf '0.%02d' "$LOSS")" -j DROP
  return 0
}

echo "two hosts over veth, ${LOSS} % of UDP datagrams dropped at each receiver, $NOTES notes"
printf '%-10s %9s %9s %6s\n' mode "note-ons" played stuck
for mode in none in-msg constant variable; do
  ip netns add tandem-a
  ip netns add tandem-b
  ip link add tandem-va type veth peer name tandem-vb
  ip link set tandem-va netns tandem-a
  ip link set tandem-vb netns tandem-b
  host tandem-a tandem-va 10.77.0.1
  host tandem-b tandem-vb 10.77.0.2
  ip netns exec tandem-a "$TANDEM" --headless --midi-api jack --client-name two-hosts-a \
    --midi-in virtual --midi-out none --dest 10.77.0.2 --listen-port 2000 --send-port 3000 \
    --retransmission $mode >"$WORK/a.log" 2>&1 &
  A=$!
  ip netns exec tandem-b "$TANDEM" --headless --midi-api jack --client-name two-hosts-b \
    --midi-in none --midi-out virtual --dest 10.77.0.1 --listen-port 3000 --send-port 2000 \
    --retransmission $mode >"$WORK/b.log" 2>&1 &
  B=$!
  # Both sessions bound and both MIDI clients up before a note is played.
  wait_until grep -q "RTP Initialisé" "$WORK/a.log"
  wait_until grep -q "RTP Initialisé" "$WORK/b.log"
  wait_until sh -c 'jack_lsp 2>/dev/null | grep -q two-hosts-a:midi_in && jack_lsp 2>/dev/null | grep -q two-hosts-b:midi_out'
  read -r sent played stuck keys < <(/usr/bin/python3 "$PLAYER" two-hosts-a:midi_in \
    two-hosts-b:midi_out "$NOTES" "$SEED")
  kill -TERM $A $B
  wait $A $B || true
  printf '%-10s %9s %9s %6s %s\n' $mode "$sent" "$played" "$stuck" "$keys"
  ip netns del tandem-a
  ip netns del tandem-b
done
