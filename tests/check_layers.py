#!/usr/bin/env python3
"""Checks the include graph of ptzd against the rules of its floors.

    check_layers.py PTZD_DIR

Floors, from the bottom: infra/ (sockets, listener, log, metrics, state
files), worker/ (a head's link and call queue), motion/ (moves, shared
state, events, presets, tours), json/ (the motion layer's values as JSON,
for every JSON transport), the front ends (http/ onvif/ visca/
native/), and above them config/ (the TOML file) and main.cpp; only the
motion layer sees its machinery (motion/detail.h). Prints one
line per broken rule and exits 1 when there is any.
"""
import os
import re
import sys

FRONT_ENDS = {"http", "onvif", "visca", "native", "mqtt", "rotctld", "follow"}
# Front ends that speak in moves: they reach the head through the motion
# layer only (the native protocol and the per-export HTTP routes are
# byte-exact and go to the worker, by design).
THROUGH_MOTION = ("onvif/", "visca/", "http/moves.", "mqtt/", "rotctld/")
BELOW = {"geo": 0, "infra": 0, "worker": 1, "motion": 2, "json": 3}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def floor_of(path):
    """The folder a ptzd-relative path lies in ("" for the top)."""
    return path.split("/", 1)[0] if "/" in path else ""


def main(root):
    problems = []
    files = []
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith((".h", ".cpp")):
                files.append(os.path.relpath(os.path.join(folder, name), root))
    for path in sorted(files):
        here = floor_of(path)
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        included = INCLUDE.findall(text)
        if path.startswith(THROUGH_MOTION) and re.search(r"\bHeadWorker\b", text):
            problems.append(f"{path}: names HeadWorker: it reaches the head through the motion layer only")
        for inc in included:
            # Same-folder includes ("soap.h" inside onvif/) name their own folder.
            target = inc if os.path.exists(os.path.join(root, inc)) else \
                os.path.join(here, inc) if here and os.path.exists(os.path.join(root, here, inc)) else None
            if target is None:
                if inc.split("/", 1)[0] in ("head.h", "server.h", "control.h", "head_model.h") or "sim" in inc:
                    problems.append(f"{path}: includes the simulator ({inc})")
                continue  # the library's own headers (ptz.h, protocol/..., link/...)
            there = floor_of(target)
            if target == "motion/detail.h" and here != "motion":
                problems.append(f"{path}: includes {inc}: the motion layer's machinery is its own (motion.h is its face)")
            if there == here:
                continue
            if path.startswith(THROUGH_MOTION) and there == "worker":
                problems.append(f"{path}: includes {inc}: it reaches the head through the motion layer only")
            if there == "config" and path not in ("main.cpp", "cli.cpp", "cli.h"):
                problems.append(f"{path}: includes {inc}: only main and cli read the configuration")
            if here in FRONT_ENDS and there in FRONT_ENDS:
                problems.append(f"{path}: includes {inc}: one front end never includes another")
            if here in BELOW and (there in FRONT_ENDS or there == "" and target != path):
                problems.append(f"{path}: includes {inc}: a lower floor never includes a front end or the top")
            if here in BELOW and there in BELOW and BELOW[there] > BELOW[here]:
                problems.append(f"{path}: includes {inc}: {here}/ lies below {there}/")
    for p in problems:
        print(p)
    print(f"{len(files)} files of ptzd, {len(problems)} broken rule(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
