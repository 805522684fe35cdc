"""Two servers on one database, as behind a load balancer: callers spread
over both race for the addresses of one MAC pool and for the instances of a
Quen with a limit, and every request leaves its audit event. Neither server
may hand out an address twice, admit an instance past the limit, or lose or
fork an event of the chain. Runs on either store (QUENSC_TEST_STORE)."""

import threading
import unittest
import xmlrpc.client

from quensc_harness import ADMIN_PASSWORD, Installation
from service_client import ANYBODY, package, password_credential, policy

CALLERS_PER_SERVER = 12


class TwoServersOneDatabase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.first = Installation()
        cls.second = None
        try:
            cls.second = Installation(store=cls.first.store)
            cls.first.start()
            cls.second.start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.second:
            cls.second.remove()
        cls.first.remove()   # last: it owns the database

    def sql(self, statement, params=()):
        return self.first.store.sql(statement, params)

    def admin(self):
        server = self.first.proxy()
        self.addCleanup(server("close"))
        session = server.SessionOpen(10)[1]
        self.assertEqual(server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)), [0])
        return server, session

    def race(self, calls, request):
        """Runs request(proxy, session) `calls` times on each of the callers,
        half of them on each server, all starting together; the answers."""
        callers = [self.first, self.second] * CALLERS_PER_SERVER
        start = threading.Barrier(len(callers))
        answers, failures = [], []
        lock = threading.Lock()

        def caller(install):
            try:
                proxy = xmlrpc.client.ServerProxy(install.url)
                session = proxy.SessionOpen(10)[1]
                start.wait(timeout=120)
                mine = [request(proxy, session) for _ in range(calls)]
                proxy.SessionClose(session)
                proxy("close")()
                with lock:
                    answers.extend(mine)
            except Exception as e:  # noqa: BLE001 - reported below
                with lock:
                    failures.append(repr(e))

        threads = [threading.Thread(target=caller, args=(install,)) for install in callers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        return answers

    def assert_chain_unbroken(self):
        rows = self.sql("SELECT eventUID, prevEventUID FROM PolicyDb_Event ORDER BY eventUID")
        numbers = [int(uid) for uid, _ in rows]
        self.assertEqual(numbers, list(range(numbers[0], numbers[0] + len(numbers))), "a number was skipped")
        for (uid, prev), (before, _) in zip(rows[1:], rows):
            self.assertEqual(prev, before, "event %s does not follow %s" % (uid, before))

    def test_a_pool_of_n_hands_out_exactly_n_distinct_addresses(self):
        server, admin = self.admin()
        self.assertEqual(server.QuenCreate(admin, {"uuid": "mac", "name": "mac"}), [0])
        self.assertEqual(server.PackageCreate(admin, package("mac-p", "mac")), [0])
        instance = server.InstanceCreate(server.SessionOpen(10)[1], ANYBODY, "mac-p", "k", "")
        self.assertEqual(instance[0], 0)
        size = 100
        self.assertEqual(server.MacPoolAdd(admin, {
            "uuid": "shared", "quen_uuid": "mac", "name": "shared", "description": "",
            "rangeStart": "02:00:00:00:00:01", "rangeEnd": "02:00:00:00:00:%02X" % size, "lastAssigned": ""}), [0])
        events_before = self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType = 4150")[0][0]

        answers = self.race(5, lambda proxy, session: proxy.MacAddressRequest(session, instance[1]))

        addresses = [a[1] for a in answers if a[0] == 0]
        self.assertEqual(len(addresses), size)
        self.assertEqual(len(set(addresses)), size, "an address was handed out twice")
        self.assertEqual(sorted(a[0] for a in answers if a[0] != 0), [37] * (len(answers) - size))
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType = 4150")[0][0],
                         events_before + len(answers), "an event was lost")
        self.assert_chain_unbroken()

    def test_the_instance_limit_holds_across_servers(self):
        server, admin = self.admin()
        limit = 7
        self.assertEqual(server.QuenCreate(admin, {"uuid": "lim", "name": "lim"}), [0])
        self.assertEqual(server.PolicyStore(admin, "lim", "client", "host",
                                            policy(useInstanceLimit=1, instanceLimit=limit)), [0])
        self.assertEqual(server.PolicyPublish(admin, "lim"), [0])
        self.assertEqual(server.PackageCreate(admin, package("lim-p", "lim")), [0])

        answers = self.race(2, lambda proxy, session: proxy.InstanceCreate(session, ANYBODY, "lim-p", "k", ""))

        codes = sorted(a[0] for a in answers)
        self.assertEqual(codes, [0] * limit + [26] * (len(answers) - limit))
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE quenUID = 'lim'")[0][0], limit)
        self.assert_chain_unbroken()


if __name__ == "__main__":
    unittest.main()
