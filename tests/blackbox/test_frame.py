"""The server frame over the wire: sessions, Echo, manager login, rights,
faults for broken requests, HTTPS, parallel clients and the audit log, all
against a real server started through quenscd."""

import http.client
import threading
import unittest
import xmlrpc.client

from quensc_harness import ADMIN_PASSWORD, HELPDESK_PASSWORD
from service_client import RunningServer, password_credential


class FrameOverTheWire(RunningServer):
    def open_session(self):
        code, session, info = self.server.SessionOpen(10)
        self.assertEqual(code, 0)
        return session

    def post(self, body, path="/RPC2", method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", self.install.http_port, timeout=30)
        try:
            conn.request(method, path, body=body, headers={"Content-Type": "text/xml"})
            response = conn.getresponse()
            return response.status, response.read()
        finally:
            conn.close()

    def events(self, where="1 = 1", params=()):
        return self.sql("SELECT eventUID, prevEventUID, eventType, handlerName, returnCodeText, loginName, "
                        "messageParams, sessionID FROM PolicyDb_Event WHERE " + where + " ORDER BY eventUID", params)

    def test_session_open_versions_and_server_information(self):
        self.assertEqual(self.server.SessionOpen(9), [4, 10])
        self.assertEqual(self.server.SessionOpen(11), [4, 10])
        code, session, info = self.server.SessionOpen(10)
        self.assertEqual(code, 0)
        self.assertEqual(len(session), 36)
        self.assertEqual(info["protocol"], 10)
        self.assertEqual(info["ldap"]["enabled"], 0)
        self.assertEqual(info["ldap"]["pwdChangeCapable"], 0)
        self.assertEqual(info["ldap"]["secure"], 0)
        self.assertEqual(self.server.SessionOpen("ten"), [2])

    def test_echo_and_closing_twice(self):
        session = self.open_session()
        text = "héllo ' \" <&> \t world"
        self.assertEqual(self.server.Echo(session, text), [0, text])
        self.assertEqual(self.server.Echo(session, 42), [2], "an integer text is a read failure, not a fault")
        self.assertEqual(self.server.Echo(session), [2])
        self.assertEqual(self.server.SessionClose(session), [0])
        self.assertEqual(self.server.SessionClose(session), [0])
        self.assertEqual(self.server.Echo(session, "x"), [6])

    def test_unknown_session_is_refused_everywhere(self):
        for call in (lambda: self.server.Echo("no-such-session", "x"),
                     lambda: self.server.QuenQuery("no-such-session"),
                     lambda: self.server.AuthenticateManager("bogus", password_credential(ADMIN_PASSWORD))):
            self.assertEqual(call(), [6])

    def test_manager_login_and_rights(self):
        session = self.open_session()
        quen = {"uuid": "frame-q", "name": "Q"}  # arguments are read before the rights check
        self.assertEqual(self.server.QuenCreate(session, quen), [9], "no rights before login")
        self.assertEqual(self.server.AuthenticateManager(session, password_credential("wrong")), [10])
        self.assertEqual(self.server.AuthenticateManager(
            session, {"type": 1, "ldap": {"name": "bob", "pwd": ADMIN_PASSWORD, "domain": ""}}), [5])
        self.assertEqual(self.server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)), [0])
        self.assertEqual(self.server.QuenCreate(session, quen), [0])
        self.assertEqual(self.server.AuthenticateManager(session, password_credential(HELPDESK_PASSWORD)), [0])
        self.assertEqual(self.server.QuenCreate(session, quen), [9], "helpdesk lacks administrator rights")
        self.assertEqual(self.server.QuenQuery(session)[0], 0, "but passes the helpdesk mask")

        logins = self.events("eventType = 1010 AND sessionID = ?", (session,))
        self.assertEqual([e[4] for e in logins], ["AUTHENTICATION FAILED", "INVALID PARAMETER", "OK", "OK"])
        self.assertEqual(logins[2][6], 'type = PASSWORD, value = "********"\tTRUE\tFALSE')
        self.assertEqual(logins[3][5], "Helpdesk")
        for event in self.events():
            self.assertNotIn(ADMIN_PASSWORD, " ".join(str(v) for v in event))

    def test_events_are_numbered_and_chained(self):
        session = self.open_session()
        self.server.SslCertsRetrieve(session)
        self.server.SessionClose(session)
        events = self.events()
        self.assertGreaterEqual(len(events), 3)
        for previous, event in zip(events, events[1:]):
            self.assertEqual(int(event[0]), int(previous[0]) + 1)
            self.assertEqual(event[1], previous[0])
        self.assertEqual(self.events("handlerName = 'Echo'"), [])

    def test_certificates(self):
        session = self.open_session()
        code, text = self.server.SslCertsRetrieve(session)
        self.assertEqual(code, 0)
        self.assertEqual(text.count("BEGIN CERTIFICATE"), 2, "certificate followed by its chain")

    def test_broken_requests_get_faults_or_http_errors(self):
        with self.assertRaises(xmlrpc.client.Fault):
            self.server.NoSuchMethod("x")
        status, body = self.post(b"<methodCall><methodName>Echo</methodName><params><param>")
        self.assertEqual(status, 200)
        self.assertIn(b"<fault>", body)
        status, body = self.post(b"\x00\xff garbage \x01")
        self.assertEqual(status, 200)
        self.assertIn(b"<fault>", body)
        status, _ = self.post(b"", method="GET")
        self.assertEqual(status, 405)
        # Deep nesting must not take the server down.
        deep = b"<value><array><data>" * 5000 + b"</data></array></value>" * 5000
        status, body = self.post(b"<?xml version='1.0'?><methodCall><methodName>Echo</methodName><params><param>"
                                 + deep + b"</param></params></methodCall>")
        self.assertIn(status, (200, 413))
        self.assertEqual(self.server.SessionOpen(9), [4, 10], "still serving")

    def test_https(self):
        server = self.install.proxy(https=True)
        code, session, _ = server.SessionOpen(10)
        self.assertEqual(code, 0)
        self.assertEqual(server.Echo(session, "over TLS"), [0, "over TLS"])

    def test_two_clients_at_once(self):
        failures = []

        def client(n):
            try:
                proxy = self.install.proxy()
                session = proxy.SessionOpen(10)[1]
                for i in range(25):
                    text = "client %d call %d" % (n, i)
                    if proxy.Echo(session, text) != [0, text]:
                        failures.append(text)
                if proxy.SessionClose(session) != [0]:
                    failures.append("close %d" % n)
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(repr(e))

        threads = [threading.Thread(target=client, args=(n,)) for n in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
