"""User data and MAC pools over the wire: an administrator attaches values
to a Quen and to its packages, a client runtime fetches what applies to its
package and a manager lists one level; MAC pools hand addresses out in pool
UID order, one at a time, never twice, also when many clients ask at
once."""

import threading
import unittest
import xmlrpc.client

from service_client import ServerTestCase


def entry(name, value, type_=0, activator=""):
    return {"activator": activator, "name": name, "value": value, "type": type_}


def listed(answer):
    """The entries of a list answer as sorted (activator, name, value, type)."""
    code, count, *entries = answer
    assert code == 0, answer
    assert count == len(entries), answer
    return sorted((e["activator"], e["name"], e["value"], e["type"]) for e in entries)


def pool(uid, quen, start, end, last=""):
    return {"uuid": uid, "quen_uuid": quen, "name": "pool " + uid, "description": "for " + quen,
            "rangeStart": start, "rangeEnd": end, "lastAssigned": last}


class UserData(ServerTestCase):
    def test_values_for_a_quen_and_its_packages(self):
        s, admin = self.server, self.admin
        self.create_quen("ud")
        self.create_package("ud-a", "ud")
        self.create_package("ud-b", "ud")
        secret = "s3cret value with <xml> & 'quotes'"

        self.assertEqual(s.UserDataAddToQuen(admin, "ud", entry("server", "lic.example", 1)), [0])
        self.assertEqual(s.UserDataAddToQuen(admin, "ud", entry("token", secret, 2)), [0])
        self.assertEqual(s.UserDataAddToPackage(admin, "ud-a", entry("profile", "first", 3)), [0])
        # Adding the same key again replaces value and type.
        self.assertEqual(s.UserDataAddToPackage(admin, "ud-a", entry("profile", "developer", 4)), [0])
        self.assertEqual(s.UserDataAddToPackage(admin, "ud-a", entry("profile", "for carol", 5, "carol")), [0])

        # A client runtime sees the Quen-wide entries and its package's own.
        client = self.login()
        self.assertEqual(listed(s.UserDataQuery(client, "ud-a")),
                         [("", "profile", "developer", 4), ("", "server", "lic.example", 1),
                          ("", "token", secret, 2)])
        self.assertEqual(listed(s.UserDataQuery(client, "ud-b")),
                         [("", "server", "lic.example", 1), ("", "token", secret, 2)])
        self.assertEqual(s.UserDataQuery(client, "no-such-package"), [19])

        # A manager lists exactly one level, with every activator's entries.
        self.assertEqual(listed(s.UserDataListByQuen(admin, "ud")),
                         [("", "server", "lic.example", 1), ("", "token", secret, 2)])
        self.assertEqual(listed(s.UserDataListByPackage(admin, "ud-a")),
                         [("", "profile", "developer", 4), ("carol", "profile", "for carol", 5)])
        self.assertEqual(listed(s.UserDataListByPackage(admin, "ud-b")), [])
        self.assertEqual(s.UserDataListByQuen(self.helpdesk, "ud"), [9])
        self.assertEqual(s.UserDataListByQuen(admin, "no-such-quen"), [18])

        # Removing finds an entry at its own level only.
        self.assertEqual(s.UserDataRemoveFromPackage(admin, "ud-a", "", "server"), [23])
        self.assertEqual(s.UserDataRemoveFromQuen(admin, "ud", "", "profile"), [23])
        self.assertEqual(s.UserDataRemoveFromPackage(admin, "ud-a", "carol", "profile"), [0])
        self.assertEqual(s.UserDataRemoveFromQuen(admin, "ud", "", "token"), [0])
        self.assertEqual(s.UserDataRemoveFromQuen(admin, "ud", "", "token"), [23])
        self.assertEqual(listed(s.UserDataQuery(client, "ud-a")),
                         [("", "profile", "developer", 4), ("", "server", "lic.example", 1)])

        # Unknown owners, a nameless entry, a struct without its type.
        self.assertEqual(s.UserDataAddToQuen(admin, "no-such-quen", entry("n", "v")), [18])
        self.assertEqual(s.UserDataAddToPackage(admin, "no-such-package", entry("n", "v")), [19])
        self.assertEqual(s.UserDataAddToQuen(admin, "ud", entry("", "v")), [5])
        self.assertEqual(s.UserDataAddToQuen(admin, "ud", {"activator": "", "name": "n", "value": "v"}), [2])

        # The value never reaches the event log; names and types do.
        params = [p for (p,) in self.sql("SELECT messageParams FROM PolicyDb_Event WHERE eventType BETWEEN 5050 "
                                         "AND 5080 AND returnCodeText = 'OK'")]
        self.assertIn("token\t2", params)
        self.assertIn("profile\t4", params)
        everything = self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE messageParams LIKE '%s3cret%'")
        self.assertEqual(everything, [(0,)])
        self.assertNotIn("s3cret", self.install.error_log())
        self.assertEqual(self.sql("SELECT quenUID, packageUID FROM PolicyDb_Event WHERE eventType = 5060 "
                                  "AND returnCodeText = 'OK' LIMIT 1"), [("ud", "ud-a")])


class MacPools(ServerTestCase):
    def request(self, session, instance):
        answer = self.server.MacAddressRequest(session, instance)
        return answer[1] if answer[0] == 0 else answer

    def test_addresses_come_in_pool_uid_order_until_every_pool_is_full(self):
        s, admin = self.server, self.admin
        self.create_quen("mac")
        self.create_package("mac-p", "mac")
        client = self.login()
        uid = self.create_instance("mac-p", client)
        self.assertEqual(s.MacAddressRequest(client, uid), [24])

        # Added in the order B, A; handed out A first. The struct's
        # lastAssigned is ignored: a new pool starts empty.
        self.assertEqual(s.MacPoolAdd(admin, pool("pool-B", "mac", "0a:00:00:00:00:ff", "0A:00:00:00:01:00")), [0])
        self.assertEqual(s.MacPoolAdd(admin, pool("pool-A", "mac", "02:00:00:00:00:00", "02:00:00:00:00:02",
                                                  last="02:00:00:00:00:02")), [0])
        got = [self.request(client, uid) for _ in range(6)]
        self.assertEqual(got, ["02:00:00:00:00:00", "02:00:00:00:00:01", "02:00:00:00:00:02",
                               "0A:00:00:00:00:FF", "0A:00:00:00:01:00", [37]])
        self.assertIn("MAC Pools for quen (mac) exhausted", self.install.error_log())
        # The address is not stored on the instance.
        self.assertEqual(s.InstanceInfo(admin, uid)[1]["guestInfo.macAddress"], "")

        code, count, *pools = s.MacPoolQuery(admin, "mac")
        self.assertEqual((code, count), (0, 2))
        by_uid = {p["uuid"]: p for p in pools}
        self.assertEqual(by_uid["pool-A"], {"uuid": "pool-A", "quen_uuid": "mac", "name": "pool pool-A",
                                            "description": "for mac", "rangeStart": "02:00:00:00:00:00",
                                            "rangeEnd": "02:00:00:00:00:02", "lastAssigned": "02:00:00:00:00:02"})
        self.assertEqual(by_uid["pool-B"]["rangeStart"], "0A:00:00:00:00:FF")

        # A one-address pool: exactly that address, once. Removing the pools
        # leaves the Quen without any.
        self.assertEqual(s.MacPoolAdd(admin, pool("pool-C", "mac", "06:00:00:00:00:01", "06:00:00:00:00:01")), [0])
        self.assertEqual(self.request(client, uid), "06:00:00:00:00:01")
        self.assertEqual(self.request(client, uid), [37])
        for name in ("pool-A", "pool-B", "pool-C"):
            self.assertEqual(s.MacPoolRemove(admin, name), [0])
        self.assertEqual(s.MacPoolRemove(admin, "pool-A"), [24])
        self.assertEqual(s.MacPoolQuery(admin, "mac"), [0, 0])
        self.assertEqual(s.MacAddressRequest(client, uid), [24])
        # A removed pool's UID is not free again.
        self.assertEqual(s.MacPoolAdd(admin, pool("pool-A", "mac", "02:00:00:00:00:00", "02:00:00:00:00:02")), [25])
        self.assertEqual(self.sql("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 5100 "
                                  "AND returnCodeText = 'OK' AND quenUID = 'mac' ORDER BY CAST(eventUID AS INTEGER) "
                                  "LIMIT 1"),
                         [("pool-A\tpool pool-A\tfor mac\t02:00:00:00:00:00\t02:00:00:00:00:02\t02:00:00:00:00:02",)])

    def test_malformed_and_backwards_ranges(self):
        s, admin = self.server, self.admin
        self.create_quen("bad")
        for start, end in (("02:00:00:00:00", "02:00:00:00:00:09"), ("02:00:00:00:00:0g", "02:00:00:00:00:09"),
                           ("02-00-00-00-00-00", "02:00:00:00:00:09"), ("", "02:00:00:00:00:09"),
                           ("02:00:00:00:00:00", " 02:00:00:00:00:09"), ("00:00:00:00:00:00", "00:00:00:00:00:01")):
            with self.subTest(start=start, end=end):
                self.assertEqual(s.MacPoolAdd(admin, pool("p", "bad", start, end)), [36])
        self.assertEqual(s.MacPoolAdd(admin, pool("p", "bad", "02:00:00:00:00:09", "02:00:00:00:00:08")), [5])
        self.assertEqual(s.MacPoolAdd(admin, pool("p", "no-such-quen", "02:00:00:00:00:00", "02:00:00:00:00:08")), [18])
        self.assertEqual(s.MacPoolAdd(self.helpdesk, pool("p", "bad", "02:00:00:00:00:00", "02:00:00:00:00:08")), [9])
        self.assertEqual(s.MacPoolQuery(admin, "bad"), [0, 0])
        self.assertEqual(s.MacPoolQuery(admin, ""), [18])
        self.assertEqual(s.MacPoolAdd(admin, pool("p", "bad", "02:00:00:00:00:00", "02:00:00:00:00:08")), [0])
        self.assertEqual(s.MacPoolAdd(admin, pool("p", "bad", "04:00:00:00:00:00", "04:00:00:00:00:08")), [25])
        # A pool struct without lastAssigned is a read failure.
        incomplete = pool("q", "bad", "02:00:00:00:00:00", "02:00:00:00:00:08")
        del incomplete["lastAssigned"]
        self.assertEqual(s.MacPoolAdd(admin, incomplete), [2])
        self.assertEqual(s.MacAddressRequest(self.login(), "no-such-instance"), [21])

    def test_parallel_requests_never_share_an_address(self):
        s, admin = self.server, self.admin
        self.create_quen("race")
        self.create_package("race-p", "race")
        uid = self.create_instance("race-p")
        # 300 addresses in two pools; 40 clients ask 10 times each.
        self.assertEqual(s.MacPoolAdd(admin, pool("race-1", "race", "02:00:00:00:00:00", "02:00:00:00:00:95")), [0])
        self.assertEqual(s.MacPoolAdd(admin, pool("race-2", "race", "02:00:00:00:01:00", "02:00:00:00:01:95")), [0])
        threads, results, errors = [], [[] for _ in range(40)], []
        start = threading.Barrier(40)

        def client(slot):
            try:
                proxy = xmlrpc.client.ServerProxy(self.install.url)
                session = proxy.SessionOpen(10)[1]
                start.wait()
                for _ in range(10):
                    results[slot].append(proxy.MacAddressRequest(session, uid))
                proxy.SessionClose(session)
            except Exception as e:  # reported below, in the main thread
                errors.append(e)

        for slot in range(40):
            threads.append(threading.Thread(target=client, args=(slot,)))
            threads[-1].start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        answers = [a for r in results for a in r]
        self.assertEqual(len(answers), 400)
        addresses = [a[1] for a in answers if a[0] == 0]
        self.assertEqual(sorted(a for a in answers if a[0] != 0), [[37]] * 100)
        self.assertEqual(len(addresses), 300)
        self.assertEqual(len(set(addresses)), 300, "an address was handed out twice")
        expected = {"02:00:00:00:%02X:%02X" % (hi, lo) for hi in (0, 1) for lo in range(0x96)}
        self.assertEqual(set(addresses), expected)
        # Each client saw its own answers in hand-out order.
        for r in results:
            mine = [a[1] for a in r if a[0] == 0]
            self.assertEqual(mine, sorted(mine))
        self.assertEqual(self.sql("SELECT macPoolUID, CAST(lastAssigned AS BIGINT) - CAST(rangeEnd AS BIGINT) "
                                  "FROM PolicyDb_MacPool WHERE quenUID = 'race' ORDER BY macPoolUID"),
                         [("race-1", 0), ("race-2", 0)])


if __name__ == "__main__":
    unittest.main()
