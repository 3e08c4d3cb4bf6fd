#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks the administrative templates as Group Policy tools read them: both files parse as XML,
the ADMX names exactly the registry values the broker reads (below its one key), and every
string and presentation the ADMX refers to is in the ADML.
Usage: check-admin-templates.py GENERATOR   (tarnvel-admin-templates of the native build)"""
import os, re, subprocess, sys, tempfile
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
KEY = "Software\\Policies\\Tarnvel\\Broker"


def main(generator):
    read = subprocess.run([generator, "--names"], check=True, capture_output=True, text=True).stdout.split()
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([generator, out], check=True)
        admx = ET.parse(os.path.join(out, "TarnvelBroker.admx")).getroot()
        adml = ET.parse(os.path.join(out, "en-US", "TarnvelBroker.adml")).getroot()
    errors = []
    named = []
    for policy in admx.iter(NS + "policy"):
        if policy.get("key") != KEY:
            errors.append(f"{policy.get('name')}: key {policy.get('key')}")
        for element in [policy] + list(policy.iter(NS + "multiText")):
            if element.get("valueName"):
                named.append(element.get("valueName"))
    if sorted(named) != sorted(read) or len(set(named)) != len(named):
        errors.append(f"ADMX names {sorted(named)}, the broker reads {sorted(read)}")
    strings = {s.get("id") for s in adml.iter(NS + "string")}
    presentations = {p.get("id") for p in adml.iter(NS + "presentation")}
    text = ET.tostring(admx, encoding="unicode")
    for kind, ident in re.findall(r"\$\((string|presentation)\.([^)]*)\)", text):
        if ident not in (strings if kind == "string" else presentations):
            errors.append(f"ADML lacks {kind} {ident}")
    for e in errors:
        print("check-admin-templates:", e, file=sys.stderr)
    print(f"admin templates: {len(named)} values, {'ok' if not errors else 'FAILED'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
