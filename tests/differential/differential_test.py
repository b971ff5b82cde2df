#!/usr/bin/env python3
"""Differential test of the native and Windows profile writers against the
system's own reader (and writer), run under Wine.

For several hundred generated configuration files, after the native
program's edit, the system's GetPrivateProfileStringA (Wine's) must return
the driver's value and see every other entry as before, a reader following
Windows' rules must agree, and the file must differ from the original only
in lines that a reader takes for the driver's entry and in added lines; a
second run must leave the file byte-identical and unwritten. Entries on
lines that either reader takes for the driver's entry may change with it. Where the system's
own writer leaves the reader seeing something else than the native writer
does, the test says so. The Windows program's file layer (through the
test-only probe built from its sources) must leave every file with exactly
the bytes the native program leaves.

Environment: KAVRO_RUN_DIR (the Wine prefix of this test run),
KAVRO_NATIVE_PROGRAM, KAVRO_ORACLE, KAVRO_PROBE; KAVRO_DIFF_CASES and
KAVRO_DIFF_SEED optionally. With no native program named, the test is
skipped (exit status 77); a named one that is not there fails it."""
import difflib
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
import profile_generator  # noqa: E402
import profile_rules  # noqa: E402

RUN_DIR = os.environ["KAVRO_RUN_DIR"]
PREFIX = os.path.join(RUN_DIR, "prefix")
NATIVE = os.environ.get("KAVRO_NATIVE_PROGRAM", "")
ORACLE = os.environ["KAVRO_ORACLE"]
PROBE = os.environ["KAVRO_PROBE"]
CASES = int(os.environ.get("KAVRO_DIFF_CASES", "400"))
SEED = int(os.environ.get("KAVRO_DIFF_SEED", "1"))
ROOT = os.path.join(PREFIX, "drive_c", "differential")
VALUE = profile_generator.TARGET_VALUE.encode()


def windows_path(host_path):
    relative = os.path.relpath(host_path, os.path.join(PREFIX, "drive_c"))
    return "C:\\" + relative.replace("/", "\\")


def wine_env():
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run_helper(helper, mode, paths):
    listing = os.path.join(ROOT, f"{mode}-list.txt")
    with open(listing, "w") as out:
        out.write("\n".join(windows_path(p) for p in paths) + "\n")
    wine = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"
    result = subprocess.run([wine, helper, mode, windows_path(listing)], env=wine_env(),
                            capture_output=True, check=True, timeout=1800)
    return result.stdout.decode().splitlines()


def parse_views(lines):
    """Per file: (entries as the reader sees them, the driver's value)."""
    views = []
    for line in lines:
        kind, *fields = line.split(" ")
        if kind == "F":
            views.append({"entries": [], "value": None})
        elif kind == "K":
            views[-1]["entries"].append(tuple(bytes.fromhex(f[1:]) for f in fields))
        elif kind == "V":
            views[-1]["value"] = None if fields[0] == "x" else bytes.fromhex(fields[0][1:])
    return views


def reader_view(view):
    """What the system's reader sees, by (SECTION, KEY), names decoded as
    the ANSI bytes they come in: a section that appears twice reads as its
    first, as for any reader."""
    found = {}
    for section, key, value in view["entries"]:
        # A name that ends in a blank (one a NUL cut short) is one no
        # program can ask for: the reader trims the names it is asked.
        if section != section.strip(b" \t\v\f\x1a") or key != key.strip(b" \t\v\f\x1a"):
            continue
        found.setdefault((section.decode("latin-1").upper(), key.decode("latin-1").upper()), value)
    found.pop(profile_rules.DRIVER, None)
    return found


def entries_that_may_change(before, after):
    """(SECTION, KEY) of every entry that, before or after, sits on a line
    that either reader takes for the driver's entry, under each reader."""
    pairs = set()
    for data in (before, after):
        lines = profile_rules.driver_lines(data)
        for rules in (profile_rules.WINDOWS, profile_rules.WINE):
            pairs |= {pair for pair, (_, line) in profile_rules.entries(data, rules).items()
                      if line in lines}
    return pairs


def same_but(before, after, may_change):
    return ({k: v for k, v in before.items() if k not in may_change}
            == {k: v for k, v in after.items() if k not in may_change})


def lines_with_endings(data):
    return re.findall(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$", profile_rules.decode(data))


def only_entry_lines_changed(before, after):
    """The edit changed only lines that a reader takes for the driver's
    entry (or gave the last line the ending it lacked) and added lines."""
    if before[:2] != after[:2] and len(before) >= 2:
        return False
    old, new = lines_with_endings(before), lines_with_endings(after)
    entry_lines = profile_rules.driver_lines(before)
    matcher = difflib.SequenceMatcher(None, old, new, autojunk=False)
    for tag, old_begin, old_end, _, _ in matcher.get_opcodes():
        if tag in ("equal", "insert"):
            continue
        for number in range(old_begin, old_end):
            unterminated_last = number == len(old) - 1 and not old[number].endswith(("\n", "\r"))
            if number not in entry_lines and not unterminated_last:
                return False
    return True


def checked_with_both_rule_sets(before, after):
    """Problems with the edit under the two readers' rules, as modelled."""
    problems = []
    may_change = entries_that_may_change(before, after)
    for rules in (profile_rules.WINDOWS, profile_rules.WINE):
        old, new = profile_rules.entries(before, rules), profile_rules.entries(after, rules)
        if new.get(profile_rules.DRIVER, (None,))[0] != profile_generator.TARGET_VALUE:
            problems.append(f"a reader following {rules}'s rules does not get the value")
        old.pop(profile_rules.DRIVER, None)
        new.pop(profile_rules.DRIVER, None)
        if not same_but({k: v for k, (v, _) in old.items()}, {k: v for k, (v, _) in new.items()},
                        may_change):
            problems.append(f"another entry changed under {rules}'s rules")
    return problems


def main():
    if not NATIVE:
        print("SKIPPED: no native program to check; configure this build with "
              "-DKAVRO_NATIVE_PROGRAM=<the native build's kavro-register>, "
              "as scripts/test.sh does")
        return 77
    if not (os.path.isfile(NATIVE) and os.access(NATIVE, os.X_OK)):
        print(f"FAIL: the native program {NATIVE} (KAVRO_NATIVE_PROGRAM) does not exist "
              "or cannot be run; build the native preset first")
        return 1
    shutil.rmtree(ROOT, ignore_errors=True)
    os.makedirs(ROOT)
    problems = []
    cases = []
    for index in range(CASES):
        description, data = profile_generator.generate(SEED * 100000 + index)
        case_dir = os.path.join(ROOT, f"case-{index:04d}")
        install_dir = os.path.join(case_dir, "drive_c", "Program Files", "DASYLab 8.0")
        os.makedirs(install_dir)
        paths = {name: os.path.join(case_dir, name + ".ini")
                 for name in ("original", "system", "windows")}
        paths["native"] = os.path.join(install_dir, "DASYLab.ini")
        for path in paths.values():
            with open(path, "wb") as out:
                out.write(data)
        cases.append((index, description, data, paths))

        env = dict(os.environ, WINEPREFIX=case_dir)
        first = subprocess.run([NATIVE], env=env, capture_output=True, timeout=60)
        if first.returncode != 0:
            problems.append(f"case {index} ({description}): exit status {first.returncode}")
            continue
        edited = open(paths["native"], "rb").read()
        if not only_entry_lines_changed(data, edited):
            problems.append(f"case {index} ({description}): more than the entry's lines changed")
        problems += [f"case {index} ({description}): {problem}"
                     for problem in checked_with_both_rule_sets(data, edited)]
        state = os.stat(paths["native"])
        second = subprocess.run([NATIVE], env=env, capture_output=True, timeout=60)
        again = os.stat(paths["native"])
        if (second.returncode != 0 or open(paths["native"], "rb").read() != edited
                or (again.st_ino, again.st_mtime_ns) != (state.st_ino, state.st_mtime_ns)):
            problems.append(f"case {index} ({description}): a second run rewrote the file")

    written = run_helper(ORACLE, "write", [paths["system"] for _, _, _, paths in cases])
    if any(not line.endswith(" 1") for line in written):
        problems.append("the system writer refused a file")
    written = run_helper(PROBE, "write-list", [paths["windows"] for _, _, _, paths in cases])
    for line, (index, description, _, paths) in zip(written, cases):
        windows = open(paths["windows"], "rb").read()
        if not line.endswith(" 1"):
            problems.append(f"case {index} ({description}): the Windows writer refused the file")
        elif windows != open(paths["native"], "rb").read():
            problems.append(f"case {index} ({description}): the Windows writer's bytes differ")
    order = ("original", "native", "system")
    views = parse_views(run_helper(ORACLE, "read", [c[3][name] for c in cases for name in order]))

    disagreements = []
    for position, (index, description, data, paths) in enumerate(cases):
        original, native, system = views[3 * position:3 * position + 3]
        label = f"case {index} ({description})"
        if native["value"] != VALUE:
            problems.append(f"{label}: the reader gets {native['value']!r} for the driver")
        edited = open(paths["native"], "rb").read()
        if not same_but(reader_view(original), reader_view(native),
                        entries_that_may_change(data, edited)):
            problems.append(f"{label}: another entry changed for the reader")
        if (native["entries"], native["value"]) != (system["entries"], system["value"]):
            disagreements.append(f"{label}: the reader sees the native writer's file differently "
                                 "from the system writer's")

    print(f"{len(cases)} generated files, seed {SEED}")
    print(f"native writer vs system writer: {len(disagreements)} file(s) read differently")
    for line in disagreements[:20]:
        print("  " + line)
    for line in problems:
        print("FAIL: " + line)
    print(f"{len(cases) - len({p.split(':')[0] for p in problems})} passed, "
          f"{len({p.split(':')[0] for p in problems})} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
