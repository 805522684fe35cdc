"""Round trips per second of the server frame, against a static-file
baseline served by the same Apache in the same run.

  Echo                        one POST per round trip, keep-alive
  SessionOpen + SessionClose  two POSTs per round trip (a pair is counted once)
  static                      GET of a file holding a precomputed Echo answer
  InstanceGetState            a client's read of one instance (audited)
  InstanceQueryCount          a manager's count of every instance (audited)

each at 1 and 8 concurrent keep-alive clients (wrk, one connection per
thread), and the ratios of each method to the static baseline."""

import os
import subprocess
import sys
import tempfile
import xmlrpc.client

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))
from quensc_install import Installation  # noqa: E402
from scale_bench import create_package, manager_session, require_tools  # noqa: E402

DURATION = os.environ.get("QUENSC_BENCH_SECONDS", "5")
ECHO_GOAL = 0.66  # Echo's share of the static rate

ECHO_LUA = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml"
wrk.body = [[%s]]
"""

OPEN_CLOSE_LUA = """
-- One connection per thread: alternate SessionOpen and SessionClose of the
-- id the open returned. Only completed pairs are counted (by the closes).
local open_body = [[<?xml version="1.0"?><methodCall><methodName>SessionOpen</methodName><params><param><value><int>10</int></value></param></params></methodCall>]]
local session = nil
closes = 0
function setup(thread) table.insert(threads, thread) end
threads = {}
function request()
  if session then
    local body = '<?xml version="1.0"?><methodCall><methodName>SessionClose</methodName><params><param><value><string>' .. session .. '</string></value></param></params></methodCall>'
    return wrk.format("POST", "/RPC2", {["Content-Type"] = "text/xml"}, body)
  end
  return wrk.format("POST", "/RPC2", {["Content-Type"] = "text/xml"}, open_body)
end
function response(status, headers, body)
  if session then
    session = nil
    closes = closes + 1
  else
    session = string.match(body, "<string>([%w%-]+)</string>")
  end
end
function done(summary, latency, requests)
  local total = 0
  for _, t in ipairs(threads) do total = total + t:get("closes") end
  io.write(string.format("PAIRS %d\\n", total))
end
"""


def wrk(url, script, clients):
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(script)
        path = f.name
    try:
        out = subprocess.run(["wrk", "-t", str(clients), "-c", str(clients), "-d", DURATION + "s", "-s", path, url],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(path)
    seconds = float(DURATION)
    for line in out.splitlines():
        if line.startswith("PAIRS "):
            return int(line.split()[1]) / seconds
    for line in out.splitlines():
        if line.startswith("Requests/sec:"):
            return float(line.split()[1])
    raise RuntimeError("no rate in wrk output:\n" + out)


def main():
    require_tools()
    install = Installation(logging_level=4)
    try:
        install.start()
        proxy = install.proxy()
        session = proxy.SessionOpen(10)[1]
        echo_body = ('<?xml version="1.0"?><methodCall><methodName>Echo</methodName><params>'
                     '<param><value><string>%s</string></value></param>'
                     '<param><value><string>hello</string></value></param></params></methodCall>') % session
        # The baseline: the same answer Echo gives, as a static file.
        static = os.path.join(install.root, "html", "echo.xml")
        with open(static, "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\r\n<methodResponse>\r\n<params>\r\n<param><value>'
                    '<array><data>\r\n<value><i4>0</i4></value>\r\n<value><string>hello</string></value>\r\n'
                    '</data></array></value></param>\r\n</params>\r\n</methodResponse>\r\n')
        os.chmod(static, 0o644)
        # Two read methods on one instance: a client's and a manager's.
        admin = manager_session(proxy)
        assert proxy.QuenCreate(admin, {"uuid": "frame-q", "name": "Frame Quen"}) == [0]
        create_package(proxy, admin, "frame-q", "frame-p", "Frame package")
        created = proxy.InstanceCreate(session, {"type": 0}, "frame-p", "frame key", "")
        assert created[0] == 0, created
        state_body = xmlrpc.client.dumps((session, created[1]), methodname="InstanceGetState")
        count_body = xmlrpc.client.dumps((admin, {}), methodname="InstanceQueryCount")
        base = "http://127.0.0.1:%d" % install.http_port
        rows, reads = [], []
        for clients in (1, 8):
            static_rate = wrk(base + "/echo.xml", "", clients)
            echo_rate = wrk(base + "/RPC2", ECHO_LUA % echo_body, clients)
            pair_rate = wrk(base + "/RPC2", OPEN_CLOSE_LUA, clients)
            rows.append((clients, static_rate, echo_rate, pair_rate))
            state_rate = wrk(base + "/RPC2", ECHO_LUA % state_body, clients)
            count_rate = wrk(base + "/RPC2", ECHO_LUA % count_body, clients)
            reads.append((clients, static_rate, state_rate, count_rate))
        print("\nServer frame round trips per second (%ss per figure, audit events at level 4)" % DURATION)
        print("%-8s %12s %12s %18s %10s %6s %14s" % ("clients", "static GET", "Echo", "Open+Close pairs",
                                                      "Echo/stat", "goal", "pairs/stat"))
        for clients, static_rate, echo_rate, pair_rate in rows:
            ratio = echo_rate / static_rate
            print("%-8d %12.0f %12.0f %18.0f %10.3f %6s %14.3f" % (
                clients, static_rate, echo_rate, pair_rate, ratio, "ok" if ratio >= ECHO_GOAL else "<0.66",
                pair_rate / static_rate))
        print("\nRead methods, round trips per second")
        print("%-8s %18s %20s %12s %12s" % ("clients", "InstanceGetState", "InstanceQueryCount", "state/stat",
                                            "count/stat"))
        for clients, static_rate, state_rate, count_rate in reads:
            print("%-8d %18.0f %20.0f %12.3f %12.3f" % (clients, state_rate, count_rate, state_rate / static_rate,
                                                       count_rate / static_rate))
    finally:
        install.remove()


if __name__ == "__main__":
    main()
