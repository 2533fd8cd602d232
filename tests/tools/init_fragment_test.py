#!/usr/bin/python3
"""init_fragment_test.py FRAGMENT BOOT_SCRIPT: the emulated device's boot
script starts the programs in the order the shipped init fragment does, and
stops the splash as the fragment does once the platform says it has booted.
Also: the fragment defines no "recovery" service."""
import re
import sys


def fragment_order(text):
    """The programs in the order the fragment's triggers start them, and the
    triggers that stop the splash."""
    services = dict(re.findall(r"^service (\S+) /system/bin/(\S+)$", text, re.M))
    blocks = re.findall(r"^on (\S+)\n((?:[ \t]+.*\n?)*)", text, re.M)
    started = [name for name, body in services.items()
               if re.search(rf"^service {name} .*\n(?:[ \t]+.*\n)*?[ \t]+class core$", text, re.M)]
    order = [services[started[0]]] if len(started) == 1 else []
    stops = []
    while order:
        name = next(n for n, b in services.items() if b == order[-1])
        after = [body for trigger, body in blocks if trigger == f"property:init.svc.{name}=stopped"]
        nxt = re.findall(r"^\s+start (\S+)$", after[0], re.M) if after else []
        if not nxt:
            break
        order.append(services.get(nxt[0], nxt[0]))
        if nxt[0] not in services:
            break
    for trigger, body in blocks:
        if re.search(r"^\s+stop zqanimation$", body, re.M):
            stops.append(trigger)
    return order, services, stops


def main():
    fragment, script = (open(path).read() for path in sys.argv[1:3])
    order, services, stops = fragment_order(fragment)
    failures = []
    boot = re.search(r"^\[ -n \"\$boot\" \] \|\| boot=(\S+)$", script, re.M).group(1).split(",")
    if order != boot:
        failures.append(f"the fragment starts {order}, the boot script {boot}")
    if "recovery" in services:
        failures.append("the fragment defines a recovery service")
    for trigger in ("property:init.svc.surfaceflinger=running", "property:sys.boot_completed=1"):
        if trigger not in stops:
            failures.append(f"the splash is not stopped on {trigger}")
    if not re.search(r"kill -KILL \"\$splash\"", script):
        failures.append("the boot script does not stop the splash as init's stop does (SIGKILL)")
    if not re.search(r"^\s+class_start main$", fragment, re.M):
        failures.append("the fragment never starts the platform's services")
    for failure in failures:
        print("FAIL:", failure)
    print("init fragment: order", " -> ".join(order), "ok" if not failures else "")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
