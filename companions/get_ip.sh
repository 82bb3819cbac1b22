#!/bin/sh
# Network set-up and report for the restore agent.
#
# The agent waits for this script and reads only the first line of its
# standard output, which must be one JSON value. So: every helper program's
# output goes to /dev/null (a DHCP client that forks into a daemon would
# otherwise hold the agent's pipe open for ever), every step is bounded by a
# time-out, and the last line is always the report:
#   {"interfaces":[{"name":"eth0","state":"UP","mac":"52:54:00:12:34:56",
#                   "ipv4":["10.0.0.5/24"],"ipv6":["fe80::1/64"]}],
#    "gateway":"10.0.0.1"}
# "gateway" is null when there is no default route; "error" is added when the
# configuration could not be read at all.
#
# Physical network cards without an IPv4 address get one DHCP attempt (at
# most 20 seconds in all) when a DHCP client is installed.
# GET_IP_SKIP_DHCP=1 only reports.

set -u
# Card names are split into words below; they must never be globbed.
set -f

# Names of network cards backed by a device (not loopback, bridges, ifb and
# other virtual links) that have no IPv4 address yet.
cards_without_ipv4() {
  timeout 10 ip -j addr 2>/dev/null | python3 -c '
import json, os, sys
for link in json.load(sys.stdin):
    name = link.get("ifname", "")
    if not name or not os.path.exists("/sys/class/net/%s/device" % name):
        continue
    if any(a.get("family") == "inet" for a in link.get("addr_info", [])):
        continue
    print(name)
' 2>/dev/null
}

try_dhcp() {
  cards=$(cards_without_ipv4)
  [ -n "$cards" ] || return 0
  for card in $cards; do
    timeout 5 ip link set dev "$card" up >/dev/null 2>&1
  done
  # $cards is split into words on purpose: one argument per card.
  # shellcheck disable=SC2086,SC2016
  if command -v dhclient >/dev/null 2>&1; then
    timeout -k 2 20 dhclient -1 $cards </dev/null >/dev/null 2>&1
  elif command -v dhcpcd >/dev/null 2>&1; then
    timeout -k 2 20 dhcpcd -t 18 $cards </dev/null >/dev/null 2>&1
  elif command -v udhcpc >/dev/null 2>&1; then
    timeout -k 2 20 sh -c 'for card; do udhcpc -i "$card" -n -q -t 3 -T 3; done' sh $cards \
      </dev/null >/dev/null 2>&1
  fi
}

report() {
  python3 -c '
import json, subprocess

def ip_json(*args):
    done = subprocess.run(["ip", "-j"] + list(args), capture_output=True, timeout=10, check=True)
    return json.loads(done.stdout or b"[]")

interfaces = []
for link in ip_json("addr"):
    addresses = link.get("addr_info", [])
    def of(family):
        return ["%s/%s" % (a["local"], a["prefixlen"])
                for a in addresses if a.get("family") == family and "local" in a]
    interfaces.append({
        "name": link.get("ifname", ""),
        "state": link.get("operstate", ""),
        "mac": link.get("address", ""),
        "ipv4": of("inet"),
        "ipv6": of("inet6"),
    })
gateway = None
for route in ip_json("route", "show", "default"):
    if "gateway" in route:
        gateway = route["gateway"]
        break
print(json.dumps({"interfaces": interfaces, "gateway": gateway}, separators=(",", ":")))
' 2>/dev/null
}

if [ "${GET_IP_SKIP_DHCP:-0}" != 1 ]; then
  try_dhcp
fi

answer=$(report)
if [ -n "$answer" ]; then
  printf '%s\n' "$answer"
else
  printf '%s\n' '{"interfaces":[],"gateway":null,"error":"the network configuration could not be read"}'
fi
