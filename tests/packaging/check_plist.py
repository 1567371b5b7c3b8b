#!/usr/bin/env python3
"""Checks the generated launchd definition: valid XML, a property list launchd can load, and the
settings an administrator relies on (root, started at boot, kept alive, logged to a file that
others cannot read, enough descriptors for every connection the daemon admits)."""
import plistlib
import sys
import xml.dom.minidom

path, daemon = sys.argv[1], sys.argv[2]
xml.dom.minidom.parse(path)  # well-formed XML, or an exception
with open(path, "rb") as f:
    plist = plistlib.load(f, fmt=plistlib.FMT_XML)

expected = {
    "Label": "pelmor-helper",
    "UserName": "root",
    "RunAtLoad": True,
    "KeepAlive": True,
    "StandardOutPath": "/var/log/pelmor-helper.log",
    "StandardErrorPath": "/var/log/pelmor-helper.log",
    "SoftResourceLimits": {"NumberOfFiles": 4096},
}
wrong = {k: plist.get(k) for k, v in expected.items() if plist.get(k) != v}

# The daemon is the program that runs in the end, without arguments of its own (what runs before it
# is checked by check_start_command.py).
args = plist.get("ProgramArguments", [])
if not args or args[-1] != daemon:
    wrong["ProgramArguments"] = args
# A file launchd creates with this umask is closed to other users and not writable by the group.
umask = plist.get("Umask")
if not isinstance(umask, int) or umask & 0o027 != 0o027:
    wrong["Umask"] = umask
# launchd cannot set a soft limit above the hard one.
hard = plist.get("HardResourceLimits", {}).get("NumberOfFiles")
if hard is not None and hard < 4096:
    wrong["HardResourceLimits"] = plist["HardResourceLimits"]
if wrong:
    sys.exit(f"{path}: unexpected values {wrong}")
print(f"{path}: ok")
