#!/usr/bin/env python3
"""Checks the log rotation entry against the launchd definition and the daemon: one entry for the
file the definition sends the daemon's output to, with a compression, signalled through the pid
file the daemon itself writes (its path is in the daemon binary), with SIGHUP, on which the daemon
reopens its log (any signal that ends the daemon would end the requests in flight).

usage: check_newsyslog.py ENTRY_FILE PLIST DAEMON_BINARY"""
import plistlib
import sys

path, plist_path, daemon = sys.argv[1:4]
with open(plist_path, "rb") as f:
    log = plistlib.load(f)["StandardOutPath"]
# logfile_name [owner:group] mode count size when flags [/pid_file] [sig_num]; '#' starts a comment.
found = [line.split("#", 1)[0].split() for line in open(path)]
found = [fields for fields in found if fields and fields[0] == log]
if len(found) != 1:
    sys.exit(f"{path}: {len(found)} entries for {log}, want one")
fields = found[0][1:]
if fields and ":" in fields[0]:
    fields.pop(0)  # owner:group
flags, rest = fields[4], fields[5:]
pid_file = rest[0] if rest and rest[0].startswith("/") else None
signal = int(rest[1]) if len(rest) > 1 else 1  # newsyslog sends SIGHUP unless told otherwise

problems = []
if len(set(flags) & set("JZ")) != 1:
    problems.append(f"flags {flags}: want one compression")
if "N" in flags or pid_file is None:
    problems.append("the daemon is not signalled, and would go on writing to the archive")
elif pid_file.encode() + b"\0" not in open(daemon, "rb").read():
    problems.append(f"the daemon does not write its pid to {pid_file}")
if signal != 1:
    problems.append(f"signal {signal}: the daemon reopens its log on SIGHUP (1)")
if problems:
    sys.exit(f"{path}: " + "; ".join(problems))
print(f"{path}: ok")
