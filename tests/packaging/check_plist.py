#!/usr/bin/env python3
"""Checks the generated launchd definition against the daemon it starts: a property list launchd can
load, that runs the daemon itself (no shell in between, no arguments), with its standard error in
the same file as its output (the daemon reopens both together when the log is rotated), and a
stop timeout above the daemon's drain deadline, so that launchd's SIGKILL never comes before the
requests already read are answered.

usage: check_plist.py PLIST DAEMON_PATH LIFECYCLE_HEADER"""
import plistlib
import re
import sys
import xml.dom.minidom

path, daemon, header = sys.argv[1:4]
xml.dom.minidom.parse(path)  # well-formed XML, or an exception
with open(path, "rb") as f:
    plist = plistlib.load(f, fmt=plistlib.FMT_XML)
drain = int(re.search(r"kDrainDeadline\{(\d+)\}", open(header).read()).group(1))

problems = []
if plist.get("ProgramArguments") != [daemon]:
    problems.append(f"ProgramArguments {plist.get('ProgramArguments')}, want [{daemon}]")
if plist.get("StandardErrorPath") != plist.get("StandardOutPath"):
    problems.append("standard error does not go to the log")
if not isinstance(plist.get("ExitTimeOut"), int) or plist["ExitTimeOut"] < drain + 5:
    problems.append(f"ExitTimeOut {plist.get('ExitTimeOut')} leaves no margin over {drain} s")
# A file launchd creates with this umask is closed to other users and not writable by the group.
if not isinstance(plist.get("Umask"), int) or plist["Umask"] & 0o027 != 0o027:
    problems.append(f"Umask {plist.get('Umask')}")
# launchd cannot set a soft limit above the hard one.
soft = plist.get("SoftResourceLimits", {}).get("NumberOfFiles", 0)
if soft > plist.get("HardResourceLimits", {}).get("NumberOfFiles", soft):
    problems.append("the soft descriptor limit exceeds the hard one")
if problems:
    sys.exit(f"{path}: " + "; ".join(problems))
print(f"{path}: ok")
