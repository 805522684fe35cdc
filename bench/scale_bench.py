"""How the instance search and instance creation scale with the size of the
instance table: requests per second at 10,000 and at 100,000 instances
spread over several Quens, and how each figure changes between the two.

  InstanceQueryExt   a text LIKE clause; a date range; a three-key sort;
                     the first page and a deep page (50 rows each)
  InstanceQueryCount all instances; the LIKE clause
  InstanceCreate     at 1 and 8 concurrent clients, audit events on

The instances are added through the database library by fill_instances
(quick, and the rows are those the methods would write); the Quens and
packages they belong to are made over the wire. Every figure is a wrk run
of QUENSC_BENCH_SECONDS seconds (default 3) against one real server."""

import os
import signal
import shutil
import subprocess
import sys
import tempfile
import time
import xmlrpc.client

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))
from quensc_install import ADMIN_PASSWORD, BUILD, Installation  # noqa: E402

DURATION = os.environ.get("QUENSC_BENCH_SECONDS", "3")
FILL = os.path.join(BUILD, "bench", "fill_instances")
QUENS, PACKAGES_PER_QUEN = 5, 2
SIZES = (10000, 100000)
BASE_DATE = 1693526400  # fill_instances activates instance n at BASE_DATE + 60 n

POST_LUA = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml"
wrk.body = [==[%s]==]
"""


def body(method, *params):
    return xmlrpc.client.dumps(params, methodname=method)


def wrk(url, payload, clients):
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(POST_LUA % payload)
        path = f.name
    try:
        out = subprocess.run(["wrk", "-t", str(clients), "-c", str(clients), "-d", DURATION + "s", "-s", path, url],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(path)
    rate, errors = None, 0
    for line in out.splitlines():
        if line.startswith("Requests/sec:"):
            rate = float(line.split()[1])
        if "Non-2xx" in line or "Socket errors" in line:
            errors += 1
    if rate is None or errors:
        raise RuntimeError("wrk did not report a clean rate:\n" + out)
    return rate


def instance_count(install):
    return install.store.sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE deleted = 'FALSE'")[0][0]


def fill(install, first, count, packages):
    database = install.store
    target = database.db if database.name == "sqlite" else "odbc:%s:%s" % (database.dbname,
                                                                            database.peer["PG_USER"])
    started = time.monotonic()
    subprocess.run([FILL, target, str(first), str(count)] + packages, check=True, capture_output=True,
                   env=database.tool_env())
    return time.monotonic() - started


def measure(install, admin, client, size):
    """The figures of one table size, as (name, requests per second)."""
    url = install.url
    proxy = install.proxy()
    like = {"creatorNameClause": {"type": 6, "val0": "USER01%"}, "limit": 50}
    week = {"activationDateClause": {"type": 7, "val0": str(BASE_DATE + 60 * size // 2),
                                     "val1": str(BASE_DATE + 60 * size // 2 + 7 * 86400)}, "limit": 50}
    sort = {"sortOrder1": 19, "sortDescending1": 0, "sortOrder2": 28, "sortDescending2": 1, "sortOrder3": 1,
            "limit": 50}
    first = {"limit": 50, "offset": 0}
    deep = {"limit": 50, "offset": size - 100}
    queries = [
        ("QueryExt LIKE creator 'USER01%'", "InstanceQueryExt", like),
        ("QueryExt activation in one week", "InstanceQueryExt", week),
        ("QueryExt sort host, custom1, uid", "InstanceQueryExt", sort),
        ("QueryExt page at offset 0", "InstanceQueryExt", first),
        ("QueryExt page at offset n-100", "InstanceQueryExt", deep),
        ("QueryCount all", "InstanceQueryCount", {}),
        ("QueryCount LIKE creator", "InstanceQueryCount", like),
    ]
    figures = []
    for name, method, query in queries:
        answer = getattr(proxy, method)(admin, query)
        if answer[0] != 0 or (method == "InstanceQueryExt" and answer[1] != 50):
            raise RuntimeError("%s answered %r" % (name, answer[:2]))
        figures.append((name, wrk(url, body(method, admin, query), 1)))
    create_args = (client, {"type": 0}, "bench-p0-0", "bench key", "bench copy id")
    answer = proxy.InstanceCreate(*create_args)
    if answer[0] != 0:
        raise RuntimeError("InstanceCreate answered %r" % (answer,))
    create = body("InstanceCreate", *create_args)
    for clients in (1, 8):
        figures.append(("InstanceCreate, %d client%s" % (clients, "s" if clients > 1 else ""),
                        wrk(url, create, clients)))
    return figures


def restart_gracefully(install):
    """A graceful restart, so that the first request runs the housekeeping
    (and its statistics refresh) over the table as it now is, as a server
    running for a while would have done."""
    started = install.error_log().count("Management Server v2.0.1 Started")
    os.kill(install.process.pid, signal.SIGUSR1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and install.error_log().count("Management Server v2.0.1 Started") <= started:
        time.sleep(0.2)
    install.proxy().SessionOpen(9)   # this request's housekeeping refreshes the statistics


def main():
    if not shutil.which("wrk"):
        sys.exit("bench: wrk is missing (apt-get install wrk, or make deps)")
    if not os.access(FILL, os.X_OK):
        sys.exit("bench: %s is missing (is bench/ part of the build?)" % FILL)
    install = Installation(logging_level=4)
    try:
        install.start()
        proxy = install.proxy()
        admin = proxy.SessionOpen(10)[1]
        assert proxy.AuthenticateManager(admin, {"type": 2, "pwd": {"pwd": ADMIN_PASSWORD}}) == [0]
        client = proxy.SessionOpen(10)[1]
        packages = []
        for q in range(QUENS):
            quen = "bench-q%d" % q
            assert proxy.QuenCreate(admin, {"uuid": quen, "name": "Bench Quen %d" % q}) == [0]
            for p in range(PACKAGES_PER_QUEN):
                uid = "bench-p%d-%d" % (q, p)
                assert proxy.PackageCreate(admin, {
                    "uuid": uid, "quen_uuid": quen, "name": "Bench package %d.%d" % (q, p), "useValidDates": 0,
                    "validDateStart": "0", "validDateEnd": "0", "key": "k", "disabled": 0, "preview": 0}) == [0]
                packages.append(uid)

        results, next_n = {}, 0
        for size in SIZES:
            missing = size - instance_count(install)
            seconds = fill(install, next_n, missing, packages)
            next_n += missing
            print("filled %d instances in %.1f s (%d in the table)" % (missing, seconds, instance_count(install)),
                  flush=True)
            restart_gracefully(install)
            results[size] = measure(install, admin, client, size)
        print("\nInstance table scale on %s, requests per second (%ss per figure, %d Quens, audit events at "
              "level 4)" % ("PostgreSQL" if install.store.name != "sqlite" else "SQLite", DURATION, QUENS))
        print("%-36s %12s %12s %10s" % ("", "%d" % SIZES[0], "%d" % SIZES[1], "ratio"))
        for (name, small), (_, large) in zip(results[SIZES[0]], results[SIZES[1]]):
            print("%-36s %12.1f %12.1f %10.3f" % (name, small, large, large / small))
    finally:
        install.remove()


if __name__ == "__main__":
    main()
