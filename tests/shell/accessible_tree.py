#!/usr/bin/env python3
"""The open panel as a screen reader sees it over AT-SPI.

Run by DesktopX11_test (ScreenReaderSeesNamesRolesStatesAndTabOrder) with `tobble` on simulated
audio, its panel open, on the same accessibility bus. Checks the names, roles and states of the
controls, acts on some as a screen reader would, and follows the focus through Tab (xdotool).
Exits 0 when all holds, 1 listing what failed, 77 when pyatspi is missing.
"""
import subprocess
import sys
import time

try:
    import pyatspi
except ImportError:
    print("pyatspi is missing: install python3-pyatspi (scripts/install-deps.sh)")
    sys.exit(77)

BUTTONS = {"push button", "check box", "radio button", "toggle button", "slider"}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


def eventually(condition, seconds=10.0):
    deadline = time.time() + seconds
    while True:
        result = condition()
        if result or time.time() > deadline:
            return result
        time.sleep(0.1)


def states(node):
    return {pyatspi.stateToString(s) for s in node.getState().getStates()}


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def panel():
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != "Tobble":
            continue
        for window in app:
            if window is not None and window.name == "Tobble" and "showing" in states(window):
                return window
    return None


def controls(window):
    return [(n, n.getRoleName(), n.name) for n in walk(window)]


def named(window, role, name):
    return next((n for n, r, nm in controls(window) if r == role and nm == name), None)


def act(node, *names):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in names:
            return action.doAction(i)
    failures.append(f"{node.name}: no action among {names}")


def focused(window):
    return next((nm for n, r, nm in controls(window) if "focused" in states(n)), None)


window = eventually(panel, 30)
if not window:
    print("no showing window named Tobble in the accessible tree")
    sys.exit(1)
check(window.getRoleName() == "frame", f"panel window is a {window.getRoleName()}, not a frame")

everything = controls(window)
for node, role, name in everything:
    check(role not in BUTTONS or name, f"unnamed {role}")

sliders = {name: node for node, role, name in everything if role == "slider"}
check("System volume" in sliders, "no System volume slider")
apps = sorted(name[: -len(" volume")] for name in sliders if name != "System volume")
check({"Music", "Chat"} <= set(apps), f"demo apps missing: {apps}")
for name, slider in sliders.items():
    value = slider.queryValue()
    check((value.minimumValue, value.maximumValue, value.minimumIncrement) == (0, 100, 1),
          f"{name}: range {value.minimumValue}..{value.maximumValue} step {value.minimumIncrement}")
    check(0 <= value.currentValue <= 100, f"{name}: value {value.currentValue}")
for app in apps + ["system volume"]:
    mute = named(window, "check box", f"Mute {app}")
    check(mute is not None and "checked" not in states(mute), f"no unmuted check box Mute {app}")

# A screen reader's changes reach the program: mute and unmute, set a volume in percent.
mute = named(window, "check box", "Mute Music")
if mute:
    act(mute, "Toggle", "Press")
    check(eventually(lambda: "checked" in states(mute), 5), "Mute Music not checked when muted")
    act(mute, "Toggle", "Press")
    check(eventually(lambda: "checked" not in states(mute), 5), "Mute Music checked after unmute")
music = sliders.get("Music volume")
if music:
    music.queryValue().currentValue = 40
    check(eventually(lambda: named(window, "label", "40%") is not None, 5),
          "setting Music volume to 40 does not show 40%")

# The output header is expandable; expanded, one device is checked, the one it names.
header = next((n for n, r, nm in controls(window) if r == "push button" and nm.startswith("Output: ")),
              None)
if check(header is not None, "no Output header"):
    check({"expandable", "collapsed"} <= states(header), f"Output header states {states(header)}")
    act(header, "Press")
    check(eventually(lambda: "expanded" in states(header), 5), "Output header not expanded")
    devices = lambda: [(nm, "checked" in states(n)) for n, r, nm in controls(window)
                       if r == "radio button" and "showing" in states(n)]
    check(eventually(lambda: len(devices()) == 2, 5), f"device rows: {devices()}")
    current = [nm for nm, checked in devices() if checked]
    check(current == [header.name[len("Output: "):]], f"checked devices {current}, {header.name}")

# Tab walks the controls in the order they are on screen.
check(eventually(lambda: focused(window) is not None, 10), "nothing has the keyboard focus")
order = [focused(window)]
for _ in range(20):
    subprocess.run(["xdotool", "key", "Tab"], check=True)
    eventually(lambda: focused(window) != order[-1], 3)
    order.append(focused(window))
check(len(set(order)) > 10, f"Tab does not move the focus: {order}")
expected = ["System volume", "Mute system volume", "Chat volume", "Mute Chat", "Music volume"]
if header is not None:
    expected.append(header.name)
    expected += [name for name, _ in devices()]
positions = [order.index(name) if name in order else -1 for name in expected]
check(-1 not in positions and positions == sorted(positions), f"Tab order {order}")

# Settings take the keyboard to Back; Back returns it to the gear.
gear = named(window, "push button", "Settings")
if check(gear is not None, "no Settings button"):
    act(gear, "Press")
    check(eventually(lambda: focused(window) == "Back", 5), f"Settings focus {focused(window)}")
    back = named(window, "push button", "Back")
    if back:
        act(back, "Press")
    check(eventually(lambda: focused(window) == "Settings", 5), f"Back focus {focused(window)}")

for failure in failures:
    print("FAIL:", failure)
print("focus order:", order)
sys.exit(1 if failures else 0)
