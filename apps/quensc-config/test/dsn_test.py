"""The tool's data source checks through configure against the PostgreSQL
peer (tests/peers/postgres.sh, started once per run by the ctest fixture
postgres; QUENSC_PG_PEER names its state file): GetDSNList lists the
system's sources, CheckDSNData proves the credentials and looks for the
schema, Commit creates the schema in the chosen source."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import cgi_test

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "..", "..", "..", "tests", "peers", "postgres.sh")
STATE = os.environ.get("QUENSC_PG_PEER", "")


def peer_facts():
    with open(STATE) as f:
        return dict(line.strip().split("=", 1) for line in f if "=" in line)


# Two databases, each the data source of the same name: one stays without a
# schema, the tool creates the schema in the other. They are added in the
# reverse of name order, so that the listing shows its sorting.
TAG = "qcfg%d" % os.getpid()
EMPTY = TAG + "_empty"
FILLED = TAG + "_filled"
ODBC = None
FACTS = {}


def setUpModule():
    global ODBC
    FACTS.update(peer_facts())
    ODBC = tempfile.mkdtemp(prefix="qcfg-odbc-", dir="/tmp")
    for name in (FILLED, EMPTY):
        subprocess.run(["bash", PEER, "database", STATE, name, ODBC], check=True)


def tearDownModule():
    for name in (FILLED, EMPTY):
        subprocess.run(["bash", PEER, "dropdb", STATE, name], check=False)
    shutil.rmtree(ODBC, ignore_errors=True)


class DataSourceTest(unittest.TestCase):
    def setUp(self):
        self.inst = cgi_test.Installation()

    def tearDown(self):
        self.inst.remove()

    def run_tool(self, type_, **fields):
        """A POST from the pages' own site that sees only the peer's sources
        (no user file)."""
        env = {"ODBCSYSINI": ODBC, "ODBCINI": os.path.join(ODBC, "none.ini")}
        return self.inst.run(dict(fields, type=type_), method="POST", origin="http://127.0.0.1:8080", env=env)[1]

    def credentials(self, dsn=EMPTY):
        return {"atsDSN": dsn, "atsName": FACTS["PG_USER"], "atsPasswd": FACTS["PG_PASSWORD"]}

    def test_listing_names_the_peers_sources_in_name_order(self):
        self.assertEqual(self.run_tool("GetDSNList"), "SUCCESS:%s::,::%s::,::" % (EMPTY, FILLED))

    def test_check_dsn_data_answers(self):
        cases = [
            ("right credentials, no schema", {}, "SUCCESS:checkSchema::=::false"),
            ("wrong password", {"atsPasswd": "wrong"}, "ERROR:201"),
            ("wrong user", {"atsName": "nobody"}, "ERROR:201"),
            ("unknown source", {"atsDSN": TAG + "_nowhere"}, "ERROR:201"),
            ("no schema, overwrite refused", {"dbConfirm": "1", "overwrite": "-1"}, "ERROR:202"),
            ("no schema, overwrite not answered", {"dbConfirm": "1", "overwrite": "0"},
             "SUCCESS:checkSchema::=::false"),
            ("no schema, overwrite accepted", {"dbConfirm": "1", "overwrite": "1"}, "SUCCESS:"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.run_tool("CheckDSNData", **dict(self.credentials(), **fields)), expected)

    def test_schema_the_tool_created_is_found(self):
        self.assertEqual(self.run_tool("Commit", dbType="odbc", overwrite="1", adminPass="pw", purgeType="0",
                                       **self.credentials(FILLED)), "SUCCESS:")
        self.inst.cookie = None
        self.assertEqual(self.run_tool("Login", loginPlainPasswd="pw"), "SUCCESS:")
        cases = [
            ("first check", {}, "SUCCESS:checkSchema::=::true"),
            ("overwrite refused", {"dbConfirm": "1", "overwrite": "-1"}, "SUCCESS:"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.run_tool("CheckDSNData", **dict(self.credentials(FILLED), **fields)), expected)


if __name__ == "__main__":
    if not cgi_test.CONFIGURE and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        cgi_test.CONFIGURE = sys.argv.pop(1)
    unittest.main(verbosity=2)
