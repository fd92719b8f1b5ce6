"""The settings check against the stand-ins: the lamp picker's check view (key K) on each build, and
TavoRouterControl --check with its exit statuses on Linux. Units up, refused, never answering, misnamed
and out of range; lamps lit, unlit and off every monitor; beside a running program; never a block."""

import os, re, shutil, subprocess, time
import pytest
from harness.proc import wait_for
from harness.program import EXE_NAME, ini_text
from harness.standins import ACTIVE, GREY, ON_AIR

NO_NAME = "nosuchunit-" + "x" * 64 + ".invalid"  # no DNS name: its lookup fails without asking a name server
OFF = (5000, 5000)  # on no monitor
CHECK_TITLE = "^TavoLampPicker - settings check$"
KINDS = {"up": {}, "refused": {}, "silent": {"extra": ("--stop-accepting",)}}
CASES = [  # case, units {n: kind}, lamps {n: colour, or OFF}, ReconnectDelay, exit status, the report's lines
    ("all well", {1: "up", 2: "up"}, {2: ACTIVE}, 1000, 0,
     [r"^Unit1 127\.0\.0\.1:\d+: host 127\.0\.0\.1, port \d+: connected in \d+ ms; it said \d+ bytes after",
      r"^Lamp1 at \d+,\d+: on a monitor, #808080, neither colour$", r"^Lamp2 .*: on a monitor, #3296FF, the active colour$",
      r"^Selection now: unit 2 \(lamp 2 shows the active colour\)$", r"^Verdict: all set: .* would select unit 2 now\.$"]),
    ("everything wrong", {1: "up", 2: "refused", 3: "silent", 4: "misnamed", 5: "out of range"},
     {2: ON_AIR, 5: OFF}, 1000, 1,
     [r"^Unit2 .*: refused after \d+ ms$", r"^Unit3 .*: timed out: no answer within 1000 ms$",
      rf"^Unit4 {NO_NAME}: host {NO_NAME}: lookup failed after \d+ ms", r"^Unit5 127\.0\.0\.1:70000: port out of range",
      r"^Lamp2 .*#E52F2F, the on-air colour$", r"^Lamp5 at 5000,5000: on no monitor, unreadable$",
      r"^Selection now: unit 2 \(lamp 2 alone on air\)$", r"^Not configured: Unit6, Unit7, Unit8\.$",
      rf"^Verdict: fix Unit4's address: the name {NO_NAME} cannot be looked up.* \(4 more to fix above\.\)$"]),
    ("eight units that never answer", {n: "silent" for n in range(1, 9)}, {}, 2000, 1,
     [r"^Unit8 .*: timed out: no answer within 2000 ms$", r"^Verdict: Unit1 \(127\.0\.0\.1:\d+\) did not answer"]),
    ("beside the running program", {1: "up", 2: "refused"}, {}, 1000, 1,
     [rf"^{EXE_NAME} is running beside this check\.$", r"^Unit1 .*: connected in \d+ ms; it said",
      rf"^Unit2 .*: refused after \d+ ms\. {EXE_NAME} is running .*which may be the reason\.$",
      rf"^Verdict: Unit2 .* refused the connection: .* {EXE_NAME} is running .*may be the reason\.$"]),
    ("a value that cannot be read", {1: "up"}, {}, "soon", 2,
     [r"^Error: In the file .*, section \[Configuration\], key ReconnectDelay: the value \"soon\" is not a number",
      r"^Verdict: the settings file cannot be used"]),
]


def last_report(lines):
    """The last complete report printed: from its first line to its verdict."""
    ends = [i for i, l in enumerate(lines) if l.startswith("Verdict: ")]
    starts = [i for i, l in enumerate(lines[:ends[-1]]) if l.startswith("Settings check of ")] if ends else []
    return lines[starts[-1]:ends[-1] + 1] if starts else None


def unsaid(report, says):
    return [s for s in says if not any(re.search(s, line) for line in report)]


@pytest.mark.parametrize("case,kinds,lamps,reconnect,status,says", CASES, ids=[c[0] for c in CASES])
def test_check(w, build, case, kinds, lamps, reconnect, status, says):
    sims = {n: w.unit(n, **KINDS[k]) for n, k in kinds.items() if k in KINDS}
    for n in (n for n, k in kinds.items() if k == "refused"):
        w.command(n, "down", "down")
    addresses = {n: NO_NAME if k == "misnamed" else "127.0.0.1:70000" if k == "out of range"
                 else f"127.0.0.1:{sims[n].port}" for n, k in kinds.items()}
    w.panel.set({n: c for n, c in lamps.items() if c != OFF} or {1: GREY})
    ini = ini_text(addresses, {n: OFF if lamps.get(n) == OFF else w.panel.centre(n) for n in range(1, 9)},
                   reconnect=reconnect)
    if "running" in case:
        program = w.launch(ini)
        sims[1].wait_connections(1, build.start, "the program connected to unit 1")
        folder = program.folder
    else:
        folder = w.ws.folder(w.ws.unique("check"))
        with open(os.path.join(folder, f"{EXE_NAME}.ini"), "w", newline="") as f:
            f.write(ini)
    connections = {n: len(s.connections()) for n, s in sims.items()}

    runs = 0
    if not build.wine:  # the command line, with its exit status; without a display, the units alone
        for display in (True, False)[:1 + (case == "all well")]:
            env = w.x.env() if display else {k: v for k, v in w.x.env().items() if k != "DISPLAY"}
            started = time.monotonic()
            r = subprocess.run([build.exe, "--check", os.path.join(folder, f"{EXE_NAME}.ini")], env=env,
                               capture_output=True, text=True, timeout=60)
            took, runs, report = time.monotonic() - started, runs + 1, r.stdout.splitlines()
            assert r.returncode == status and not r.stderr, f"{case}: status {r.returncode}, {r.stderr}\n{r.stdout}"
            assert report == last_report(report), f"{case}: --check printed more than its report:\n{r.stdout}"
            wanted = says if display else [r"^Unit2 .*: connected in", r"^Lamps: not checked \(no X display could be "
                                           r"opened, DISPLAY is \"\"\)\.$", r"^Verdict: every unit connected; the lamps"]
            assert not unsaid(report, wanted), f"{case}: the report does not say {unsaid(report, wanted)}:\n{r.stdout}"
        if "eight" in case:  # one timeout for all of them, not one each
            w.figure(f"--check of eight units that never answer: {took:.2f} s (ReconnectDelay 2 s)")
            assert took < 2 * 2.0, f"eight silent units took {took:.1f} s: checked one after another?"

    # The picker beside the program, its check view opened with K: the same report, kept live.
    shutil.copy2(build.picker, folder)
    picker = w.launch(None, exe=os.path.join(folder, os.path.basename(build.picker)), name="TavoLampPicker",
                      again=True)
    win = wait_for(lambda: w.search("--name", "^TavoLampPicker$"), build.window, "the picker's window")[0]
    w.x.run("xdotool", *(["windowfocus", "--sync", win] if build.wine else []), "key", "k")
    opened = time.monotonic()
    if "eight" in case:  # the view reads the lamps while the units are still being checked
        wait_for(lambda: w.search("--name", CHECK_TITLE), build.window, "the check window")
        w.panel.set({4: ACTIVE})
        picker.wait_until(lambda l: any(re.match("Lamp4 .*the active colour$", x) for x in l) or last_report(l),
                          5, "lamp 4's row")
        assert not last_report(picker.snapshot()), "the lamp's row waited for the units to be checked"
    report = picker.wait_until(last_report, build.window, f"{case}: the check view's report")
    took = time.monotonic() - opened
    assert not unsaid(report, says), f"{case}: the view does not say {unsaid(report, says)}:\n  " + "\n  ".join(report)
    if "eight" in case:
        w.figure(f"the check view's report of eight units that never answer: {took:.2f} s after K")
        assert took < 2 * 2.0 + 2 * build.wine, f"eight silent units took {took:.1f} s in the view"
    if case == "everything wrong":
        drive(w, build, picker, sims[1])
    tries = (status < 2) * (runs + 1 + (case == "everything wrong"))  # --check, the view, the view again
    for n, s in sims.items():  # each check tried each unit once, and sent none of them anything
        made = len(s.connections()) - connections[n]
        assert made == tries * (kinds[n] == "up"), f"{case}: unit {n} was connected {made} times, not {tries}"
        assert not s.blocks() and not s.events("partial"), f"{case}: unit {n} received {s.blocks() or s.events('partial')}"
    if "running" in case:
        assert program.alive(), "the program ended while the check ran beside it"
    w.figure(f"{case}: {report[-1][:110]}")


def drive(w, build, picker, unit):
    """Rows that answer as the operator selects units in the panel, the units checked again, the copy."""
    check = wait_for(lambda: w.search("--name", CHECK_TITLE), build.window, "the check window")[0]

    def press(key):  # into the check window: the picker's keys are the view's while it is in use
        w.x.run("xdotool", "windowfocus", "--sync", check, "key", key)
    for lamps, rows in (({3: ACTIVE}, [r"^Lamp3 .*the active colour$", r"^Selection now: unit 3 "]),
                        ({1: ON_AIR}, [r"^Lamp1 .*the on-air colour$"])):
        printed = len(picker.snapshot())
        w.panel.set(lamps)
        picker.wait_until(lambda lines: not unsaid(lines[printed:], rows), 5, f"the rows after {lamps}")
    printed, tried = len(picker.snapshot()), len(unit.connections())
    press("r")
    again = picker.wait_until(lambda lines: last_report(lines[printed:]), 10, "the report of the units checked again")
    unit.wait_connections(tried + 1, 5, "unit 1 tried again")
    rows = [r"^Lamp1 .*the on-air colour$", r"^Lamp3 .*the active colour$", r"^Selection now: unit 3 "]
    assert not unsaid(again, rows), "\n  ".join(again)
    press("c")
    clip = wait_for(lambda: (lambda r: "Verdict: " in r.stdout and r.stdout)(
        w.x.run("xclip", "-selection", "clipboard", "-o")), 10, "the report on the clipboard")
    assert clip.replace("\r\n", "\n").splitlines() == again, f"copied:\n{clip}\nprinted:\n" + "\n".join(again)
