#!/usr/bin/env python3
"""Checks the log rotation entry: every line parses as newsyslog.conf(5) on macOS reads it, and the
entry for the daemon's log matches the launchd definition: the same file, root:admin and mode 640,
compressed archives, and a signal that ends the daemon through the pid file, so that launchd starts
it again on the new log.

usage: check_newsyslog.py ENTRY_FILE PLIST"""
import plistlib
import re
import sys

FLAGS = set("BCGJNUWZ")  # what the macOS newsyslog accepts; "-" stands for none
COMPRESSION = set("JZ")  # bzip2, gzip


class Malformed(Exception):
    pass


def parse(line):
    """The fields of one entry: logfile_name [owner:group] mode count size when flags [/pid_file]
    [sig_num]."""
    fields = line.split()
    entry = {"owner": None, "pid_file": None, "sig_num": None}
    if len(fields) < 6:
        raise Malformed("fewer than the five fields after the file name")
    entry["log"] = fields.pop(0)
    if not entry["log"].startswith("/"):
        raise Malformed("the log is not an absolute path")
    if ":" in fields[0]:
        entry["owner"] = fields.pop(0)
    if len(fields) < 5:
        raise Malformed("fewer than five fields after owner:group")
    mode, count, size, when, flags = fields[:5]
    rest = fields[5:]
    if not re.fullmatch(r"[0-7]{3,4}", mode):
        raise Malformed(f"mode {mode!r} is not octal")
    entry["mode"] = int(mode, 8)
    if not re.fullmatch(r"\d+", count):
        raise Malformed(f"count {count!r} is not a number")
    entry["count"] = int(count)
    if not re.fullmatch(r"\*|\d+", size):
        raise Malformed(f"size {size!r} is neither * nor kilobytes")
    entry["size"] = None if size == "*" else int(size)
    if not re.fullmatch(r"\*|\d+|\d*[@$]\S+", when):
        raise Malformed(f"when {when!r} is neither *, hours nor a @ or $ time")
    entry["when"] = None if when == "*" else when
    if flags != "-" and not set(flags) <= FLAGS:
        raise Malformed(f"flags {flags!r} hold letters other than {''.join(sorted(FLAGS))}")
    entry["flags"] = set(flags) - {"-"}
    if rest:
        if not rest[0].startswith("/"):
            raise Malformed(f"pid_file {rest[0]!r} is not an absolute path")
        entry["pid_file"] = rest.pop(0)
    if rest:
        if not re.fullmatch(r"\d+", rest[0]) or not 1 <= int(rest[0]) <= 31:
            raise Malformed(f"sig_num {rest[0]!r} is not a signal number")
        entry["sig_num"] = int(rest.pop(0))
    if rest:
        raise Malformed(f"unexpected fields {rest}")
    return entry


def entries(text):
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()  # the file escapes no '#'
        if line:
            yield parse(line)


# The parser itself: lines newsyslog would misread are refused.
MALFORMED = [
    "/var/log/x.log root:admin 640 5 1024 *",  # no flags field
    "/var/log/x.log root:admin 64x 5 1024 * J",
    "/var/log/x.log root.admin 640 5 1024 * J",  # owner without ':' is taken for the mode
    "/var/log/x.log root:admin 640 five 1024 * J",
    "/var/log/x.log root:admin 640 5 1M * J",
    "/var/log/x.log root:admin 640 5 1024 daily J",
    "/var/log/x.log root:admin 640 5 1024 * JQ",
    "/var/log/x.log root:admin 640 5 1024 * J var/run/x.pid 15",
    "/var/log/x.log root:admin 640 5 1024 * J /var/run/x.pid TERM",
    "/var/log/x.log root:admin 640 5 1024 * J /var/run/x.pid 15 extra",
    "var/log/x.log root:admin 640 5 1024 * J",
]
for bad in MALFORMED:
    try:
        parse(bad)
    except Malformed:
        continue
    sys.exit(f"the parser accepts a malformed entry: {bad}")
for good in ["/var/log/x.log 640 5 * @T00 Z", "/var/log/x.log :admin 600 3 100 $W0D23 -"]:
    parse(good)

path, plist_path = sys.argv[1], sys.argv[2]
with open(plist_path, "rb") as f:
    plist = plistlib.load(f)
log = plist["StandardOutPath"]
try:
    found = [e for e in entries(open(path).read()) if e["log"] == log]
except Malformed as e:
    sys.exit(f"{path}: {e}")
if len(found) != 1:
    sys.exit(f"{path}: {len(found)} entries for {log}, want one")
entry = found[0]

problems = []
if entry["owner"] != "root:admin":
    problems.append(f"owner {entry['owner']}, want root:admin")
if entry["mode"] != 0o640:
    problems.append(f"mode {entry['mode']:o}, want 640")
if not 2 <= entry["count"] <= 10:
    problems.append(f"{entry['count']} archives, want a few")
if entry["size"] is None and entry["when"] is None:
    problems.append("neither a size nor a time: never rotated")
if len(entry["flags"] & COMPRESSION) != 1:
    problems.append(f"flags {entry['flags']}: want one compression")
if "N" in entry["flags"] or entry["pid_file"] is None:
    problems.append("the daemon is not signalled, and would go on writing to the archive")
# The daemon installs no handler, so these end it, and launchd starts it again on the new log.
signal = entry["sig_num"] or 1  # newsyslog sends SIGHUP unless told otherwise
if signal not in (1, 2, 15):
    problems.append(f"signal {signal} does not end the daemon")
if problems:
    sys.exit(f"{path}: " + "; ".join(problems))
print(f"{path}: ok")
