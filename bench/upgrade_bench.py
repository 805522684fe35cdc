"""How long the schema upgrade takes on a large database: the ladder from
206 to 216 with 100,000 instances, and the last step (215 to 216, which
rewrites every instance and re-signs every event) with 100,000 instances and
100,000 events. Each database is written by upgrade_fixture and upgraded by
`quensc-db upgrade`; the figure is the wall time of that command.

SQLite only for now: QUENSC_TEST_STORE=postgres prints that the PostgreSQL
run is not measured yet."""

import os
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(os.environ.get("QUENSC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build")))
FIXTURE = os.path.join(BUILD, "apps", "lib", "policydb", "upgrade_fixture")
QUENSC_DB = os.path.join(BUILD, "apps", "quensc-db", "quensc-db")
SIZE = int(os.environ.get("QUENSC_BENCH_UPGRADE_ROWS", "100000"))


def run(version, instances, events):
    with tempfile.TemporaryDirectory(prefix="quensc-upgrade-bench-") as folder:
        path = os.path.join(folder, "quensc.bin")
        subprocess.run([FIXTURE, str(version), "--sqlite", path, "--instances", str(instances),
                        "--events", str(events)], check=True)
        start = time.monotonic()
        subprocess.run([QUENSC_DB, "upgrade", "--sqlite", path], check=True, capture_output=True)
        return time.monotonic() - start


def main():
    if os.environ.get("QUENSC_TEST_STORE", "sqlite") != "sqlite":
        print("upgrade: PostgreSQL run not measured yet")
        return 0
    seconds = run(206, SIZE, 0)
    print("upgrade 206 -> 216, %d instances: %.1f s" % (SIZE, seconds))
    seconds = run(215, SIZE, SIZE)
    print("upgrade 215 -> 216, %d instances and %d events: %.1f s" % (SIZE, SIZE, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
