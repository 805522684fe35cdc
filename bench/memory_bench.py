"""Peak memory of the server's child process under parallel maximum bodies.

Each round sends PARALLEL bodies of just under the body limit (16 MiB) at
once to a fresh server and reads the child's peak resident size (VmHWM):

  one string      Echo with one 16 MiB text argument (unknown session)
  echoed string   the same with an open session: the answer carries it back
  many elements   Echo with an array of small integers, as many as the host
                  accepts in one call (100,000 elements), and a text that
                  fills the rest of the body

The host admits larger bodies only within its budget of bytes in flight, so
the peak must stay under 1 GiB however many arrive together; the bench
prints the peak of each round and the ratio to that bound."""

import http.client
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
from quensc_harness import Installation  # noqa: E402

BODY_LIMIT = 16 * 1024 * 1024
PARALLEL = int(os.environ.get("QUENSC_BENCH_PARALLEL", "32"))
BOUND = 1 << 30
MAX_ELEMENTS = 100000   # the most elements the host accepts in one call


def one_string(session="s"):
    head = b"<?xml version='1.0'?><methodCall><methodName>Echo</methodName><params><param><value><string>" + \
           session.encode() + b"</string></value></param><param><value><string>"
    tail = b"</string></value></param></params></methodCall>"
    return head + b"a" * (BODY_LIMIT - 4096 - len(head) - len(tail)) + tail


def echoed_string(install):
    return one_string(install.proxy().SessionOpen(10)[1])


def many_elements():
    head = b"<?xml version='1.0'?><methodCall><methodName>Echo</methodName><params><param><value><string>s" \
           b"</string></value></param><param><value><array><data>"
    tail = b"</data></array></value></param><param><value><string>"
    end = b"</string></value></param></params></methodCall>"
    items = b"<value><i4>1</i4></value>" * ((MAX_ELEMENTS - 20) // 2)
    return head + items + tail + b"b" * (BODY_LIMIT - 4096 - len(head) - len(items) - len(tail) - len(end)) + end


def child_of(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def round_trip(port, body, results):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    try:
        conn.request("POST", "/RPC2", body=body, headers={"Content-Type": "text/xml"})
        response = conn.getresponse()
        response.read()
        results.append(response.status)
    except OSError as e:
        results.append(str(e))
    finally:
        conn.close()


def run(name, make_body):
    install = Installation(logging_level=0)
    try:
        install.start()
        body = make_body(install)
        children = child_of(install.process.pid)
        child = max(children, key=peak_kib)
        before = peak_kib(child)
        results = []
        threads = [threading.Thread(target=round_trip, args=(install.http_port, body, results))
                   for _ in range(PARALLEL)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        peak = peak_kib(child)
        statuses = {s: results.count(s) for s in set(results)}
        print("%-14s %2d x %5.1f MiB: peak %6.0f MiB (idle %4.0f MiB), %.2f of 1 GiB, %.1f s, answers %s"
              % (name, PARALLEL, len(body) / 1048576, peak / 1024, before / 1024, peak * 1024 / BOUND,
                 elapsed, statuses))
        return peak * 1024
    finally:
        install.remove()


def main():
    shapes = [("one string", lambda install: one_string()),
              ("echoed string", echoed_string),
              ("many elements", lambda install: many_elements())]
    worst = max(run(name, body) for name, body in shapes)
    print("worst peak %.0f MiB: %s 1 GiB" % (worst / 1048576, "under" if worst < BOUND else "OVER"))


if __name__ == "__main__":
    main()
