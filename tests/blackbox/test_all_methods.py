"""Every one of the 58 methods of the exported table, called at least once
through the real server in the course of one story: a Quen from creation
to destruction with its policies, packages, access entries, instances and
their attributes, the instance search, user data and MAC pools. Each call
answers a result array with the code the story expects, and no method
answers through the placeholder of work that is not there yet."""

import unittest

from quensc_harness import ADMIN_PASSWORD
from service_client import ANYBODY, ServerTestCase, i64, package, password_credential, policy

METHODS = [
    "SessionOpen", "SessionClose", "SslCertsRetrieve", "AuthenticateManager", "LdapUserChangePassword",
    "QuenCreate", "QuenDestroy", "QuenDestroyPreview", "QuenInfo", "QuenUpdate", "QuenQuery",
    "PackageCreate", "PackageUpdate", "PackageInfo", "PackageQuery", "AccessAdd", "AccessRemove", "AccessQuery",
    "InstanceCreate", "InstanceCopy", "InstanceInfo", "InstanceRevoke", "InstanceDelete", "InstanceEnable",
    "InstanceGetState", "InstanceSetPassword", "InstanceChangePassword", "InstanceSetGuestInfo",
    "InstanceSetHostInfo", "InstanceVerify", "InstanceGetKey", "InstanceSetExpiration",
    "InstanceSetCopyProtectionId", "InstanceQueryExt", "InstanceQueryCount", "InstanceSetCustomField",
    "InstanceSetAllCustomFields", "InstanceSetCustomFieldName", "InstanceGetCustomFieldName",
    "InstanceGetAllCustomFieldNames", "InstanceClearCustomField", "PolicyStore", "PolicyRetrieve",
    "PolicyRetrieveHostOnly", "PolicyAdminRetrieve", "PolicyPublish", "UserDataAddToQuen", "UserDataAddToPackage",
    "UserDataRemoveFromQuen", "UserDataRemoveFromPackage", "UserDataListByQuen", "UserDataListByPackage",
    "UserDataQuery", "MacPoolAdd", "MacPoolRemove", "MacPoolQuery", "MacAddressRequest", "Echo",
]


class AllMethods(ServerTestCase):
    def setUp(self):
        self.called = set()
        super().setUp()

    def call(self, method, *args, code=0):
        """Calls method and checks the code; the whole answer."""
        answer = getattr(self.server, method)(*args)
        self.called.add(method)
        self.assertIsInstance(answer, list, method)
        self.assertEqual(answer[0], code, "%s answered %r" % (method, answer))
        return answer

    def login(self, password=None):
        session = self.call("SessionOpen", 10)[1]
        if password is not None:
            self.call("AuthenticateManager", session, password_credential(password))
        return session

    def test_every_method_does_its_work(self):
        call = self.call
        admin, client = self.login(ADMIN_PASSWORD), self.login()
        self.assertTrue(call("SslCertsRetrieve", client)[1].startswith("-----BEGIN CERTIFICATE-----"))
        self.assertEqual(call("Echo", client, "hello"), [0, "hello"])

        # A Quen, its policies and packages.
        call("QuenCreate", admin, {"uuid": "every", "name": "Every method"})
        call("QuenUpdate", admin, {"uuid": "every", "name": "All of them"})
        self.assertEqual(call("QuenInfo", admin, "every"), [0, {"uuid": "every", "name": "All of them"}])
        self.assertIn({"uuid": "every", "name": "All of them"}, call("QuenQuery", admin)[2:])
        call("PolicyStore", admin, "every", "client policy", "host policy", policy(authType=2, copyPolicy=2))
        self.assertEqual(call("PolicyAdminRetrieve", admin, "every", 1)[1:3], ["client policy", "host policy"])
        call("PolicyPublish", admin, "every")
        call("PackageCreate", admin, package("every-p", "every"))
        call("PackageUpdate", admin, package("every-p", "every", name="Renamed"))
        self.assertEqual(call("PackageInfo", admin, "every-p")[1]["name"], "Renamed")
        self.assertEqual(call("PackageQuery", admin, "every")[1], 1)
        call("AccessAdd", admin, "every", {"data": "token-1", "name": "Token one", "type": 2,
                                           "useInstanceLimit": 0, "instanceLimit": 0})
        self.assertEqual(call("AccessQuery", admin, "every", 1)[1], 1)
        call("AccessRemove", admin, "every", "token-1")

        # An instance: created by a client runtime, protected by a password.
        created = call("InstanceCreate", client, ANYBODY, "every-p", "client key", "cp-1")
        uid = created[1]
        call("InstanceVerify", client, uid)
        self.assertEqual(call("InstanceInfo", client, uid)[1]["uuid"], uid)
        self.assertEqual(call("InstanceGetState", client, uid)[1], 0)
        call("InstanceSetPassword", admin, uid, "first password")
        call("InstanceChangePassword", client, uid, "first password", "second password")
        other = self.login()
        self.assertEqual(call("InstanceGetKey", other, password_credential("second password"), uid),
                         [0, "client key"])
        self.assertEqual(call("PolicyRetrieve", client, "every-p", uid, 0)[1:3], ["client policy", "host policy"])
        self.assertEqual(call("PolicyRetrieveHostOnly", client, "every"), [0, "host policy"])
        copy = call("InstanceCopy", client, ANYBODY, password_credential("second password"), uid, "copy key",
                    "cp-2", 0)[1]
        # No directory is configured: a directory password change cannot be made.
        call("LdapUserChangePassword", client, uid,
             {"type": 1, "ldap": {"name": "owner", "pwd": "old", "domain": "example.test"}}, "new", code=8)

        # Its attributes.
        call("InstanceSetGuestInfo", client, uid, {"ip": "10.0.0.1", "macAddress": "02:00:00:00:00:01",
                                                   "configMsg": "ok", "machineName": "vm", "status": 1})
        call("InstanceSetHostInfo", client, uid, {"hostname": "host", "ip": "192.0.2.1"})
        call("InstanceSetCustomField", client, uid, 0, "one")
        call("InstanceSetAllCustomFields", client, copy, *["c%d" % i for i in range(9)])
        call("InstanceSetCustomFieldName", admin, 0, "First")
        self.assertEqual(call("InstanceGetCustomFieldName", admin, 0), [0, "First"])
        self.assertEqual(len(call("InstanceGetAllCustomFieldNames", admin)), 10)
        call("InstanceClearCustomField", admin, 0)
        call("InstanceSetExpiration", admin, uid, 0, 0, i64(0), i64(0))
        call("InstanceSetCopyProtectionId", admin, uid, "cp-3")
        self.assertEqual(call("InstanceQueryExt", admin, {"quenUuidClause": {"type": 1, "val0": "every"}})[1], 2)
        self.assertEqual(call("InstanceQueryCount", admin, {"copyProtectionIdClause": {"type": 1, "val0": "cp-3"}}),
                         [0, 1])

        # User data and MAC pools.
        call("UserDataAddToQuen", admin, "every", {"activator": "", "name": "q", "value": "v", "type": 0})
        call("UserDataAddToPackage", admin, "every-p", {"activator": "", "name": "p", "value": "v", "type": 0})
        self.assertEqual(call("UserDataListByQuen", admin, "every")[1], 1)
        self.assertEqual(call("UserDataListByPackage", admin, "every-p")[1], 1)
        self.assertEqual(call("UserDataQuery", client, "every-p")[1], 2)
        call("UserDataRemoveFromQuen", admin, "every", "", "q")
        call("UserDataRemoveFromPackage", admin, "every-p", "", "p")
        call("MacPoolAdd", admin, {"uuid": "every-pool", "quen_uuid": "every", "name": "pool", "description": "",
                                   "rangeStart": "02:00:00:00:00:00", "rangeEnd": "02:00:00:00:00:01",
                                   "lastAssigned": ""})
        self.assertEqual(call("MacAddressRequest", client, uid), [0, "02:00:00:00:00:00"])
        self.assertEqual(call("MacPoolQuery", admin, "every")[1], 1)
        call("MacPoolRemove", admin, "every-pool")

        # The end of the instances and of the Quen.
        call("InstanceRevoke", admin, copy)
        call("InstanceEnable", admin, ANYBODY, ANYBODY, copy)
        call("InstanceRevoke", admin, copy)
        call("InstanceDelete", admin, copy)
        call("InstanceRevoke", admin, uid)
        call("QuenDestroyPreview", admin, "every")
        call("QuenDestroy", admin, "every")
        for session in (admin, client, other):
            call("SessionClose", session)

        self.assertEqual(sorted(set(METHODS) - self.called), [])
        self.assertEqual(len(METHODS), 58)
        log = self.install.error_log()
        self.assertNotIn("not available yet", log)
        self.assertNotIn("Error reading rpc msg", log)


if __name__ == "__main__":
    unittest.main()
