"""InstanceCreate against its floor: a plain SQLite program (raw_commits)
doing per request what the server's request does in the database (the same
reads and rows in the same two transactions, with prepared statements and
one transaction at a time) on the same schema with the same durability
(write-ahead log, a full sync at each commit), on the same file system, at 1
and 8 concurrent clients. Rounds are interleaved (raw, server,
raw, server ...) and the medians compared; the goal is a ratio of at least
0.8. SQLite installations only."""

import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))
from quensc_install import BUILD, Installation  # noqa: E402
from scale_bench import body, create_package, manager_session, require_tools, wrk  # noqa: E402

DURATION = os.environ.get("QUENSC_BENCH_SECONDS", "3")
ROUNDS = int(os.environ.get("QUENSC_BENCH_ROUNDS", "3"))
RAW = os.path.join(BUILD, "bench", "raw_commits")
GOAL = 0.8


def raw_rate(directory, clients):
    path = os.path.join(directory, "raw-commits.bin")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    out = subprocess.run([RAW, path, str(clients), DURATION], capture_output=True, text=True, check=True).stdout
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    return float(out.split()[1])


def main():
    require_tools(RAW)
    install = Installation(logging_level=4)
    try:
        install.start()
        if install.store.name != "sqlite":
            print("commit_bench: SQLite only, skipped on %s" % install.store.name)
            return
        proxy = install.proxy()
        admin = manager_session(proxy)
        assert proxy.QuenCreate(admin, {"uuid": "bench-q0", "name": "Bench Quen"}) == [0]
        create_package(proxy, admin, "bench-q0", "bench-p0-0", "Bench package")
        client = proxy.SessionOpen(10)[1]
        create_args = (client, {"type": 0}, "bench-p0-0", "bench key", "bench copy id")
        answer = proxy.InstanceCreate(*create_args)
        if answer[0] != 0:
            raise RuntimeError("InstanceCreate answered %r" % (answer,))
        create = body("InstanceCreate", *create_args)
        directory = os.path.dirname(install.db)
        rows = []
        for clients in (1, 8):
            raws, servers = [], []
            for _ in range(ROUNDS):
                raws.append(raw_rate(directory, clients))
                servers.append(wrk(install.url, create, clients))
            rows.append((clients, statistics.median(raws), statistics.median(servers)))
        print("\nInstanceCreate against raw SQLite commits (WAL, synchronous=FULL), requests per second, "
              "medians of %d interleaved rounds of %ss" % (ROUNDS, DURATION))
        print("%-8s %14s %16s %8s %6s" % ("clients", "raw SQLite", "InstanceCreate", "ratio", "goal"))
        for clients, raw, server in rows:
            print("%-8d %14.1f %16.1f %8.3f %6s" % (clients, raw, server, server / raw,
                                                    "ok" if server / raw >= GOAL else "<%.1f" % GOAL))
    finally:
        install.remove()


if __name__ == "__main__":
    main()
