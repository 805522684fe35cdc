"""Values as wide as their columns, or wider, over the wire: an event whose
joined values exceed its messageParams column is still recorded (fitted to
the column between characters), and on an engine that enforces widths a
value wider than its column answers an error and writes nothing."""

import unittest

import quensc_harness  # noqa: F401 - puts the harness on the path
import quensc_install
from service_client import ServerTestCase, policy

FULL = "\u00e9" * 254 + "x"   # 255 characters, 510 bytes: fills an insCustom column


class WideValues(ServerTestCase):
    login_helpdesk = False

    def instance(self, quen):
        self.create_quen(quen)
        self.create_package(quen + "-p", quen)
        return self.create_instance(quen + "-p")

    def test_nine_full_custom_fields_are_stored_and_their_event_is_not_lost(self):
        uid = self.instance("wide")
        self.assertEqual(self.server.InstanceSetAllCustomFields(self.login(), uid, *[FULL] * 9), [0])
        code, info = self.server.InstanceInfo(self.admin, uid)
        self.assertEqual(code, 0)
        self.assertEqual([info["custom%d" % i] for i in range(1, 10)], [FULL] * 9)
        events = self.sql("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 4070 AND instanceUID = ?",
                          (uid,))
        self.assertEqual(len(events), 1, "the event was lost")
        params = events[0][0]
        self.assertLessEqual(len(params.encode()), 1024)
        self.assertTrue(params.startswith(FULL + "\t" + FULL), "the first values were not kept whole")

    def test_a_long_non_ascii_policy_round_trips(self):
        # Texts of three- and two-byte characters, stored in long-field
        # pieces; a cut at 2000 bytes would fall inside a character of each.
        client = "ab" + "\u65e5\u672c\u8a9e " * 600
        host = "x" + "\u00e9" * 1999
        self.create_quen("doc")
        self.assertEqual(self.server.PolicyStore(self.admin, "doc", client, host, policy()), [0])
        code, client_back, host_back, _ = self.server.PolicyAdminRetrieve(self.admin, "doc", 1)
        self.assertEqual((code, client_back, host_back), (0, client, host))

    @unittest.skipUnless(quensc_install.store_class().name == "postgres", "SQLite does not enforce column widths")
    def test_a_value_wider_than_its_column_is_refused_and_nothing_changes(self):
        uid = self.instance("too-wide")
        client = self.login()
        self.assertEqual(self.server.InstanceSetCustomField(client, uid, 0, "kept"), [0])
        self.assertNotEqual(self.server.InstanceSetCustomField(client, uid, 0, FULL + "y")[0], 0)
        self.assertNotEqual(self.server.InstanceSetAllCustomFields(client, uid, *(["new"] * 8 + [FULL + "y"]))[0], 0)
        self.assertEqual(self.sql("SELECT insCustom1, insCustom2 FROM PolicyDb_Instance WHERE instanceUID = ?",
                                  (uid,)), [("kept", "")])


if __name__ == "__main__":
    unittest.main()
