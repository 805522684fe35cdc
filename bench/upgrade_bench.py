"""How long the schema upgrade takes on a large database: the ladder from
206 to 216 with 100,000 instances, and the last step (215 to 216, which
rewrites every instance and re-signs every event) with 100,000 instances and
100,000 events. Each database is written by upgrade_fixture and upgraded by
`quensc-db upgrade`; the figure is the wall time of that command.

QUENSC_TEST_STORE=postgres (with QUENSC_PG_PEER naming a running peer of
tests/peers/postgres.sh) runs the same on PostgreSQL through ODBC, each
database created for its run and dropped after it."""

import os
import subprocess
import sys
import tempfile
import time
import uuid

BUILD = os.path.abspath(os.environ.get("QUENSC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build")))
FIXTURE = os.path.join(BUILD, "apps", "lib", "policydb", "upgrade_fixture")
QUENSC_DB = os.path.join(BUILD, "apps", "quensc-db", "quensc-db")
SIZE = int(os.environ.get("QUENSC_BENCH_UPGRADE_ROWS", "100000"))


PG_PEER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers", "postgres.sh")


def read_peer():
    values = {}
    with open(os.environ["QUENSC_PG_PEER"]) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            values[key] = value.strip("'\"")
    return values


def run(version, instances, events, postgres):
    with tempfile.TemporaryDirectory(prefix="quensc-upgrade-bench-") as folder:
        env = dict(os.environ)
        if postgres:
            peer = read_peer()
            name = "quensc_upgrade_bench_" + uuid.uuid4().hex[:8]
            odbc = os.path.join(folder, "odbc")
            subprocess.run([PG_PEER_SCRIPT, "database", os.environ["QUENSC_PG_PEER"], name, odbc], check=True,
                           capture_output=True)
            env.update(ODBCSYSINI=odbc, ODBCINI=os.path.join(odbc, "odbc.ini"),
                       QUENSC_DB_PASSWORD=peer["PG_PASSWORD"])
            store = ["--odbc", name, "--user", peer["PG_USER"]]
        else:
            store = ["--sqlite", os.path.join(folder, "quensc.bin")]
        try:
            subprocess.run([FIXTURE, str(version)] + store + ["--instances", str(instances), "--events", str(events)],
                           check=True, env=env)
            start = time.monotonic()
            subprocess.run([QUENSC_DB, "upgrade"] + store, check=True, capture_output=True, env=env)
            return time.monotonic() - start
        finally:
            if postgres:
                subprocess.run([PG_PEER_SCRIPT, "dropdb", os.environ["QUENSC_PG_PEER"], name], capture_output=True)


def main():
    postgres = os.environ.get("QUENSC_TEST_STORE", "sqlite") == "postgres"
    store = "PostgreSQL" if postgres else "SQLite"
    seconds = run(206, SIZE, 0, postgres)
    print("upgrade on %s 206 -> 216, %d instances: %.1f s" % (store, SIZE, seconds))
    seconds = run(215, SIZE, SIZE, postgres)
    print("upgrade on %s 215 -> 216, %d instances and %d events: %.1f s" % (store, SIZE, SIZE, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
