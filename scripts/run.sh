#!/usr/bin/env bash
# make run: sets up the development installation var/ the first time (SQLite
# database, configuration with a fresh administrator password, self-signed
# certificate) and runs the server for it in the foreground on
# http://127.0.0.1:8080 and https://127.0.0.1:8443. Later runs reuse var/ and
# its data. Ctrl-C stops the server.
#
#   scripts/run.sh BUILD_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
server_dir=$build/server
quenscd=$server_dir/quenscd
quensc_db=$build/apps/quensc-db/quensc-db
for f in "$quenscd" "$server_dir/mod_quensc.so" "$server_dir/libquensc.so" "$quensc_db"; do
  if [ ! -e "$f" ]; then
    echo "run: $f is missing; build first (make build)" >&2
    exit 1
  fi
done

var=$repo/var
listen=127.0.0.1:8080,127.0.0.1:8443s

# Where the installation lives. Started as root, the web server runs as
# www-data, which must pass through every parent folder of the installation:
# a checkout in a private home folder (/root, mode 0700) is out of its reach,
# so the installation then lives outside the checkout and var is a symbolic
# link to it.
if [ -L "$var" ]; then
  target=$(readlink -f "$var")
elif [ -e "$var" ]; then
  target=$var
elif [ "$(id -u)" = 0 ] && ! runuser -u www-data -- test -x "$repo" 2>/dev/null; then
  target=/var/lib/quensc-dev/$(printf %s "$repo" | sha1sum | cut -c1-12)
  echo "run: www-data cannot pass through the folders above $repo (a private home folder?),"
  echo "run: so the installation lives in $target and var/ is a link to it"
else
  target=$var
fi

# Writes a fresh installation into folder $1: everything the server needs to
# start. Prints the administrator password; only its hash is stored.
create_installation() {
  local dir=$1 pw hash
  umask 027
  mkdir -p "$dir"/{conf,db,html,ssl,log,tmp,bin,lib,run}

  pw=$(openssl rand -base64 30 | tr -dc 'A-Za-z0-9')
  pw=${pw:0:20}
  # Base64 of the SHA-1 of the password bytes, no salt: what the server and
  # the configuration tool compare against.
  hash=$(printf %s "$pw" | openssl dgst -sha1 -binary | base64)

  # Version 3, laid out as the configuration tool writes it, less the
  # tool-only ldap/ca_file (the server would warn about it at every start; the
  # tool supplies its default). Relative paths count from conf/; purge by age,
  # 14 days (the tool's default). The
  # help-desk role stays disabled (no helpdesk section) until an
  # administrator enables it on the pages.
  cat > "$dir/conf/quensc.conf" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<quensc_configuration>
	<global>
		<configuration_version>3</configuration_version>
		<use_ldap>0</use_ldap>
		<db_type>sqlite</db_type>
		<session_ttl>86400</session_ttl>
		<session_reap_cycle>21600</session_reap_cycle>
	</global>
	<sqlite>
		<db_file>../db/quensc.bin</db_file>
		<lock_file>../db/quensc.lock</lock_file>
	</sqlite>
	<odbc>
		<dsn></dsn>
		<username></username>
		<password></password>
		<lock_file>../db/quensc.lock</lock_file>
	</odbc>
	<ssl>
		<cert>../ssl/server.crt</cert>
		<cert_chain>../ssl/chain.crt</cert_chain>
	</ssl>
	<ldap>
		<host></host>
		<secure>1</secure>
	</ldap>
	<krb5>
		<default_realm></default_realm>
		<query_user></query_user>
		<query_user_pass></query_user_pass>
		<conf_file>../conf/krb5.conf</conf_file>
		<lock_file>../tmp/krb5.lock</lock_file>
		<ticket_lifetime>86400</ticket_lifetime>
		<translate_realm>1</translate_realm>
	</krb5>
	<administrators>
		<ldap_group></ldap_group>
		<ldap_group_dn></ldap_group_dn>
		<password>$hash</password>
	</administrators>
	<logging>
		<quen_admin>4</quen_admin>
		<package_admin>4</package_admin>
		<policy_admin>4</policy_admin>
		<instance_admin>4</instance_admin>
		<authentication>4</authentication>
		<purge_type>1</purge_type>
		<purge_value>1209600</purge_value>
	</logging>
</quensc_configuration>
EOF

  openssl req -x509 -newkey rsa:2048 -nodes -days 825 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -keyout "$dir/ssl/server.key" -out "$dir/ssl/server.crt" >/dev/null 2>&1
  chmod 600 "$dir/ssl/server.key"
  cp "$dir/ssl/server.crt" "$dir/ssl/chain.crt"

  "$quensc_db" init --sqlite "$dir/db/quensc.bin" >/dev/null

  created_password=$pw
}

created_password=
if [ ! -e "$target" ]; then
  mkdir -p "$(dirname "$target")"
  # Built aside and renamed, so an interrupted set-up leaves no half installation.
  stage=$(mktemp -d "$target.setup.XXXXXX")
  trap 'rm -rf "$stage"' EXIT
  create_installation "$stage"
  chmod 755 "$stage"
  mv "$stage" "$target"
  trap - EXIT
  [ "$target" = "$var" ] || ln -s "$target" "$var"
  echo "run: created the installation $target"
else
  echo "run: reusing the installation $target and its data"
  [ -e "$target/conf/quensc.conf" ] ||
    echo "run: warning: $target/conf/quensc.conf is missing; /RPC2 will answer 503" >&2
fi

# The administration pages come from the checkout at every start.
if [ -d "$repo/html" ]; then
  cp -R "$repo/html/." "$target/html/"
fi

if [ -n "$created_password" ]; then
  cat <<EOF

  ==================================================================
   Administrator password: $created_password
   Shown only this once; the configuration holds only its hash.
   The help-desk role is disabled until you enable it on the pages.
  ==================================================================

EOF
fi
echo "run: serving on http://127.0.0.1:8080/ and https://127.0.0.1:8443/ (self-signed),"
echo "run: XML-RPC at /RPC2, log in $target/log/error.log; Ctrl-C stops"
exec "$quenscd" --root "$target" --listen "$listen" --libdir "$server_dir"
