#!/usr/bin/env python3
"""Reads the built package's tables and fails on each Windows Installer rule
that the package relies on and Wine's msiexec does not enforce: on Windows
these decide whether an upgrade, a rollback or a repair works at all.
Each rule cites the page of Windows Installer's documentation that states it.
usage: package_rules.py PACKAGE"""
import re
import subprocess
import sys

package = sys.argv[1]


def rows(name):
    """The rows of table NAME as dicts by column name; none where it is absent."""
    export = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True)
    if export.returncode != 0:
        return []
    lines = export.stdout.replace("\r", "").split("\n")
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:] if line]


def stream(name):
    return subprocess.run(["msiinfo", "extract", package, name], capture_output=True).stdout


actions = {row["Action"]: int(row["Type"]) for row in rows("CustomAction")}
sequence = {row["Action"]: int(row["Sequence"]) for row in rows("InstallExecuteSequence")}
files = rows("File")
properties = {row["Property"]: row["Value"] for row in rows("Property")}
IN_SCRIPT, ROLLBACK, COMMIT, ASYNC = 0x400, 0x100, 0x200, 0x80


def actions_before_remove_existing_products():
    """The actions between InstallInitialize and RemoveExistingProducts, or
    where RemoveExistingProducts is when it is not after InstallInitialize."""
    start, end = sequence.get("InstallInitialize", 0), sequence.get("RemoveExistingProducts", 0)
    if not 0 < start < end:
        return [f"RemoveExistingProducts at {end}, InstallInitialize at {start}"]
    return [action for action, number in sequence.items() if start < number < end]


def has_key_path(component):
    # msidbComponentAttributesRegistryKeyPath: the key path is a Registry row.
    owner = "File" if int(component["Attributes"]) & 4 == 0 else "Registry"
    return any(row[owner] == component["KeyPath"] and row["Component_"] == component["Component"]
               for row in rows(owner))


def passing_uninstall_switch():
    """The programs and DLLs of custom actions that give a program /u: the
    monitor's /u deletes the Run value, the RunValue component's key path. A
    DLL's command lines are among its strings, the switch at their end."""
    found = set()
    for row in rows("CustomAction"):
        kind = int(row["Type"]) & 0x3F
        if kind == 1 and re.search(rb'[ "][/-][uU]\x00', stream("Binary." + row["Source"])):
            found.add(f"the DLL {row['Source']}")
        elif kind in (2, 18, 34, 50) and re.search(r"(^|\s)[/-][uU](\s|$)", row["Target"]):
            found.add(row["Action"])
    return sorted(found)


# Each rule: what must hold, and the rows that break it.
RULES = [
    # "Synchronous and Asynchronous Custom Actions": the installer can only
    # run rollback custom actions synchronously; "Commit Custom Actions" are
    # written into the rollback script too ("Custom Action Return Processing
    # Options": msidbCustomActionTypeAsync cannot be used with them).
    ("rollback and commit actions run synchronously",
     [a for a, t in actions.items() if t & IN_SCRIPT and t & (ROLLBACK | COMMIT) and t & ASYNC]),
    # "ICE63", "RemoveExistingProducts Action": immediately after
    # InstallInitialize is one of the allowed places, and the one chosen here,
    # so that the old version's removal belongs to the new one's transaction.
    ("RemoveExistingProducts comes immediately after InstallInitialize", actions_before_remove_existing_products()),
    # "REINSTALLMODE property", "File Versioning Rules": with the default "o"
    # an equal version on disk is not copied, and the old product's removal
    # inside the transaction then deletes it. The monitor's file version is
    # the same in every build.
    ("REINSTALLMODE copies over an equal file version",
     [] if re.search("[ea]", properties.get("REINSTALLMODE", "")) else [properties.get("REINSTALLMODE", "omus (the default)")]),
    # "ICE77": in-script custom actions between InstallInitialize and InstallFinalize.
    ("deferred, rollback and commit actions lie between InstallInitialize and InstallFinalize",
     [a for a, t in actions.items() if t & IN_SCRIPT and a in sequence and
      not sequence.get("InstallInitialize", 0) < sequence[a] < sequence.get("InstallFinalize", 0)]),
    # "MsiFileHash Table": it can only be used with unversioned files ("ICE60").
    ("MsiFileHash rows name only unversioned files",
     [r["File_"] for r in rows("MsiFileHash") for f in files if f["File"] == r["File_"] and f["Version"]]),
    # "ICE60": a versioned file that is not a font has a language.
    ("versioned files have a language",
     [f["File"] for f in files if f["Version"] and not f["Language"] and
      f["Version"] not in {g["File"] for g in files}]),
    # "ICE02": the installer detects a component by its key path, a file or
    # registry row of that component.
    ("every component has a key path of its own", [c["Component"] for c in rows("Component") if not has_key_path(c)]),
    # "ICE02" again: a custom action that deletes a key path leaves the
    # component broken, and nothing rewrites it but a repair.
    ("no custom action passes the uninstall switch /u",
     passing_uninstall_switch()),
    # "VersionNT property", "LaunchCondition Table": Windows NT 5.x only,
    # never in the way of an installed product's removal or repair.
    ("the launch condition admits Windows NT 5.x and an installed product",
     [] if "Installed OR (VersionNT >= 500 AND VersionNT <= 502)" in {r["Condition"] for r in rows("LaunchCondition")}
     else ["no such LaunchCondition row"]),
    # "REBOOT property", "System Reboots": ReallySuppress suppresses the
    # restart at the end of an installation that replaced a file in use.
    ("REBOOT is ReallySuppress", [] if properties.get("REBOOT") == "ReallySuppress" else [properties.get("REBOOT", "(not set)")]),
]

failures = 0
for rule, broken in RULES:
    if broken:
        failures += 1
        print(f"FAIL: {rule}\n  expected: none\n  found:    {' '.join(map(str, broken))}")
if failures:
    sys.exit(f"{failures} of {len(RULES)} rules broken")
print(f"package rules: all {len(RULES)} hold")
