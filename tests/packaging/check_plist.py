#!/usr/bin/env python3
"""Checks the generated launchd definition: valid XML, a property list launchd can load, and the
settings an administrator relies on (root, started at boot, kept alive, logged to a file)."""
import plistlib
import sys
import xml.dom.minidom

path, daemon = sys.argv[1], sys.argv[2]
xml.dom.minidom.parse(path)  # well-formed XML, or an exception
with open(path, "rb") as f:
    plist = plistlib.load(f, fmt=plistlib.FMT_XML)

expected = {
    "Label": "pelmor-helper",
    "ProgramArguments": [daemon],
    "UserName": "root",
    "RunAtLoad": True,
    "KeepAlive": True,
    "StandardOutPath": "/var/log/pelmor-helper.log",
    "StandardErrorPath": "/var/log/pelmor-helper.log",
}
wrong = {k: plist.get(k) for k, v in expected.items() if plist.get(k) != v}
if wrong:
    sys.exit(f"{path}: unexpected values {wrong}")
print(f"{path}: ok")
