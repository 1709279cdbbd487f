#!/usr/bin/env python3
"""Reads the built package's tables and fails on each Windows Installer rule
that the package relies on and Wine's msiexec does not enforce, each citing
the page that states it; then fails unless each rule, and it alone, refuses
a copy of the package broken in that rule. usage: package_rules.py PACKAGE"""
import functools
import re
import shutil
import subprocess
import sys
import tempfile

IN_SCRIPT, ROLLBACK, COMMIT, ASYNC, NO_IMPERSONATE, TS_AWARE = 0x400, 0x100, 0x200, 0x80, 0x800, 0x4000
# Upgrade attributes: 0x2 detect only, 0x4 go on when the removal fails, 0x100 and 0x200 both ends included.
UPGRADE_MASK, BOTH_ENDS = 0x306, 0x300
# Each rollback action and the deferred actions whose work it undoes.
UNDOES = {"RestartMonitor": ["EndMonitor", "EndRemainingMonitors"]}
NT5 = "Installed OR (VersionNT >= 500 AND VersionNT <= 502)"
# Where each action of ours that sets a property or changes the machine runs,
# as the design gives it: a property only immediately; the Run key and the
# monitors of every session as LocalSystem; the installing person's monitor
# as that person.
RUNS_AS = {"SetRunCommand": "immediate", "CheckInteractiveLogon": "immediate",
           "EndMonitor": "person", "RestartMonitor": "person",
           "EndRemainingMonitors": "system", "CreateRunKey": "system"}


class Package(str):
    """A package by its path."""
    @functools.lru_cache(maxsize=None)
    def rows(self, name):
        """The rows of table NAME as dicts by column name; none where it is absent."""
        export = subprocess.run(["msiinfo", "export", self, name], capture_output=True, text=True)
        lines = export.stdout.replace("\r", "").split("\n") if export.returncode == 0 else [""]
        return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:] if line]

    def stream(self, name):
        return subprocess.run(["msiinfo", "extract", self, name], capture_output=True).stdout

    def types(self):
        return {row["Action"]: int(row["Type"]) for row in self.rows("CustomAction")}

    def sequence(self, table="InstallExecuteSequence"):
        return {row["Action"]: int(row["Sequence"]) for row in self.rows(table) if row["Sequence"]}

    def property(self, name, default=""):
        return {row["Property"]: row["Value"] for row in self.rows("Property")}.get(name, default)


def actions_before_remove_existing_products(p):
    start, end = p.sequence().get("InstallInitialize", 0), p.sequence().get("RemoveExistingProducts", 0)
    condition = {r["Action"]: r["Condition"] for r in p.rows("InstallExecuteSequence")}.get("RemoveExistingProducts")
    if not 0 < start < end:
        return [f"RemoveExistingProducts at {end}, InstallInitialize at {start}"]
    return [action for action, number in p.sequence().items() if start < number < end] + \
        ([f"RemoveExistingProducts if {condition}"] if condition else [])


def older_versions_kept(p):
    """A row that removes whole (Remove empty) every version from 0.0.0 up to this one, both included."""
    rows = [u for u in p.rows("Upgrade") if u["UpgradeCode"] == p.property("UpgradeCode")]
    found = [(int(u["Attributes"]) & UPGRADE_MASK, u["VersionMin"], u["VersionMax"], u["Remove"]) for u in rows]
    return [] if (BOTH_ENDS, "0.0.0", p.property("ProductVersion"), "") in found else [
        f"{u['ActionProperty']} {f}" for u, f in zip(rows, found)]


def in_script_misplaced(p):
    """Outside the install sequence only built-in types: an administrative image needs none of ours."""
    found = []
    for table in ("InstallExecuteSequence", "AdminExecuteSequence", "AdvtExecuteSequence"):
        order = p.sequence(table)
        start, end = order.get("InstallInitialize", 0), order.get("InstallFinalize", 0)
        for action, kind in p.types().items():
            if action in order and table != "InstallExecuteSequence" and kind & 0x3F not in (19, 35, 51):
                found.append(f"{table}.{action}")
            elif action in order and kind & IN_SCRIPT and not start < order[action] < end:
                found.append(f"{table}.{action} at {order[action]}, not within {start}..{end}")
    return found


def rollback_after_what_it_undoes(p):
    order = p.sequence()
    rollbacks = [a for a, t in p.types().items() if t & IN_SCRIPT and t & ROLLBACK and a in order]
    return [f"{r} at {order[r]} (undoes {UNDOES.get(r, 'nothing known')})" for r in rollbacks
            if r not in UNDOES or any(order.get(a, 0) <= order[r] for a in UNDOES[r])]


def launch_conditions_late(p):
    found = []
    for table in ("InstallUISequence", "InstallExecuteSequence"):
        order = p.sequence(table)
        found += [] if "LaunchConditions" in order else [f"{table}: none"]
        found += [f"{table}: {a} first" for a in order if (a in p.types() or a == "InstallInitialize") and
                  order[a] <= order.get("LaunchConditions", 0)]
    return found


def newer_version_not_refused(p):
    """An OnlyDetect row from this version up, whose property a launch condition refuses."""
    detected = [u["ActionProperty"] for u in p.rows("Upgrade") if int(u["Attributes"]) & 0x102 == 2 and not
                u["VersionMax"] and (u["UpgradeCode"], u["VersionMin"]) ==
                (p.property("UpgradeCode"), p.property("ProductVersion"))]
    late = [t for t in ("InstallUISequence", "InstallExecuteSequence")
            if p.sequence(t).get("FindRelatedProducts", 1 << 30) > p.sequence(t).get("LaunchConditions", 1 << 30)]
    conditions = {r["Condition"] for r in p.rows("LaunchCondition")}
    return late + ([] if {f"NOT {d}" for d in detected} & conditions else ["no newer version in a condition"])


def start_not_only_for_a_person(p):
    """StartMonitor and RestartMonitor's data need InteractiveLogon, set before them."""
    order = p.sequence()
    condition = next((r["Condition"] for r in p.rows("InstallExecuteSequence") if r["Action"] == "StartMonitor"), "")
    data = {r["Action"]: r["Target"] for r in p.rows("CustomAction")}.get("SetRestartMonitorData", "")
    found = [] if "InteractiveLogon" in condition.split(" AND ") and " OR " not in condition else [condition]
    found += [] if data.startswith("[InteractiveLogon]|") else [f"SetRestartMonitorData: {data}"]
    return found + [f"{a} before CheckInteractiveLogon" for a in ("SetRestartMonitorData", "StartMonitor")
                    if order.get(a, 0) <= order.get("CheckInteractiveLogon", 1 << 30)]


def passing_uninstall_switch(p):
    """Actions and DLLs that give a program /u, in a command line or alone, ASCII or UTF-16."""
    found = set()
    for row in p.rows("CustomAction"):
        kind = int(row["Type"]) & 0x3F
        dll = p.stream("Binary." + row["Source"]) if kind == 1 else b""
        if re.search(rb'(^|[\0 "])[/-][uU]\0', dll) or re.search(rb'(^|\0\0|[ "]\0)[/-]\0[uU]\0\0\0', dll):
            found.add(f"the DLL {row['Source']}")
        elif kind in (2, 18, 34, 50) and re.search(r"(^|\s)[/-][uU](\s|$)", row["Target"]):
            found.add(row["Action"])
    return sorted(found)


def out_of_order(p, *actions):
    """Unless the actions are all sequenced, in this order: their sequence numbers."""
    order = [p.sequence().get(a, 0) for a in actions]
    return [] if 0 < min(order) and order == sorted(set(order)) else [f"{actions} at {order}"]


def context(kind):
    if not kind & IN_SCRIPT:
        return "immediate"
    return "system" if kind & NO_IMPERSONATE else "person"


def rollback_conditions(p):
    """A rollback action's condition holds, as a term, each condition of what it undoes."""
    conditions = {r["Action"]: r["Condition"] for r in p.rows("InstallExecuteSequence")}
    return [f"{r} if {conditions.get(r)}, {a} if {conditions.get(a)}"
            for r, undone in UNDOES.items() for a in undone
            if conditions.get(a) not in (conditions.get(r) or "").split(" AND ")]


def has_key_path(p, component):  # a Registry row with msidbComponentAttributesRegistryKeyPath
    owner = "File" if int(component["Attributes"]) & 4 == 0 else "Registry"
    return any((r[owner], r["Component_"]) == (component["KeyPath"], component["Component"]) for r in p.rows(owner))


# Each rule: a key, what must hold (citing its page), and what in a package breaks it.
RULES = [
    ("sync", "rollback and commit actions run synchronously (Synchronous and Asynchronous Custom Actions)",
     lambda p: [a for a, t in p.types().items() if t & IN_SCRIPT and t & (ROLLBACK | COMMIT) and t & ASYNC]),
    ("undo", "a rollback action precedes what it rolls back (Rollback Custom Actions)", rollback_after_what_it_undoes),
    ("rep", "RemoveExistingProducts right after InstallInitialize (ICE63), unconditioned: it removes what "
     "FindRelatedProducts found (RemoveExistingProducts Action)", actions_before_remove_existing_products),
    ("older", "an Upgrade row removes every version up to this one included, whole: not detect-only, not going on "
     "when the removal fails, Remove empty for REMOVE=ALL (Upgrade Table)", older_versions_kept),
    # With the default "o" an equal version on disk is not copied, and the
    # old product's removal inside the transaction deletes it; "a" and "d"
    # would copy over a newer one.
    ("mode", "REINSTALLMODE copies over an equal version, as the monitor's is in every build, never over a newer one: "
     "e, without a or d (REINSTALLMODE property)", lambda p: [] if re.fullmatch("[^ad]*e[^ad]*", p.property(
         "REINSTALLMODE", "omus").lower()) else [p.property("REINSTALLMODE", "omus")]),
    ("ui", "no deferred action in a UI sequence, where no script is being written: error 2762 (Deferred Execution "
     "Custom Actions)", lambda p: [f"{t}.{a}" for t in ("InstallUISequence", "AdminUISequence")
                                  for a in p.sequence(t) if p.types().get(a, 0) & IN_SCRIPT]),
    ("wait", "a program started after InstallFinalize runs asynchronously without a wait, or the installation "
     "waits for a monitor that never ends (Custom Action Return Processing Options)",
     lambda p: [a for a, t in p.types().items() if t & 0x3F in (2, 18, 34, 50) and t & 0xC0 != 0xC0 and
                p.sequence().get(a, 0) > p.sequence().get("InstallFinalize", 1 << 30)]),
    # A type 51 action whose property is a deferred action's name sets its CustomActionData.
    ("data", "a deferred action's CustomActionData is set before it runs (Obtaining Context Information for "
     "Deferred Execution Custom Actions)", lambda p: [f"{r['Action']} after {r['Source']}" for r in
        p.rows("CustomAction") if int(r["Type"]) & 0x3F == 51 and p.types().get(r["Source"], 0) & IN_SCRIPT
        and not 0 < p.sequence().get(r["Action"], 0) < p.sequence().get(r["Source"], 0)]),
    ("ice77", "in-script actions lie between InstallInitialize and InstallFinalize (ICE77), and only built-in "
     "ones in the administrative and advertisement sequences (ICE72)", in_script_misplaced),
    ("ice68", "only deferred actions carry the no-impersonation bit (ICE68)",
     lambda p: [a for a, t in p.types().items() if t & NO_IMPERSONATE and not t & IN_SCRIPT]),
    ("ts", "impersonated deferred actions are terminal-server aware (Custom Action In-Script Execution Options)",
     lambda p: [a for a, t in p.types().items() if t & IN_SCRIPT and not t & (NO_IMPERSONATE | TS_AWARE)]),
    ("launch", "LaunchConditions first in both sequences (LaunchConditions Action)", launch_conditions_late),
    ("ice61", "every Upgrade ActionProperty is public, without a lower-case letter (Public Properties), and in "
     "SecureCustomProperties, a list of public properties, or never reaches the server (ICE61)",
     lambda p: [u["ActionProperty"] for u in p.rows("Upgrade") if u["ActionProperty"] != u["ActionProperty"].upper()
                or u["ActionProperty"] not in p.property("SecureCustomProperties").split(";")]),
    ("newer", "a newer installed version is detected and refused before anything is written (Preventing an "
     "Old Package from Installing Over a Newer Version)", newer_version_not_refused),
    ("hash", "MsiFileHash rows name only unversioned files (MsiFileHash Table)",
     lambda p: sorted({r["File_"] for r in p.rows("MsiFileHash")} & {f["File"] for f in p.rows("File") if f["Version"]})),
    ("ice60", "versioned files that are not fonts have a language (ICE60)",
     lambda p: [f["File"] for f in p.rows("File") if f["Version"] and not f["Language"] and
                f["Version"] not in {g["File"] for g in p.rows("File")}]),
    ("key", "every component has a key path of its own, by which it is detected (ICE02)",
     lambda p: [c["Component"] for c in p.rows("Component") if not has_key_path(p, c)]),
    # 0x1 source only, 0x2 optional, 0x10 permanent, 0x80 never overwrite.
    ("local", "every component is installed locally, removed on uninstall and replaced by an upgrade (Component "
     "Table: Attributes)", lambda p: [c["Component"] for c in p.rows("Component") if int(c["Attributes"]) & 0x93]),
    # The monitor's /u deletes the Run value, the RunValue component's key
    # path, which only RemoveRegistryValues may remove, inside the
    # transaction, so that a rollback restores it.
    ("/u", "no custom action passes the uninstall switch /u (Component Table: KeyPath)", passing_uninstall_switch),
    ("nt5", "the launch condition admits Windows NT 5.x, and an installed product for its removal (VersionNT "
     "property)", lambda p: [] if NT5 in {r["Condition"] for r in p.rows("LaunchCondition")} else ["no such row"]),
    ("reboot", "REBOOT is ReallySuppress: a restart is left to the administrator (REBOOT property)",
     lambda p: [] if p.property("REBOOT") == "ReallySuppress" else [p.property("REBOOT", "(not set)")]),
    ("person", "a monitor starts only for a person, whose token holds INTERACTIVE; any other account's would "
     "never learn that its session ends (Well-known SIDs)", start_not_only_for_a_person),
    ("end", "running monitors end before their file is removed or replaced, politely first: a file "
     "in use is replaced only at a restart, which REBOOT leaves to the administrator (System "
     "Reboots)", lambda p: out_of_order(p, "EndMonitor", "EndRemainingMonitors", "RemoveFiles",
                                         "InstallFiles")),
    ("runkey", "the Run key is put back after RemoveRegistryValues, which may remove it, and "
     "before WriteRegistryValues, which must follow it (RemoveRegistryValues Action)",
     lambda p: out_of_order(p, "RemoveRegistryValues", "CreateRunKey", "WriteRegistryValues")),
    ("as", "a property is set only by an immediate action; deferred ones run as the person, or "
     "without impersonation as LocalSystem (Deferred Execution Custom Actions; Custom Action "
     "In-Script Execution Options)", lambda p: [
         f"{a} {context(p.types().get(a, 0))}" for a, where in RUNS_AS.items()
         if context(p.types().get(a, 0)) != where]),
    ("commit", "the monitor starts once the installation is committed, after InstallFinalize "
     "(InstallFinalize Action)", lambda p: out_of_order(p, "InstallFinalize", "StartMonitor")),
    ("undoif", "a rollback action is conditioned on what it rolls back (Rollback Custom Actions)",
     rollback_conditions),
]


def older_row_with(attributes):  # Attributes is part of the Upgrade table's key: the row is replaced.
    return ["DELETE FROM Upgrade WHERE ActionProperty = 'OLDERVERSIONFOUND'", "INSERT INTO Upgrade (UpgradeCode, "
            "VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('%s', '0.0.0', '%s', %d, 'OLDERVERSIONFOUND')"
            % (built.property("UpgradeCode"), built.property("ProductVersion"), attributes)]


def sequence(action, number):
    return f"UPDATE InstallExecuteSequence SET Sequence = {number} WHERE Action = '{action}'"


built = Package(sys.argv[1])


# Each rule's broken copies of the package ("KEY", "KEY 2", ...): SQL, or bytes appended to a stream.
# Custom action types as designed: 1 a DLL, 0x400 deferred, 0x100 rollback, 0x4000 TS-aware.
BROKEN = {
    "sync": [f"UPDATE CustomAction SET Type = {0x4501 | ASYNC} WHERE Action = 'RestartMonitor'"],
    "undo": ["UPDATE InstallExecuteSequence SET Sequence = 3496 WHERE Action = 'RestartMonitor'"],
    "rep": ["UPDATE InstallExecuteSequence SET Sequence = 1410 WHERE Action = 'RemoveExistingProducts'"],
    "rep 2": ["UPDATE InstallExecuteSequence SET Condition = 'Installed' WHERE Action = 'RemoveExistingProducts'"],
    "older": ["DELETE FROM Upgrade WHERE ActionProperty = 'OLDERVERSIONFOUND'"],
    "older 2": older_row_with(770),
    "older 3": ["UPDATE Upgrade SET Remove = 'Gone' WHERE ActionProperty = 'OLDERVERSIONFOUND'"],
    "older 4": older_row_with(0x100),
    "mode": ["UPDATE Property SET Value = 'omus' WHERE Property = 'REINSTALLMODE'"],
    "mode 2": ["UPDATE Property SET Value = 'eamus' WHERE Property = 'REINSTALLMODE'"],
    "ui": ["INSERT INTO InstallUISequence (Action, Sequence) VALUES ('EndMonitor', 1300)"],
    "wait": ["UPDATE CustomAction SET Type = 18 WHERE Action = 'StartMonitor'"],
    "wait 2": [f"UPDATE CustomAction SET Type = {18 | ASYNC} WHERE Action = 'StartMonitor'"],
    "data": ["UPDATE InstallExecuteSequence SET Sequence = 3496 WHERE Action = 'SetEndRemainingMonitorsData'"],
    "ice77": ["INSERT INTO AdminExecuteSequence (Action, Sequence) VALUES ('EndRemainingMonitors', 1450)"],
    "ice68": [f"UPDATE CustomAction SET Type = {1 | NO_IMPERSONATE} WHERE Action = 'SetRunCommand'"],
    "ts": [f"UPDATE CustomAction SET Type = {0x4401 & ~TS_AWARE} WHERE Action = 'EndMonitor'"],
    "launch": [f"DELETE FROM Install{s}Sequence WHERE Action = 'LaunchConditions'" for s in ("UI", "Execute")],
    "ice61": ["UPDATE Property SET Value = '' WHERE Property = 'SecureCustomProperties'"],
    "ice61 2": ["UPDATE Upgrade SET ActionProperty = 'olderVersionFound' WHERE ActionProperty = 'OLDERVERSIONFOUND'",
                "UPDATE Property SET Value = 'olderVersionFound;NEWERVERSIONFOUND' WHERE Property = "
                "'SecureCustomProperties'"],
    "newer": ["DELETE FROM Upgrade WHERE ActionProperty = 'NEWERVERSIONFOUND'"],
    "hash": ["INSERT INTO MsiFileHash (File_, Options, HashPart1, HashPart2, HashPart3, HashPart4) "
             "VALUES ('Monitor', 0, 1, 2, 3, 4)"],
    "ice60": ["UPDATE File SET Language = '' WHERE File = 'Monitor'"],
    "key": ["UPDATE Component SET KeyPath = 'Status' WHERE Component = 'Monitor'"],
    "local": ["UPDATE Component SET Attributes = 16 WHERE Component = 'Monitor'"],
    "local 2": ["UPDATE Component SET Attributes = 128 WHERE Component = 'Monitor'"],
    "/u": [("Binary.InstallerActions", "/u\0".encode("utf-16-le"))],
    "nt5": [f"DELETE FROM LaunchCondition WHERE Condition = '{NT5}'"],
    "reboot": ["DELETE FROM Property WHERE Property = 'REBOOT'"],
    "person": ["UPDATE InstallExecuteSequence SET Condition = '$Monitor=3' WHERE Action = 'StartMonitor'"],
    "end": [sequence("EndRemainingMonitors", 3510)],
    "end 2": [sequence("EndMonitor", 3496)],
    "runkey": [sequence("CreateRunKey", 2590)],
    "as": [f"UPDATE CustomAction SET Type = {0x4401} WHERE Action = 'EndRemainingMonitors'"],
    "as 2": [f"UPDATE CustomAction SET Type = {0x4001} WHERE Action = 'EndMonitor'"],
    "commit": [sequence("StartMonitor", 6590)],
    "undoif": ["UPDATE InstallExecuteSequence SET Condition = '?Monitor=3' "
                "WHERE Action = 'RestartMonitor'"],
}


def broken_rules(package):
    return [(key, found) for key, _, check in RULES for found in [check(package)] if found]


def broken_copy(package, edits, folder):
    """A copy of the package with the edits made: SQL, or (stream, bytes to append)."""
    copy = shutil.copy(package, f"{folder}/broken.msi")
    for edit in edits:
        if isinstance(edit, tuple):
            with open(f"{folder}/stream", "wb") as stream:
                stream.write(package.stream(edit[0]) + edit[1])
            subprocess.run(["msibuild", copy, "-a", edit[0], f"{folder}/stream"], check=True)
        else:
            subprocess.run(["msibuild", copy, "-q", edit], check=True)
    return Package(copy)


failures = [f"FAIL: {key}\n  expected: none\n  found:    {found}" for key, found in broken_rules(built)]
for key, rule, _ in RULES:
    print(f"{key}: {rule}")
    for copy in [name for name in BROKEN if name.split()[0] == key] or ["no copy"]:
        with tempfile.TemporaryDirectory() as folder:
            refused = broken_rules(broken_copy(built, BROKEN[copy], folder)) if copy in BROKEN else [("none", [])]
        print(f"  the copy {copy} is refused by {refused}")
        if [name for name, _ in refused] != [key]:
            failures.append(f"FAIL: the copy {copy}\n  expected: refused by {key} alone\n  found:    {refused}")
print("\n".join(failures))
if failures:
    sys.exit(f"{len(failures)} failures among {len(RULES)} rules and their broken copies")
print(f"package rules: all {len(RULES)} hold, and each refuses its broken copy alone")
