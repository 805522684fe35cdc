#!/usr/bin/env bash
# The test peer for directory services: a Samba Active Directory domain
# controller on 127.0.0.1 with the fixtures the directory tests use.
#
#   samba.sh provision   provision once into the cache folder (about 40 s);
#                        does nothing when a provisioned copy is there
#   samba.sh start       provision if needed, restore the pristine copy, start
#                        `samba -M single`, wait until LDAP answers, lock out
#                        the locked-out fixture account
#   samba.sh stop        stop the domain controller started by `start`
#   samba.sh env         print the fixture facts as shell assignments
#
# The cache folder (QUENSC_SAMBA_CACHE, default /var/cache/quensc-test-samba)
# outlives the build folder, so a second test run reuses the provisioned copy.
# Every run starts from the pristine copy, so password changes and bad
# password counts of one run never reach the next.
set -euo pipefail

CACHE=${QUENSC_SAMBA_CACHE:-/var/cache/quensc-test-samba}
LAYOUT=5                                # bump when the fixtures change
DC=$CACHE/dc                            # the live folder samba runs in
PRISTINE=$CACHE/pristine                # the provisioned copy with fixtures
REALM=QUEN.TEST
DOMAIN=QUEN
BASE=DC=quen,DC=test
ADMIN_PASS='Adm1n-Pass.2026'
QUERY_USER=quenquery
QUERY_PASS='Qu3ry-Pass.2026'
USER_PASS='Us3r-Pass.2026'
CLASH_PASS='Cl4sh-Pass.2026'
PIDFILE=$DC/run/samba.pid

log() { echo "samba.sh: $*" >&2; }

conf() { echo "$DC/etc/smb.conf"; }

tool() { samba-tool "$@" -s "$(conf)" -H "$DC/private/sam.ldb" >/dev/null; }

# A private CA and a server certificate for 127.0.0.1 and dc1.quen.test, so
# that clients can verify the directory's certificate against the CA.
make_certs() {
  local d=$DC/tls
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quen Test Directory CA" \
    -keyout "$d/ca.key" -out "$d/ca.crt" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=dc1.quen.test" -keyout "$d/key.pem" -out "$d/req.pem" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:dc1.quen.test,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$d/ext.cnf"
  openssl x509 -req -in "$d/req.pem" -CA "$d/ca.crt" -CAkey "$d/ca.key" -CAcreateserial -days 3650 \
    -extfile "$d/ext.cnf" -out "$d/cert.pem" 2>/dev/null
  # A second CA that signed nothing: the "untrusted certificate" case.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quen Other CA" \
    -keyout "$d/other.key" -out "$d/other.crt" 2>/dev/null
  chmod 600 "$d/key.pem"
}

add_fixtures() {
  # Passwords expire after 999 days, the longest the tool sets (a pristine
  # copy older than that needs LAYOUT bumped), so fixtures do not age into
  # expired passwords), lockout after 5 bad passwords, passwords changeable
  # at once.
  tool domain passwordsettings set --complexity=off --min-pwd-age=0 --max-pwd-age=999 \
    --account-lockout-threshold=5 --account-lockout-duration=0 --reset-account-lockout-after=30
  tool user create "$QUERY_USER" "$QUERY_PASS"
  tool user setexpiry "$QUERY_USER" --noexpiry
  for u in normal disabled lockedout mustchange pwexpired acctexpired noexpiry cantchange \
           admin1 helper1 nested1 changer other dclash cfgadmin; do
    tool user create "$u" "$USER_PASS"
  done
  tool user create clash "$CLASH_PASS" --given-name=Eve --surname=Clash
  tool user create ccommon "$USER_PASS" --given-name=Carla --surname=Common
  tool user disable disabled
  tool user setexpiry noexpiry --noexpiry
  for g in QuenAdmins QuenHelpdesk QuenInner QuenOuter; do tool group add "$g"; done
  # cfgadmin is the configuration tool's own administrator: its tests send
  # wrong passwords to it, never to an account the server's tests use while
  # both run at once (five bad passwords lock an account out).
  tool group addmembers QuenAdmins admin1,dclash,ccommon,cfgadmin
  tool group addmembers QuenHelpdesk helper1,clash
  tool group addmembers QuenInner nested1
  tool group addmembers QuenOuter QuenInner
  # Help desk through two levels of nesting: nested1 -> QuenInner -> QuenOuter.
  tool group addmembers QuenHelpdesk QuenOuter
  # Raw changes samba-tool has no verb for. The search order fixtures:
  # ccommon has the principal name carla@quen.test (no account is named
  # carla) and the common name "Carla Common"; the account named clash has
  # the common name "Eve Clash" while dclash has the common name clash.
  ldbmodify -H "$DC/private/sam.ldb" >/dev/null <<EOF
dn: CN=acctexpired,CN=Users,$BASE
changetype: modify
replace: accountExpires
accountExpires: 129000000000000000

dn: CN=mustchange,CN=Users,$BASE
changetype: modify
replace: pwdLastSet
pwdLastSet: 0

dn: CN=Carla Common,CN=Users,$BASE
changetype: modify
replace: userPrincipalName
userPrincipalName: carla@quen.test
EOF
  ldbrename -H "$DC/private/sam.ldb" "CN=dclash,CN=Users,$BASE" "CN=clash,CN=Users,$BASE" >/dev/null
  ldbmodify -H "$DC/private/sam.ldb" >/dev/null 2>&1 <<EOF || log "cannot store the cannot-change flag"
dn: CN=cantchange,CN=Users,$BASE
changetype: modify
replace: userAccountControl
userAccountControl: 576
EOF
  # pwexpired last set its password in 2012, beyond the domain's maximum
  # age. The directory refuses such a pwdLastSet through its own modules, so
  # it is written into the domain partition's database directly.
  ldbmodify -H "$DC/private/sam.ldb.d/DC=QUEN,DC=TEST.ldb" >/dev/null <<EOF
dn: CN=pwexpired,CN=Users,$BASE
changetype: modify
replace: pwdLastSet
pwdLastSet: 130000000000000000
EOF
}

do_provision() {
  if [ -f "$PRISTINE/.layout" ] && [ "$(cat "$PRISTINE/.layout")" = "$LAYOUT" ]; then
    return 0
  fi
  log "provisioning a domain controller into $CACHE (once; about 40 s)"
  rm -rf "$DC" "$PRISTINE"
  mkdir -p "$DC"/{run,sockets}
  make_certs
  local opts=(
    "interfaces = 127.0.0.1" "bind interfaces only = yes"
    "pid directory = $DC/run" "ncalrpc dir = $DC/sockets"
    "winbindd socket directory = $DC/sockets/winbindd"
    "ntp signd socket directory = $DC/sockets/ntp"
    "binddns dir = $DC/bind-dns" "log file = $DC/log.samba" "log level = 1"
    "server services = ldap, cldap, kdc, nbt, rpc" "dns proxy = no"
    "tls enabled = yes" "tls keyfile = $DC/tls/key.pem" "tls certfile = $DC/tls/cert.pem"
    "tls cafile = $DC/tls/ca.crt" "old password allowed period = 0"
    "ldap server require strong auth = yes"
  )
  local args=()
  for o in "${opts[@]}"; do args+=(--option="$o"); done
  samba-tool domain provision --realm="$REALM" --domain="$DOMAIN" --server-role=dc --dns-backend=NONE \
    --host-name=dc1 --adminpass="$ADMIN_PASS" --targetdir="$DC" "${args[@]}" >"$DC/provision.log" 2>&1 \
    || { log "provision failed; see $DC/provision.log"; tail -20 "$DC/provision.log" >&2; exit 1; }
  add_fixtures
  cp -a "$DC" "$PRISTINE"
  echo "$LAYOUT" >"$PRISTINE/.layout"
  log "provisioned"
}

# The provisioning tool keeps only some of the options it is given and
# copies the system's own password-sync settings; set what the tests rely on:
# an old password stops working the moment it is changed, and nothing of the
# host's Unix accounts is touched.
fix_conf() {
  sed -i -e '/^\s*\(old password allowed period\|unix password sync\|pam password change\|passwd program\|passwd chat\|obey pam restrictions\|panic action\|map to guest\|usershare allow guests\)\s*=/d' \
    -e 's/^\[global\]$/[global]\n\told password allowed period = 0/' "$(conf)"
}

ldap_ready() {
  LDAPTLS_REQCERT=never ldapsearch -LLL -x -ZZ -H ldap://127.0.0.1 -D "$QUERY_USER@quen.test" -w "$QUERY_PASS" \
    -b "" -s base defaultNamingContext >/dev/null 2>&1
}

do_stop() {
  if [ -f "$PIDFILE" ]; then
    local pid
    pid=$(cat "$PIDFILE")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid"
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
      kill -0 "$pid" 2>/dev/null && kill -9 "$pid" || true
    fi
    rm -f "$PIDFILE"
  fi
}

do_start() {
  do_stop
  do_provision
  rm -rf "$DC"
  cp -a "$PRISTINE" "$DC"
  fix_conf
  samba -M single -D -s "$(conf)"
  for _ in $(seq 150); do
    ldap_ready && break
    sleep 0.2
  done
  ldap_ready || { log "the domain controller did not answer; see $DC/log.samba"; tail -20 "$DC/log.samba" >&2; do_stop; exit 1; }
  # Lock out "lockedout" with bad passwords (a lockout cannot be stored
  # offline, and it must be fresh each run).
  for _ in 1 2 3 4 5 6; do
    LDAPTLS_REQCERT=never ldapwhoami -x -ZZ -H ldap://127.0.0.1 -D "lockedout@quen.test" -w wrong >/dev/null 2>&1 || true
  done
  log "domain controller running (pid $(cat "$PIDFILE"))"
}

do_env() {
  cat <<EOF
SAMBA_REALM=quen.test
SAMBA_DOMAIN=$DOMAIN
SAMBA_BASE=$BASE
SAMBA_QUERY_USER=$QUERY_USER
SAMBA_QUERY_PASS='$QUERY_PASS'
SAMBA_USER_PASS='$USER_PASS'
SAMBA_CLASH_PASS='$CLASH_PASS'
SAMBA_CA=$DC/tls/ca.crt
SAMBA_OTHER_CA=$DC/tls/other.crt
EOF
}

case "${1:-}" in
  provision) do_provision ;;
  start) do_start ;;
  stop) do_stop ;;
  env) do_env ;;
  *) echo "usage: $0 provision|start|stop|env" >&2; exit 2 ;;
esac
