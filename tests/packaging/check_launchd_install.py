#!/usr/bin/env python3
"""Stages the daemon component as a Mac receives it (the macOS install paths, the launchd files
switched on) into scratch roots, with the daemon binary given: exactly the daemon, its
launchd definition naming it, the log rotation entry and the log are installed, each with its mode,
and a log already there keeps its lines and gets mode 640 like every new log.

usage: check_launchd_install.py SOURCE_DIR DAEMON_BINARY WORK CXX_COMPILER"""
import os
import plistlib
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

INSTALLED = {
    "Library/PrivilegedHelperTools/pelmor_helper": 0o755,
    "Library/LaunchDaemons/pelmor-helper.plist": 0o644,
    "etc/newsyslog.d/pelmor-helper.conf": 0o644,
    "var/log/pelmor-helper.log": 0o640,
}
LOG = "var/log/pelmor-helper.log"
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
    with open(os.path.join(root, "Library/LaunchDaemons/pelmor-helper.plist"), "rb") as f:
        program = plistlib.load(f)["ProgramArguments"][-1]
    if program != f"{daemon_dir}/pelmor_helper":
        failures.append(f"{what}: the definition starts {program}")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
