"""How the instance search and instance creation scale with the size of the
instance table: requests per second at each size of QUENSC_BENCH_SIZES
(default 10,000, 100,000 and 1,000,000 instances spread over five Quens and
ten packages), and how each figure changes from one size to the next.

  InstanceQueryExt   a text LIKE clause; a date range; one package; one host
                     name sorted by host name; a three-key sort; the first
                     page and a deep page (50 rows each)
  InstanceQueryCount all instances; the LIKE clause; one package
  InstanceCreate     at 1 and 8 concurrent clients, audit events on

At every size the server time of each first page (the server's own
duration counter over sequential requests of one client, the median of
QUENSC_BENCH_ROUNDS interleaved rounds) is printed beside the goal of
10 ms. At the largest size the combined search indices are dropped and
built again between QUENSC_BENCH_INDEX_ROUNDS (default 3) interleaved pairs
of rounds, so that their gain on the searches and their cost on
InstanceCreate show in the same run.

The instances are added through the database library by fill_instances
(the rows are those the methods would write; about 6 minutes for 10^6 on
SQLite, about 40 on PostgreSQL, where bench/run.sh stops at 10^5); the
Quens and packages they belong to are made over the wire. Every rate is a wrk run of QUENSC_BENCH_SECONDS seconds
(default 3) against one real server."""

import os
import re
import signal
import statistics
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
import xmlrpc.client

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))
from quensc_install import ADMIN_PASSWORD, BUILD, Installation  # noqa: E402

DURATION = os.environ.get("QUENSC_BENCH_SECONDS", "3")
FILL = os.path.join(BUILD, "bench", "fill_instances")
QUENS, PACKAGES_PER_QUEN = 5, 2
SIZES = tuple(int(n) for n in os.environ.get("QUENSC_BENCH_SIZES", "10000,100000,1000000").split(","))
ROUNDS = int(os.environ.get("QUENSC_BENCH_ROUNDS", "3"))
INDEX_ROUNDS = int(os.environ.get("QUENSC_BENCH_INDEX_ROUNDS", "3"))   # without/with pairs
PAGE_REQUESTS = 10          # sequential requests per query and round
GOAL_MS = 10.0              # server time of a first page at 10^6 instances
# The combined indices the schema adds for the package and Quen lists.
SEARCH_INDEXES = ("PdbIns_pkgActivation_idx", "PdbIns_quenActivation_idx")
# The searches timed with and without them (the others do not read them).
COMPARED = ("QueryExt creator = nobody (floor)", "QueryExt package = one of 10", "QueryCount package", "QueryExt page at offset 0",
            "QueryExt activation in one week")
BASE_DATE = 1693526400  # fill_instances activates instance n at BASE_DATE + 60 n

POST_LUA = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml"
wrk.body = [==[%s]==]
"""


def body(method, *params):
    return xmlrpc.client.dumps(params, methodname=method)


def require_tools(*programs):
    """Ends the benchmark with a hint when wrk or a helper program built
    with the project is missing."""
    if not shutil.which("wrk"):
        sys.exit("bench: wrk is missing (apt-get install wrk, or make deps)")
    for program in programs:
        if not os.access(program, os.X_OK):
            sys.exit("bench: %s is missing (is bench/ part of the build?)" % program)


def manager_session(proxy):
    """A session logged in as the administrator."""
    admin = proxy.SessionOpen(10)[1]
    assert proxy.AuthenticateManager(admin, {"type": 2, "pwd": {"pwd": ADMIN_PASSWORD}}) == [0]
    return admin


def create_package(proxy, admin, quen, uid, name):
    """A package of an existing Quen: anybody may create instances."""
    assert proxy.PackageCreate(admin, {
        "uuid": uid, "quen_uuid": quen, "name": name, "useValidDates": 0, "validDateStart": "0",
        "validDateEnd": "0", "key": "k", "disabled": 0, "preview": 0}) == [0]


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


def queries(size):
    """The searches of one table size as (name, method, query, first page)."""
    like = {"creatorNameClause": {"type": 6, "val0": "USER01%"}, "limit": 50}
    week = {"activationDateClause": {"type": 7, "val0": str(BASE_DATE + 60 * size // 2),
                                     "val1": str(BASE_DATE + 60 * size // 2 + 7 * 86400)}, "limit": 50}
    package = {"packageUuidClause": {"type": 1, "val0": "bench-p1-0"}, "limit": 50}
    host = {"hostNameClause": {"type": 1, "val0": "host-0007"}, "sortOrder1": 19, "sortDescending1": 0,
            "limit": 50}
    sort = {"sortOrder1": 19, "sortDescending1": 0, "sortOrder2": 28, "sortDescending2": 1, "sortOrder3": 1,
            "limit": 50}
    first = {"limit": 50, "offset": 0}
    deep = {"limit": 50, "offset": size - 100}
    nobody = {"creatorNameClause": {"type": 1, "val0": "nobody"}, "limit": 50}
    return [
        ("QueryExt creator = nobody (floor)", "InstanceQueryExt", nobody, True),
        ("QueryExt LIKE creator 'USER01%'", "InstanceQueryExt", like, True),
        ("QueryExt activation in one week", "InstanceQueryExt", week, True),
        ("QueryExt package = one of 10", "InstanceQueryExt", package, True),
        ("QueryExt host = one of 2000, by host", "InstanceQueryExt", host, True),
        ("QueryExt sort host, custom1, uid", "InstanceQueryExt", sort, True),
        ("QueryExt page at offset 0", "InstanceQueryExt", first, True),
        ("QueryExt page at offset n-100", "InstanceQueryExt", deep, False),
        ("QueryCount all", "InstanceQueryCount", {}, False),
        ("QueryCount LIKE creator", "InstanceQueryCount", like, True),
        ("QueryCount package", "InstanceQueryCount", package, True),
    ]


def server_seconds(install):
    """The server's own request duration counter: (sum of seconds, count)."""
    url = install.url.rsplit("/", 1)[0] + "/metrics"
    text = urllib.request.urlopen(url, timeout=30).read().decode()
    total = float(re.search(r"^quensc_request_duration_seconds_sum (\S+)$", text, re.M).group(1))
    count = int(re.search(r"^quensc_request_duration_seconds_count (\S+)$", text, re.M).group(1))
    return total, count


def server_times(install, admin, searches):
    """Milliseconds of server time per request of each search, sequential
    requests of one client, the median of ROUNDS interleaved rounds."""
    proxy = install.proxy()
    samples = {name: [] for name, _, _, _ in searches}
    for _ in range(ROUNDS):
        for name, method, query, _ in searches:
            before = server_seconds(install)
            for _ in range(PAGE_REQUESTS):
                getattr(proxy, method)(admin, query)
            after = server_seconds(install)
            samples[name].append(1000 * (after[0] - before[0]) / (after[1] - before[1]))
    return {name: statistics.median(values) for name, values in samples.items()}


def measure(install, admin, client, size):
    """The figures of one table size: (name, requests per second) and the
    server times of the first pages by name."""
    url = install.url
    proxy = install.proxy()
    searches = queries(size)
    figures = []
    for name, method, query, _ in searches:
        answer = getattr(proxy, method)(admin, query)
        # host-0007 is one instance in 2000: a full page from 10^5 on.
        rows_ok = (1 <= answer[1] <= 50 if "host =" in name else
                   answer[1] == 0 if "nobody" in name else answer[1] == 50)
        if answer[0] != 0 or (method == "InstanceQueryExt" and not rows_ok):
            raise RuntimeError("%s answered %r" % (name, answer[:2]))
        figures.append((name, wrk(url, body(method, admin, query), 1)))
    times = server_times(install, admin, [q for q in searches if q[3]])
    for clients in (1, 8):
        figures.append(("InstanceCreate, %d client%s" % (clients, "s" if clients > 1 else ""),
                        create_rate(install, client, clients)))
    return figures, times


def create_rate(install, client, clients):
    create_args = (client, {"type": 0}, "bench-p0-0", "bench key", "bench copy id")
    answer = install.proxy().InstanceCreate(*create_args)
    if answer[0] != 0:
        raise RuntimeError("InstanceCreate answered %r" % (answer,))
    return wrk(install.url, body("InstanceCreate", *create_args), clients)


def search_index_definitions(install):
    """The statements that build the combined search indices again."""
    if install.store.name == "sqlite":
        rows = install.store.sql("SELECT name, sql FROM sqlite_master WHERE type = 'index'")
    else:
        rows = install.store.sql("SELECT indexname, indexdef FROM pg_indexes WHERE tablename = 'policydb_instance'")
    wanted = {name.lower() for name in SEARCH_INDEXES}
    found = [(name, sql) for name, sql in rows if name.lower() in wanted]
    if len(found) != len(SEARCH_INDEXES):
        raise RuntimeError("the database lacks the search indices: %r" % (found,))
    return found


def compare_search_indexes(install, admin, client, size):
    """Interleaved rounds at one size, without and with the combined search
    indices: server times of the first pages and InstanceCreate at one
    client, as {label: (without, with)}."""
    definitions = search_index_definitions(install)
    searches = [q for q in queries(size) if q[0] in COMPARED]
    results = {}
    try:
        for _ in range(INDEX_ROUNDS):
            for present in (False, True):
                for name, sql in definitions:
                    install.store.sql(sql if present else "DROP INDEX %s" % name)
                install.store.sql("ANALYZE")
                if install.store.name == "sqlite":
                    # The pages of a new index wait in the write-ahead log:
                    # moved now, not by the checkpoint of a measured commit.
                    install.store.sql("PRAGMA wal_checkpoint(TRUNCATE)")
                for name, ms in server_times(install, admin, searches).items():
                    results.setdefault(name + " (ms)", ([], []))[present].append(ms)
                results.setdefault("InstanceCreate, 1 client (req/s)", ([], []))[present].append(
                    create_rate(install, client, 1))
    finally:
        existing = {name.lower() for name, _ in install.store.sql(
            "SELECT name, sql FROM sqlite_master WHERE type = 'index'" if install.store.name == "sqlite" else
            "SELECT indexname, indexdef FROM pg_indexes WHERE tablename = 'policydb_instance'")}
        for name, sql in definitions:
            if name.lower() not in existing:
                install.store.sql(sql)
    return {label: (statistics.median(without), statistics.median(with_)) for label, (without, with_) in
            results.items()}


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
    # The refresh runs after that answer, in a write transaction: a second
    # write request returns once it is done, so no figure waits for it.
    install.proxy().SessionOpen(9)


def main():
    require_tools(FILL)
    install = Installation(logging_level=4)
    try:
        install.start()
        proxy = install.proxy()
        admin = manager_session(proxy)
        client = proxy.SessionOpen(10)[1]
        packages = []
        for q in range(QUENS):
            quen = "bench-q%d" % q
            assert proxy.QuenCreate(admin, {"uuid": quen, "name": "Bench Quen %d" % q}) == [0]
            for p in range(PACKAGES_PER_QUEN):
                uid = "bench-p%d-%d" % (q, p)
                create_package(proxy, admin, quen, uid, "Bench package %d.%d" % (q, p))
                packages.append(uid)

        results, times, next_n = {}, {}, 0
        for size in SIZES:
            missing = size - instance_count(install)
            seconds = fill(install, next_n, missing, packages)
            next_n += missing
            print("filled %d instances in %.1f s (%d in the table)" % (missing, seconds, instance_count(install)),
                  flush=True)
            restart_gracefully(install)
            results[size], times[size] = measure(install, admin, client, size)
        comparison = compare_search_indexes(install, admin, client, SIZES[-1])

        store = "PostgreSQL" if install.store.name != "sqlite" else "SQLite"
        print("\nInstance table scale on %s, requests per second (%ss per figure, %d Quens, audit events at "
              "level 4)" % (store, DURATION, QUENS))
        print("%-38s" % "" + "".join("%12d" % size for size in SIZES) + "%10s" % "ratio")
        for row in zip(*(results[size] for size in SIZES)):
            rates = [rate for _, rate in row]
            ratio = rates[-1] / rates[-2] if len(rates) > 1 else 1.0
            print("%-38s" % row[0][0] + "".join("%12.1f" % rate for rate in rates) + "%10.3f" % ratio)
        print("(ratio: the largest size against the one before)")

        print("\nServer time per first page on %s, ms (1 client, median of %d rounds of %d requests)"
              % (store, ROUNDS, PAGE_REQUESTS))
        print("%-38s" % "" + "".join("%12d" % size for size in SIZES) + "%10s" % "goal")
        for name in times[SIZES[0]]:
            last = times[SIZES[-1]][name]
            verdict = "met" if last <= GOAL_MS else "%.0fx" % (last / GOAL_MS)
            print("%-38s" % name + "".join("%12.2f" % times[size][name] for size in SIZES) +
                  "%10s" % ("<=%g %s" % (GOAL_MS, verdict)))
        print("(goal: an indexed clause's first page within %g ms at 10^6 instances; a LIKE and a count "
              "in proportion to their matches. The floor is a search that finds nothing: what every request "
              "costs, its audit event included)" % GOAL_MS)

        print("\nCombined search indices (%s) at %d instances on %s, medians of %d interleaved rounds each"
              % (", ".join(SEARCH_INDEXES), SIZES[-1], store, INDEX_ROUNDS))
        print("%-46s %12s %12s %10s" % ("", "without", "with", "ratio"))
        for label, (without, with_) in comparison.items():
            print("%-46s %12.2f %12.2f %10.3f" % (label, without, with_, with_ / without))
    finally:
        install.remove()


if __name__ == "__main__":
    main()
