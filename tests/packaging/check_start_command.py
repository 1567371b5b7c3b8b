#!/usr/bin/env python3
"""Runs the launchd definition's command, with a stand-in for the daemon, in a private mount
namespace whose /var/run is a fresh tmpfs: the pid file that the log rotation entry names must hold
the pid of the program that runs in the end (so that newsyslog signals the daemon and nothing
else), the daemon gets no arguments, and it starts even when the pid file cannot be written.

usage: check_start_command.py PLIST NEWSYSLOG_ENTRY   (exit 77: skipped)"""
import os
import plistlib
import subprocess
import sys
import tempfile

plist_path, entry_path = sys.argv[1], sys.argv[2]
if os.geteuid() != 0:
    print("skipped: needs root for a private mount namespace")
    sys.exit(77)
if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
    print("skipped: no private mount namespaces here")
    sys.exit(77)

with open(plist_path, "rb") as f:
    plist = plistlib.load(f)
log = plist["StandardOutPath"]
pid_file = None
for line in open(entry_path):
    fields = line.split("#", 1)[0].split()
    if fields and fields[0] == log:
        pid_file = next(f for f in fields[1:] if f.startswith("/"))
if pid_file is None:
    sys.exit(f"{entry_path}: no pid file for {log}")
run_dir = os.path.realpath(os.path.dirname(pid_file))

CASES = [
    # (what, mount options of the pid file's directory, whether the pid file is written)
    ("pid directory writable", "mode=0755", True),
    ("pid directory read-only", "ro", False),
]
failures = 0
with tempfile.TemporaryDirectory() as work:
    standin = os.path.join(work, "daemon")
    with open(standin, "w") as f:
        f.write(f'#!/bin/sh\necho "$$ $#" > {work}/ran\n')
    os.chmod(standin, 0o755)
    for what, options, writes_pid in CASES:
        for name in ("ran", "pid"):
            if os.path.exists(os.path.join(work, name)):
                os.unlink(os.path.join(work, name))
        argv = plist["ProgramArguments"][:-1] + [standin]
        inner = ('mount -t tmpfs -o "$1" tmpfs "$2" && shift 3 && "$@"; '
                 f'cat {pid_file} > {work}/pid 2>/dev/null; exit 0')
        subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", inner, "sh",
                        options, run_dir, "--"] + argv, check=True, capture_output=True)
        try:
            pid, argc = open(os.path.join(work, "ran")).read().split()
        except FileNotFoundError:
            print(f"FAIL ({what}): the daemon did not start")
            failures += 1
            continue
        if argc != "0":
            print(f"FAIL ({what}): the daemon got {argc} arguments")
            failures += 1
        recorded = open(os.path.join(work, "pid")).read().strip() if writes_pid else None
        if writes_pid and recorded != pid:
            print(f"FAIL ({what}): {pid_file} holds {recorded!r}, the daemon is {pid}")
            failures += 1
sys.exit(1 if failures else 0)
