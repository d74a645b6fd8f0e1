#!/usr/bin/env bash
# Runs a command inside a network namespace of its own with only loopback up,
# so nothing it sends (WS-Discovery's multicast included) can leave this
# machine. Inside, PTZ_NETNS=1 is set; tests that multicast skip without it.
#   in_netns.sh COMMAND [ARGS...]
set -euo pipefail
if unshare --net true 2>/dev/null; then
  exec unshare --net sh -c 'ip link set lo up && PTZ_NETNS=1 exec "$@"' in_netns "$@"
fi
echo "in_netns.sh: no network namespace can be made here (root needed); tests that multicast are skipped" >&2
exec env -u PTZ_NETNS "$@"
