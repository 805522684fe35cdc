"""Instances over the wire, told twice: as a client runtime lives with one
(create it with a token or as anybody, verify, check in, fetch the key,
change its password) and as a manager keeps them in order (access entries,
instance limits, revoke, enable, delete, copies under each copy policy).
A last story races many creations against a small limit. Every class runs
against a real server started through quenscd."""

import threading
import unittest

import service_client
from quensc_harness import HELPDESK_PASSWORD
from service_client import ANYBODY, ServerTestCase, package, password_credential, value64

NO_END = 2 ** 63 - 1
REVOKED, NOT_VALID, REPLACED, PASSWORD_SET = 0x1, 0x2, 0x4, 0x10000


def token(text):
    return {"type": 3, "token": {"token": text}}


def directory_user():
    return {"type": 1, "ldap": {"name": "bob", "pwd": "bobs directory pw", "domain": "example.org"}}


def access(data, name, kind):
    return {"data": data, "name": name, "type": kind, "useInstanceLimit": 0, "instanceLimit": 0}


def policy(**members):
    """The stories' policy sets: password authentication, copies allowed."""
    return service_client.policy(**{"authType": 2, "copyPolicy": 2, **members})


class InstanceTestCase(ServerTestCase):
    login_helpdesk = False

    def events(self, event_type, **where):
        clauses = "".join(" AND %s = ?" % column for column in where)
        return self.sql("SELECT messageParams, returnCodeText FROM PolicyDb_Event WHERE eventType = ?%s "
                        "ORDER BY CAST(eventUID AS INTEGER)" % clauses, (event_type, *where.values()))

    def quen(self, uid, entries=(), **members):
        """A Quen whose published set has these members and entries, with an
        ordinary package "<uid>-p" and a preview package "<uid>-preview"."""
        s, admin = self.server, self.admin
        self.create_quen(uid)
        self.assertEqual(s.PolicyStore(admin, uid, "client rules of " + uid, "host rules of " + uid,
                                       policy(**members)), [0])
        for entry in entries:
            self.assertEqual(s.AccessAdd(admin, uid, entry), [0])
        self.assertEqual(s.PolicyPublish(admin, uid), [0])
        self.assertEqual(s.PackageCreate(admin, package(uid + "-p", uid)), [0])
        self.assertEqual(s.PackageCreate(admin, package(uid + "-preview", uid, preview=1)), [0])

    def create(self, session, credential, package_uid, key="instance key", copy_protection="cp"):
        return self.server.InstanceCreate(session, credential, package_uid, key, copy_protection)

    def created(self, session, credential, package_uid):
        code, uid, _ = self.create(session, credential, package_uid)
        self.assertEqual(code, 0)
        return uid

    def state(self, uid):
        code, state = self.server.InstanceGetState(self.admin, uid)
        self.assertEqual(code, 0)
        return state

    def stored(self, quen):
        return self.sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE quenUID = ? AND deleted = 'FALSE'",
                        (quen,))[0][0]


class ClientRuntime(InstanceTestCase):
    def test_a_token_holder_runs_an_instance(self):
        self.quen("rt", entries=[access("rt-token", "Runtime token", 2)], instType=2, authType=2)
        s, client = self.server, self.login()

        code, uid, key = self.create(client, token("rt-token"), "rt-p", key="my instance key")
        self.assertEqual((code, len(uid), key), (0, 36, "key-of-rt-p"))
        self.assertEqual(s.InstanceVerify(client, uid), [0], "the creating session knows its instance")

        # Check-in: the runtime fetches its rules, the server notes the time.
        code, client_rules, host_rules, rules = s.PolicyRetrieve(client, "rt-p", uid, 0)
        self.assertEqual((code, client_rules, host_rules, rules["authType"]),
                         (0, "client rules of rt", "host rules of rt", 2))
        code, info = s.InstanceInfo(client, uid)
        self.assertEqual(code, 0)
        self.assertGreaterEqual(value64(info["lastPolicyCheck"]), value64(info["activationDate"]))
        self.assertEqual((info["package_name"], info["quen_name"], info["quen_uuid"], info["package_uuid"]),
                         ("package rt-p", "Quen rt", "rt", "rt-p"))
        self.assertEqual((info["creatorName"], info["creatorData"], info["creatorType"]),
                         ("Runtime token", "rt-token", 2))
        self.assertEqual((info["state"], value64(info["ttl"]), value64(info["validDateEnd"]),
                          info["useValidDates"], info["inheritsExpiration"], info["preview"]),
                         (0, -1, NO_END, 0, 1, 0))
        self.assertEqual((info["copyProtectionId"], info["hostInfo.hostname"], info["custom9"]), ("cp", "", ""))
        self.assertNotIn("key", info)

        # The runtime gives its instance a password and later proves it.
        self.assertEqual(s.InstanceChangePassword(client, uid, "wrong", "runtime pw"), [10])
        self.assertEqual(s.InstanceChangePassword(client, uid, "", "runtime pw"), [0])
        self.assertEqual(self.state(uid), PASSWORD_SET)
        later = self.login()
        self.assertEqual(s.InstanceVerify(later, uid), [10])
        self.assertEqual(s.InstanceGetKey(later, password_credential("not it"), uid), [10])
        self.assertEqual(s.InstanceGetKey(later, token("rt-token"), uid), [5], "authType 2 wants the password")
        self.assertEqual(s.InstanceGetKey(later, password_credential("runtime pw"), uid), [0, "my instance key"])
        self.assertEqual(s.InstanceVerify(later, uid), [0], "the key request adopted the session")

        # Who may not create: another token, another kind of credential.
        self.assertEqual(self.create(client, token("other"), "rt-p"), [32])
        self.assertEqual(self.create(client, password_credential("rt-token"), "rt-p"), [5])
        self.assertEqual(self.create(client, token("rt-token"), "no-such-package"), [19])

        # The trail: credential types, never a password.
        self.assertEqual(self.events(4020, instanceUID=uid), [('type = TOKEN, value = "rt-token"', "OK")])
        self.assertIn(('type = PASSWORD, value = "********"', "OK"), self.events(1030, instanceUID=uid))
        self.assertEqual(self.events(4100, instanceUID=uid), [("", "AUTHENTICATION FAILED"), ("", "OK")])
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE messageParams LIKE '%runtime pw%'"),
                         [(0,)])
        self.assertNotIn("runtime pw", self.install.error_log())

    def test_anybody_may_create_and_preview_runs_the_working_set(self):
        self.quen("open", instType=0, authType=0, sessionLifetime=-1)
        s, client = self.server, self.login()
        uid = self.created(client, ANYBODY, "open-p")
        self.assertEqual(s.InstanceInfo(client, uid)[1]["creatorName"], "N/A")
        self.assertEqual(s.InstanceGetKey(self.login(), password_credential("anything"), uid), [0, "instance key"],
                         "authType 0 asks nothing")

        # A preview instance follows the unpublished working set.
        self.assertEqual(s.PolicyStore(self.admin, "open", "draft", "draft host",
                                       policy(instType=0, authType=2, expType=2, expValue_1=1,
                                              expValue_2=2)), [0])
        preview = self.created(client, ANYBODY, "open-preview")
        code, info = s.InstanceInfo(client, preview)
        self.assertEqual((info["preview"], value64(info["validDateEnd"]), info["state"], value64(info["ttl"])),
                         (1, 2, NOT_VALID, 0))
        self.assertEqual(s.InstanceVerify(client, preview), [30], "outside its window it cannot run")
        self.assertEqual(s.InstanceVerify(client, uid), [10], "the session now belongs to the preview")

        # No directory is configured: the owner's directory password stays.
        self.assertEqual(s.LdapUserChangePassword(client, uid, directory_user(), "new"), [8])
        self.assertEqual(s.LdapUserChangePassword(client, uid, password_credential("x"), "new"), [5])
        self.assertEqual(s.LdapUserChangePassword(client, "no-such", directory_user(), "new"), [21])

    def test_directory_paths_fail_like_an_unreachable_directory(self):
        self.quen("dir", instType=1, authType=1)
        s, client = self.server, self.login()
        self.assertEqual(self.create(client, directory_user(), "dir-p"), [10], "the directory login fails")
        self.assertEqual(self.create(client, token("t"), "dir-p"), [5])
        self.assertEqual(s.AccessAdd(self.admin, "dir", access("CN=Bob,DC=example,DC=org", "Bob", 0)), [40])
        self.assertEqual(s.AccessAdd(self.admin, "dir", access("CN=Staff,DC=example,DC=org", "Staff", 1)), [40])
        self.assertEqual(s.AccessQuery(self.admin, "dir", 1), [0, 0], "nothing was stored")
        self.assertEqual(self.stored("dir"), 0)
        self.assertNotIn("bobs directory pw", self.install.error_log())


class Manager(InstanceTestCase):
    def test_access_entries_follow_the_working_version(self):
        self.quen("acl", instType=2)
        s, admin = self.server, self.admin
        self.assertEqual(s.AccessAdd(admin, "acl", access("secret-token", "Lab machines", 2)), [0])
        self.assertEqual(s.AccessAdd(admin, "acl", access("secret-token", "Lab PCs", 2)), [0], "adding again updates")
        self.assertEqual(s.AccessQuery(admin, "acl", 1), [0, 1, access("secret-token", "Lab PCs", 2)])
        self.assertEqual(s.AccessQuery(admin, "acl", 0), [0, 0])
        self.assertEqual(self.create(self.login(), token("secret-token"), "acl-p"), [32],
                         "only published entries admit")

        self.assertEqual(s.PolicyPublish(admin, "acl"), [0])
        self.assertEqual(s.AccessQuery(admin, "acl", 0), s.AccessQuery(admin, "acl", 1))
        self.created(self.login(), token("secret-token"), "acl-p")
        self.assertEqual(s.AccessRemove(admin, "acl", "secret-token"), [0])
        self.assertEqual(s.AccessQuery(admin, "acl", 0)[1], 1, "the published list keeps it")
        self.assertEqual(s.AccessRemove(admin, "acl", "secret-token"), [20])
        self.assertEqual(s.AccessAdd(admin, "acl", access("", "empty", 2)), [5])
        self.assertEqual(s.AccessAdd(self.login(HELPDESK_PASSWORD), "acl", access("t", "t", 2)), [9])
        self.assertEqual(s.AccessQuery(self.login(HELPDESK_PASSWORD), "acl", 0)[0], 0)

        self.assertEqual(self.events(5010, quenUID="acl"),
                         [("TOKEN\tLab machines\t********", "OK"), ("TOKEN\tLab PCs\t********", "OK"),
                          ("TOKEN\tempty\t********", "INVALID PARAMETER"),
                          ("TOKEN\tt\t********", "INSUFFICIENT PRIVILEGES")])
        self.assertEqual(self.events(5020, quenUID="acl"),
                         [("TOKEN\tLab PCs\t********", "OK"), ("USER\t\t", "ACCESS DOES NOT EXIST")])
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType IN (5010, 5020) AND "
                                  "messageParams LIKE '%secret-token%'"), [(0,)])

    def test_instance_limits(self):
        self.quen("lim", useInstanceLimit=1, instanceLimit=2)
        client = self.login()
        first = self.created(client, ANYBODY, "lim-p")
        self.created(client, ANYBODY, "lim-p")
        self.assertEqual(self.create(client, ANYBODY, "lim-p"), [26])
        self.assertEqual(self.stored("lim"), 2, "a refused creation stores nothing")
        for _ in range(3):
            self.created(client, ANYBODY, "lim-preview")
        self.assertEqual(self.server.InstanceRevoke(self.admin, first), [0])
        self.created(client, ANYBODY, "lim-p")
        self.assertEqual(self.create(client, ANYBODY, "lim-p"), [26])

        self.quen("unlimited", useInstanceLimit=1, instanceLimit=-1)
        for _ in range(4):
            self.created(client, ANYBODY, "unlimited-p")

        self.quen("per-user", entries=[access("shared-token", "", 2)], instType=2, usePerUserInstanceLimit=1,
                  perUserInstanceLimit=-1)
        self.assertEqual(self.create(client, token("shared-token"), "per-user-p"), [34])
        self.assertEqual(self.create(client, token("stranger"), "per-user-p"), [32])
        self.created(client, token("shared-token"), "per-user-preview")
        self.assertEqual(self.stored("per-user"), 1)

    def test_revoke_enable_delete(self):
        self.quen("life")
        s, admin, desk = self.server, self.admin, self.login(HELPDESK_PASSWORD)
        client = self.login()
        uid = self.created(client, ANYBODY, "life-p")
        self.assertEqual(s.InstanceDelete(admin, uid), [45])
        self.assertEqual(s.InstanceRevoke(client, uid), [9])
        self.assertEqual(s.InstanceRevoke(desk, uid), [0])
        self.assertEqual(self.state(uid), REVOKED)
        self.assertEqual(s.InstanceVerify(client, uid), [30])
        self.assertEqual(s.InstanceEnable(client, password_credential(""), ANYBODY, uid), [0])
        self.assertEqual(self.state(uid), REVOKED, "an owner cannot lift a revocation")
        self.assertEqual(s.InstanceEnable(desk, ANYBODY, ANYBODY, uid), [0])
        self.assertEqual(self.state(uid), 0)
        self.assertEqual(s.InstanceVerify(client, uid), [0])
        self.assertEqual(s.InstanceSetPassword(desk, uid, "desk set"), [0])
        self.assertEqual(self.state(uid), PASSWORD_SET)

        self.assertEqual(s.InstanceRevoke(admin, uid), [0])
        self.assertEqual(s.InstanceDelete(desk, uid), [9])
        self.assertEqual(s.InstanceDelete(admin, uid), [0])
        self.assertEqual(s.InstanceInfo(admin, uid), [21])
        self.assertEqual(s.InstanceEnable(admin, ANYBODY, ANYBODY, uid), [21])
        self.assertEqual([e[1] for e in self.events(4170, instanceUID=uid)],
                         ["INSTANCE IS VALID", "INSUFFICIENT PRIVILEGES", "OK"])
        self.assertEqual(self.events(4090, instanceUID=uid), [("", "OK")])

    def test_copies_under_each_copy_policy(self):
        s, client = self.server, self.login()

        def copy(source, replace, owner=""):
            return s.InstanceCopy(client, ANYBODY, password_credential(owner), source, "copy key", "copy cp", replace)

        self.quen("never", copyPolicy=0)
        source = self.created(client, ANYBODY, "never-p")
        self.assertEqual(copy(source, 0), [31])

        # REPLACE: the copy takes over, the source is finished.
        self.quen("swap", copyPolicy=1)
        source = self.created(client, ANYBODY, "swap-p")
        self.assertEqual(s.InstanceSetPassword(self.admin, source, "owner pw"), [0])
        self.assertEqual(copy(source, 0), [10], "the owner must prove himself")
        code, replacement = copy(source, 0, "owner pw")
        self.assertEqual(code, 0)
        self.assertEqual(self.state(source) & REPLACED, REPLACED)
        self.assertEqual(self.state(replacement), PASSWORD_SET, "the copy takes the owner's password")
        self.assertEqual(s.InstanceVerify(client, replacement), [0])
        self.assertEqual(s.InstanceEnable(client, password_credential("owner pw"), ANYBODY, source), [31])
        self.assertEqual(s.InstanceDelete(self.admin, replacement), [45])
        self.assertEqual(s.InstanceDelete(self.admin, source), [0])
        self.assertEqual(self.events(4030, instanceUID=source)[-1],
                         ('type = NULL\ttype = PASSWORD, value = "********"\tFALSE\tREPLACE\t' + replacement, "OK"))

        # ALLOWED: the caller decides; the owner may bring a replaced one back.
        self.quen("twin", copyPolicy=2)
        source = self.created(client, ANYBODY, "twin-p")
        code, twin = copy(source, 0)
        self.assertEqual((code, self.state(source), self.state(twin)), (0, 0, 0))
        code, successor = copy(source, 1)
        self.assertEqual(self.state(source), REPLACED)
        code, info = s.InstanceInfo(client, successor)
        self.assertEqual((info["creatorName"], info["copyProtectionId"]), ("N/A", "copy cp"))
        self.assertEqual(s.InstanceEnable(client, password_credential(""), ANYBODY, source), [0])
        self.assertEqual(self.state(source), 0)
        self.assertEqual(self.stored("twin"), 3)
        self.assertEqual(copy("no-such", 0), [21])


class Concurrency(InstanceTestCase):
    def test_parallel_creations_never_pass_the_limit(self):
        limit, callers = 5, 40
        self.quen("race", useInstanceLimit=1, instanceLimit=limit)
        start = threading.Barrier(callers)
        codes, failures = [], []
        lock = threading.Lock()

        def caller():
            try:
                proxy = self.install.proxy()
                session = proxy.SessionOpen(10)[1]
                start.wait(timeout=120)
                answer = proxy.InstanceCreate(session, ANYBODY, "race-p", "k", "")
                proxy("close")()
                with lock:
                    codes.append(answer[0])
            except Exception as e:  # noqa: BLE001 - reported below
                with lock:
                    failures.append(repr(e))

        threads = [threading.Thread(target=caller) for _ in range(callers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        self.assertEqual(sorted(codes), [0] * limit + [26] * (callers - limit))
        self.assertEqual(self.stored("race"), limit)


if __name__ == "__main__":
    unittest.main()
