#!/usr/bin/env python3
"""Stages the daemon component as a Mac receives it (the macOS install paths, the launchd files
switched on) into scratch roots, with the daemon binary given, and checks what it installs against
the daemon. Exactly the daemon, its launchd definition, the log rotation entry and the log are
installed, each with its mode, and a log already there keeps its lines and gets mode 640 like every
new log. The definition runs the daemon itself (no shell in between, no arguments), sends its
standard error to the file of its output (the daemon reopens both together when the log is
rotated), and lets launchd's SIGKILL come only after the daemon's drain deadline. The rotation entry
compresses that file and signals the daemon with SIGHUP, on which it reopens its log (any signal
that ends it would end the requests in flight), through the pid file the daemon itself writes.

usage: check_launchd_install.py SOURCE_DIR DAEMON_BINARY WORK CXX_COMPILER"""
import os
import plistlib
import re
import shutil
import stat
import subprocess
import sys

source, daemon_binary, work, cxx = sys.argv[1:5]
shutil.rmtree(work, ignore_errors=True)
staging_build = os.path.join(work, "build")
daemon_dir = "/Library/PrivilegedHelperTools"


def run(*argv, env=None):
    done = subprocess.run(argv, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")


run("cmake", "-S", source, "-B", staging_build, f"-DCMAKE_CXX_COMPILER={cxx}",
    "-DPELMOR_BUILD_TESTS=OFF", "-DPELMOR_INSTALL_LAUNCHD=ON", f"-DPELMOR_DAEMON_DIR={daemon_dir}")
os.makedirs(os.path.join(staging_build, "daemon"), exist_ok=True)
shutil.copy2(daemon_binary, os.path.join(staging_build, "daemon", "pelmor_helper"))

PLIST = "Library/LaunchDaemons/pelmor-helper.plist"
ROTATION = "etc/newsyslog.d/pelmor-helper.conf"
LOG = "var/log/pelmor-helper.log"
INSTALLED = {"Library/PrivilegedHelperTools/pelmor_helper": 0o755, PLIST: 0o644, ROTATION: 0o644,
             LOG: 0o640}
CASES = [
    # (what, the log before the install as (content, mode) or None)
    ("first install", None),
    ("over a log that others could read", (b"[pelmor-helper] starting, pid=1\n", 0o644)),
    ("over a log already closed to others", (b"[pelmor-helper] starting, pid=2\n", 0o600)),
]
failures = []
for number, (what, before) in enumerate(CASES):
    root = os.path.join(work, f"root{number}")
    if before is not None:
        os.makedirs(os.path.join(root, "var/log"))
        with open(os.path.join(root, LOG), "wb") as f:
            f.write(before[0])
        os.chmod(os.path.join(root, LOG), before[1])
    run("cmake", "--install", staging_build, "--component", "daemon",
        env=dict(os.environ, DESTDIR=root))

    found = {}
    for parent, _, files in os.walk(root):
        for name in files:
            full = os.path.join(parent, name)
            found[os.path.relpath(full, root)] = stat.S_IMODE(os.stat(full).st_mode)
    if found != INSTALLED:
        failures.append(f"{what}: installed {sorted(f'{k} {v:o}' for k, v in found.items())}")
    content = open(os.path.join(root, LOG), "rb").read() if LOG in found else None
    if content != (before[0] if before else b""):
        failures.append(f"{what}: the log holds {content!r}")

# The launchd files as installed, against the daemon.
root = os.path.join(work, "root0")
with open(os.path.join(root, PLIST), "rb") as f:
    plist = plistlib.load(f, fmt=plistlib.FMT_XML)
header = open(os.path.join(source, "daemon/lifecycle.h")).read()
drain = int(re.search(r"kDrainDeadline\{(\d+)\}", header).group(1))
soft, hard = (plist.get(f"{kind}ResourceLimits", {}).get("NumberOfFiles", 0)
              for kind in ("Soft", "Hard"))
# logfile_name [owner:group] mode count size when flags [/pid_file] [sig_num]; '#' starts a comment.
entries = [line.split("#", 1)[0].split() for line in open(os.path.join(root, ROTATION))]
entries = [fields[1:] for fields in entries if fields and fields[0] == plist["StandardOutPath"]]
fields = [f for f in entries[0] if ":" not in f] if len(entries) == 1 else [""] * 5
flags, rest = fields[4], fields[5:]
pid_file = rest[0] if rest and rest[0].startswith("/") else "(none)"
checks = {
    "the definition runs the daemon": plist["ProgramArguments"] == [f"{daemon_dir}/pelmor_helper"],
    "standard error goes to the log": plist.get("StandardErrorPath") == plist["StandardOutPath"],
    f"ExitTimeOut gives the {drain} s drain a margin": plist.get("ExitTimeOut", 0) >= drain + 5,
    # A file that launchd creates is closed to other users and not writable by the group.
    "Umask": isinstance(plist.get("Umask"), int) and plist["Umask"] & 0o027 == 0o027,
    "the soft descriptor limit is within the hard one": soft <= hard or not hard,
    "one rotation entry for the log": len(entries) == 1,
    "one compression": len(set(flags) & set("JZ")) == 1,
    f"the daemon writes its pid to {pid_file}": "N" not in flags and
    (pid_file.encode() + b"\0") in open(daemon_binary, "rb").read(),
    "SIGHUP, on which the daemon reopens its log": (int(rest[1]) if len(rest) > 1 else 1) == 1,
}
failures += [f"not so: {what}" for what, ok in checks.items() if not ok]
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
