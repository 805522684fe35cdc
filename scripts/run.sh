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

created_password=
if [ ! -e "$target" ]; then
  mkdir -p "$(dirname "$target")"
  # Built aside and renamed, so an interrupted set-up leaves no half installation.
  stage=$(mktemp -d "$target.setup.XXXXXX")
  trap 'rm -rf "$stage"' EXIT
  # Every folder, the configuration (version 3, SQLite, the administrator
  # password's hash, every audit category at level 4), a self-signed
  # certificate and the database; prints the generated password.
  created_password=$(python3 "$repo/tests/harness/quensc_install.py" create --build "$build" --root "$stage")
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
