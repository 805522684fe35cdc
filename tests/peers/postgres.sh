#!/usr/bin/env bash
# A private PostgreSQL cluster for the tests, on 127.0.0.1 only.
#
#   postgres.sh start STATE   create a cluster in a fresh folder under /tmp,
#                             start it on a free port, create the role
#                             "quensc" (scram password, may create
#                             databases) and write STATE, a shell-sourceable
#                             file: PG_DIR PG_PORT PG_USER PG_PASSWORD
#                             PG_DRIVER (the Unicode psqlODBC driver)
#   postgres.sh database STATE NAME DIR
#                             create the database NAME owned by the role and
#                             write DIR/odbcinst.ini and add a system data
#                             source NAME on it to DIR/odbc.ini (CommLog off);
#                             point ODBCSYSINI at DIR to use it
#   postgres.sh odbc STATE NAME DIR
#                             the same ODBC files for an existing database
#   postgres.sh dropdb STATE NAME
#                             drop that database again
#   postgres.sh pause STATE   stop the server but keep the cluster
#   postgres.sh resume STATE  start it again on the same port
#   postgres.sh stop STATE    stop the cluster, remove its folder and STATE
#
# Run as root the cluster belongs to the "postgres" user (PostgreSQL refuses
# to run as root); otherwise to the caller. The ODBC files each installation
# needs are written by the "database" command.
set -euo pipefail

cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 start|stop STATE" >&2; exit 2; }

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bindir" ] || { echo "postgres.sh: PostgreSQL is not installed (scripts/deps.sh)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

run_server() { # DIR PORT
  as_owner "$bindir/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 \
      -o "-c listen_addresses=127.0.0.1 -p $2 -k $1/sock -c fsync=off -c max_connections=200" start >/dev/null
}

case "$cmd" in
pause|resume)
  # shellcheck disable=SC1090
  . "$state"
  if [ "$cmd" = pause ]; then
    as_owner "$bindir/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null
  else
    run_server "$PG_DIR" "$PG_PORT"
  fi
  ;;
start)
  dir=$(mktemp -d /tmp/quensc-pg-XXXXXX)
  chmod 755 "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  port=$(free_port)
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  as_owner "$bindir/initdb" -D "$dir/data" -U postgres -E UTF8 --locale=C.UTF-8 \
      --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
  mkdir -p "$dir/sock"; [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/sock"
  run_server "$dir" "$port" || { cat "$dir/server.log" >&2; rm -rf "$dir"; exit 1; }
  as_owner "$bindir/psql" -X -q -h "$dir/sock" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
      -c "CREATE ROLE quensc LOGIN CREATEDB PASSWORD '$password'" >/dev/null
  driver=$(ls /usr/lib/*/odbc/psqlodbcw.so 2>/dev/null | head -1)
  cat >"$state" <<STATE
PG_DIR=$dir
PG_BIN=$bindir
PG_PORT=$port
PG_USER=quensc
PG_PASSWORD=$password
PG_DRIVER=$driver
STATE
  ;;
database|odbc|dropdb)
  # shellcheck disable=SC1090
  . "$state"
  name=${3:?database name}
  case "$name" in *[!a-z0-9_]*) echo "postgres.sh: bad database name $name" >&2; exit 2 ;; esac
  if [ "$cmd" = dropdb ]; then
    PGPASSWORD=$PG_PASSWORD "$PG_BIN/psql" -X -q -h 127.0.0.1 -p "$PG_PORT" -U "$PG_USER" -d postgres \
        -c "DROP DATABASE IF EXISTS $name WITH (FORCE)" >/dev/null
    exit 0
  fi
  odbcdir=${4:?ODBC folder}
  if [ "$cmd" = database ]; then
    PGPASSWORD=$PG_PASSWORD "$PG_BIN/psql" -X -q -h 127.0.0.1 -p "$PG_PORT" -U "$PG_USER" -d postgres \
        -v ON_ERROR_STOP=1 -c "CREATE DATABASE $name" >/dev/null
  fi
  mkdir -p "$odbcdir"
  # Pooling: the server opens a connection for every request, and the
  # driver manager hands back a pooled one instead of logging in again.
  cat >"$odbcdir/odbcinst.ini" <<INI
[ODBC]
Pooling=Yes

[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$PG_DRIVER
Debug=0
CommLog=0
CPTimeout=120
INI
  # Data sources accumulate: one process may use several databases.
  cat >>"$odbcdir/odbc.ini" <<INI
[$name]
Description=quensc test database
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$PG_PORT
Database=$name
Debug=0
CommLog=0
# A failed statement rolls back the whole transaction (the library does so
# anyway); statement-level rollback would wrap every statement in savepoints.
Protocol=7.4-1
INI
  chmod 755 "$odbcdir"; chmod 644 "$odbcdir/odbcinst.ini" "$odbcdir/odbc.ini"
  ;;
stop)
  [ -f "$state" ] || exit 0
  # shellcheck disable=SC1090
  . "$state"
  if [ -d "${PG_DIR:-}/data" ]; then
    as_owner "$bindir/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  case "${PG_DIR:-}" in /tmp/quensc-pg-*) rm -rf "$PG_DIR" ;; esac
  rm -f "$state"
  ;;
*)
  echo "usage: $0 start|stop STATE" >&2; exit 2 ;;
esac
