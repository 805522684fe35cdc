"""Memory of the server under a long mixed load: the resident set of the
Apache children after 10^5 requests and again after 10^6 (QUENSC_BENCH_RSS_
FIRST and QUENSC_BENCH_RSS_LAST change the two marks). The goal is a growth
of at most 1 MiB between the marks.

The load is four wrk clients, each cycling through Echo, InstanceGetState
and InstanceQueryCount on a session and one instance, audit events at
level 4. The children's resident set is read from /proc (the sum over the
children of the installation's Apache)."""

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))
from quensc_install import Installation  # noqa: E402
from scale_bench import body, create_package, manager_session, require_tools  # noqa: E402

FIRST = int(os.environ.get("QUENSC_BENCH_RSS_FIRST", "100000"))
LAST = int(os.environ.get("QUENSC_BENCH_RSS_LAST", "1000000"))
GOAL_KIB = 1024

MIXED_LUA = """
local bodies = {[==[%s]==], [==[%s]==], [==[%s]==]}
local n = 0
function request()
  n = n + 1
  return wrk.format("POST", "/RPC2", {["Content-Type"] = "text/xml"}, bodies[n %% 3 + 1])
end
"""


def children(parent):
    """Every descendant of parent."""
    found, frontier = [], [parent]
    while frontier:
        pid = frontier.pop()
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                kids = [int(k) for k in f.read().split()]
        except OSError:
            kids = []
        found += kids
        frontier += kids
    return found


def rss_kib(parent):
    total = 0
    for pid in children(parent):
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def run_requests(url, script, count):
    """Runs the mixed load until at least count requests were answered."""
    done = 0
    while done < count:
        out = subprocess.run(["wrk", "-t", "4", "-c", "4", "-d", "10s", "-s", script, url], capture_output=True,
                             text=True, check=True).stdout
        m = re.search(r"(\d+) requests in", out)
        if not m or "Non-2xx" in out:
            raise RuntimeError("wrk did not run cleanly:\n" + out)
        done += int(m.group(1))
    return done


def main():
    require_tools()
    install = Installation(logging_level=4)
    script = None
    try:
        install.start()
        proxy = install.proxy()
        admin = manager_session(proxy)
        assert proxy.QuenCreate(admin, {"uuid": "rss-q", "name": "RSS Quen"}) == [0]
        create_package(proxy, admin, "rss-q", "rss-p", "RSS package")
        client = proxy.SessionOpen(10)[1]
        code, instance = proxy.InstanceCreate(client, {"type": 0}, "rss-p", "rss key", "rss copy id")[:2]
        assert code == 0, code
        with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
            f.write(MIXED_LUA % (body("Echo", admin, "hello"), body("InstanceGetState", admin, instance),
                                 body("InstanceQueryCount", admin, {})))
            script = f.name
        parent = install.process.pid
        done = run_requests(install.url, script, FIRST)
        first = rss_kib(parent)
        done += run_requests(install.url, script, LAST - done)
        last = rss_kib(parent)
        growth = last - first
        print("\nServer memory under mixed load (Echo, InstanceGetState, InstanceQueryCount; 4 clients)")
        print("%-28s %12s" % ("", "RSS KiB"))
        print("%-28s %12d" % ("after %d requests" % FIRST, first))
        print("%-28s %12d" % ("after %d requests" % done, last))
        print("%-28s %12d   goal <= %d: %s" % ("growth", growth, GOAL_KIB, "ok" if growth <= GOAL_KIB else "missed"))
    finally:
        if script:
            os.unlink(script)
        install.remove()


if __name__ == "__main__":
    main()
