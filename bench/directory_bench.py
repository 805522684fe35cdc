"""AuthenticateManager per second in directory mode (a real Samba domain
controller on loopback, tests/peers/samba.sh) beside password mode, in the
same run, at 1 and 8 concurrent keep-alive clients (wrk, one connection per
thread). Each client opens one session and then logs in again and again;
only logins that answer 0 are counted.

A directory login is the whole story of a manager's login: a connection
with StartTLS bound with the query account, the user search, the user's own
bind, and a membership test per manager group (each with its own
connection), all against a domain controller running as one process."""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
from quensc_harness import ADMIN_PASSWORD, Installation  # noqa: E402
from quensc_install import xml_text as xml_escape  # noqa: E402

DURATION = os.environ.get("QUENSC_BENCH_SECONDS", "5")
SAMBA = os.path.join(HERE, "..", "tests", "peers", "samba.sh")

LOGIN_LUA = """
local open_body = [[<?xml version="1.0"?><methodCall><methodName>SessionOpen</methodName><params><param><value><int>10</int></value></param></params></methodCall>]]
local credential = [[%s]]
local session = nil
threads = {}
logins = 0
failures = 0
function setup(thread) table.insert(threads, thread) end
function request()
  if not session then
    return wrk.format("POST", "/RPC2", {["Content-Type"] = "text/xml"}, open_body)
  end
  local body = '<?xml version="1.0"?><methodCall><methodName>AuthenticateManager</methodName><params><param><value><string>' .. session .. '</string></value></param><param><value>' .. credential .. '</value></param></params></methodCall>'
  return wrk.format("POST", "/RPC2", {["Content-Type"] = "text/xml"}, body)
end
function response(status, headers, body)
  if not session then
    session = string.match(body, "<string>([%%w%%-]+)</string>")
  elseif string.match(body, "<i4>(%%-?%%d+)</i4>") == "0" then
    logins = logins + 1
  else
    failures = failures + 1
  end
end
function done(summary, latency, requests)
  local ok, bad = 0, 0
  for _, t in ipairs(threads) do ok = ok + t:get("logins"); bad = bad + t:get("failures") end
  io.write(string.format("LOGINS %%d %%d\\n", ok, bad))
end
"""


def credential_xml(kind, members):
    inner = "".join("<member><name>%s</name><value><string>%s</string></value></member>" % (k, xml_escape(v))
                    for k, v in members.items())
    name = "ldap" if kind == 1 else "pwd"
    return ("<struct><member><name>type</name><value><int>%d</int></value></member>"
            "<member><name>%s</name><value><struct>%s</struct></value></member></struct>") % (kind, name, inner)


def logins_per_second(url, credential, clients):
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(LOGIN_LUA % credential)
        path = f.name
    try:
        out = subprocess.run(["wrk", "-t", str(clients), "-c", str(clients), "-d", DURATION + "s",
                              "--timeout", "30s", "-s", path, url],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(path)
    for line in out.splitlines():
        if line.startswith("LOGINS "):
            ok, bad = (int(x) for x in line.split()[1:3])
            if bad:
                raise RuntimeError("%d logins failed during the run" % bad)
            return ok / float(DURATION)
    raise RuntimeError("no count in wrk output:\n" + out)


def main():
    subprocess.run(["bash", SAMBA, "start"], check=True)
    try:
        from test_directory import USER_PASS, DirectoryServer
        password_server = Installation(logging_level=4)
        directory = DirectoryServer()
        password_server.start()
        try:
            with directory as dc:
                password_url = "http://127.0.0.1:%d/RPC2" % password_server.http_port
                directory_url = "http://127.0.0.1:%d/RPC2" % dc.install.http_port
                by_password = credential_xml(2, {"pwd": ADMIN_PASSWORD})
                by_directory = credential_xml(1, {"name": "admin1", "pwd": USER_PASS, "domain": ""})
                rows = []
                for clients in (1, 8):
                    rows.append((clients, logins_per_second(password_url, by_password, clients),
                                 logins_per_second(directory_url, by_directory, clients)))
        finally:
            password_server.remove()
        print("\nAuthenticateManager logins per second (%ss per figure, audit events at level 4)" % DURATION)
        print("%-8s %14s %14s %12s" % ("clients", "password mode", "directory", "dir/pwd"))
        for clients, pwd_rate, dir_rate in rows:
            print("%-8d %14.1f %14.1f %12.4f" % (clients, pwd_rate, dir_rate, dir_rate / pwd_rate))
    finally:
        subprocess.run(["bash", SAMBA, "stop"], check=False)


if __name__ == "__main__":
    main()
