"""What users get, made from the build under test: the Windows zip unpacked into a fresh folder, or the Debian
package unpacked (nothing is installed); its lamp picker and its program run from there, the settings filled
in as the guide tells an operator, against the stand-ins."""

import glob, os, re, subprocess, zipfile
from pathlib import Path
import pytest
from harness.proc import wait_for
from harness.program import with_values
from harness.standins import ACTIVE, GREY, ON_AIR
from test_desktop import icons_in

DOC = "usr/share/doc/tavorouter-control/"


def package(build, pattern):
    """The build's package, made by its build folder's package target (a few seconds once all is built)."""
    folder = os.path.dirname(build.exe)
    if not os.path.isfile(os.path.join(folder, "CMakeCache.txt")):
        pytest.skip(f"{folder} is no build folder: no package to make")
    r = subprocess.run(["cmake", "--build", folder, "--target", "package"], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, f"the package target failed:\n{r.stdout[-3000:]}{r.stderr[-2000:]}"
    found = glob.glob(os.path.join(folder, pattern))
    assert len(found) == 1, f"packages {pattern} in {folder}: {found}"
    return found[0]


def unzipped(w, build):
    """The zip's one folder; its README.txt's way: the settings file beside the program."""
    with zipfile.ZipFile(package(build, "TavoRouterControl-*-win*.zip")) as z:
        z.extractall(w.ws.folder("operator"))
    [top] = glob.glob(os.path.join(w.ws.dir, "operator", "*"))
    return top, Path(top, "TavoRouterControl.ini"), Path(top, "TavoRouterControl.ini")


def unpacked(w, build):
    """The Debian package (Depends from the binaries, what cmake --install puts down under /usr and its copyright
    and changelog, no lintian error) unpacked; the README's way: its example copied into the settings folder."""
    deb = package(build, "tavorouter-control_*_amd64.deb")
    lint = subprocess.run(["lintian", deb], capture_output=True, text=True, timeout=300)
    assert lint.returncode == 0 and not [l for l in lint.stdout.splitlines() if l.startswith("E:")], lint
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True, check=True).stdout
    assert re.search(r"libc6 \(>= .*libqt6widgets6 \(>= .*libx11-6", depends), f"Depends: {depends}"
    root, installed = w.ws.folder("root"), w.ws.folder("installed")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True, timeout=60)
    subprocess.run(["cmake", "--install", os.path.dirname(build.exe), "--prefix", f"{installed}/usr"],
                   check=True, capture_output=True, timeout=60)

    def files(top):
        return {os.path.relpath(os.path.join(d, n), top) for d, _, names in os.walk(top) for n in names}
    assert files(root) == files(installed) | {DOC + "copyright", DOC + "changelog.gz"}, files(root) ^ files(installed)
    w.figure(f"{os.path.basename(deb)}: {os.path.getsize(deb) // 1024} KiB; Depends: {depends.strip()}")
    settings = Path(w.ws.folder("xdg-config", "TavoRouterControl"), "TavoRouterControl.ini")
    return os.path.join(root, "usr", "bin"), Path(root, DOC, "TavoRouterControl.ini"), settings


def test_package(w, build):
    """The package unpacked; its picker's [TavoGUI] lines printed and copied exactly; the example settings filled
    in with them and the units' addresses; the program started: the triggers, and its icon in wine's tray."""
    folder, example, ini = (unzipped if build.wine else unpacked)(w, build)
    w.panel.set({1: ACTIVE, 2: ON_AIR})
    w.x.run("xdotool", "mousemove", "640", "300")
    picker = w.launch(None, exe=os.path.join(folder, "TavoLampPicker" + ".exe" * build.wine), name="TavoLampPicker",
                      again=True)
    win = wait_for(lambda: w.search("--name", "^TavoLampPicker$"), build.window, "the picker's window")[0]

    def press(*keys):  # the Linux build takes its keys on the whole screen
        w.x.run("xdotool", *(["windowfocus", "--sync", win] if build.wine else []), "key", "--delay", "30", *keys)

    def beside(g, px, py, gap=24):  # the window keeps a gap to the pointer, right/below or left/above it
        return g and g[0] in (px + gap + 1, px - gap - g[2]) and g[1] in (py + gap + 1, py - gap - g[3])
    # Lamp 1 from one pixel left with an arrow key, its colour taken; lamp 2 and its colour; lamp 3 taken back.
    for n, keys, nudge in ((1, ("1", "a"), 1), (2, ("2", "o"), 0), (3, ("3", "BackSpace"), 0)):
        px, py = w.panel.centre(n)
        w.x.run("xdotool", "mousemove", str(px - nudge), str(py))
        if nudge:
            press("Right")
        wait_for(lambda: beside(w.geometry(win), px, py), 10, f"the picker window beside {px},{py}")  # it saw it
        press(*keys)
    expected = ["[TavoGUI]", "UnitIndicator1=%d,%d" % w.panel.centre(1), "UnitIndicator2=%d,%d" % w.panel.centre(2),
                f"UnitActiveColor={ACTIVE}", f"UnitOnAirColor={ON_AIR}"]
    press("Return")
    picker.wait_until(lambda lines: any(l.startswith("UnitOnAirColor=") for l in lines), 30, "the lines printed")
    lines = [l for l in picker.snapshot() if "=" in l or l == "[TavoGUI]"][-5:]
    assert lines == expected, f"printed {lines}, expected {expected}"
    press("c")
    wait_for(lambda: w.x.run("xclip", "-selection", "clipboard", "-o").stdout.replace("\r\n", "\n").split("\n") ==
             expected + [""], 15, "the same lines on the clipboard")
    w.ws.watched.discard(picker)
    press("Escape")
    assert picker.wait_exit(30, "the picker quit on Esc") == 0, f"the picker ended with {picker.proc.returncode} on Esc"

    w.units(1, 2)  # lamp 1 selected, then lamp 2 alone on air: each reaches its unit once
    values = {f"Unit{n}": f"127.0.0.1:{s.port}" for n, s in w.sims.items()} | dict(l.split("=", 1) for l in lines[1:])
    ini.write_bytes(with_values(example.read_bytes().decode(), values).encode())
    w.panel.reset()
    w.program = w.launch(None, exe=os.path.join(folder, "TavoRouterControl" + ".exe" * build.wine), again=True)
    w.connect()
    w.select(1)
    w.select(2, {1: GREY, 2: ON_AIR})
    w.judge(report=True)
    if build.wine:
        tray = wait_for(lambda: w.search("--name", "^Wine System Tray$"), build.window, "wine's tray")[0]
        icon = wait_for(lambda: icons_in(w.x, w.geometry(tray)), build.window, "the program's icon in wine's tray")[0]
        w.figure(f"{os.path.basename(folder)}: icon {icon[2]}x{icon[3]}")
