#!/usr/bin/env bash
# quensc-db on PostgreSQL through ODBC: init, check, the refusal to drop a
# schema, and the failures a script must tell apart (no data source, wrong
# password, no schema). Needs the postgres peer (QUENSC_PG_PEER).
set -u
bin=$1
peer=$2
. "$QUENSC_PG_PEER"
dir=$(mktemp -d /tmp/quensc-db-cli-XXXXXX)
name=quensc_cli_$$
export ODBCSYSINI=$dir ODBCINI=$dir/odbc.ini
trap '"$peer" dropdb "$QUENSC_PG_PEER" $name; rm -rf "$dir"' EXIT
"$peer" database "$QUENSC_PG_PEER" $name "$dir" || { echo "FAIL: no database on the peer"; exit 1; }
fails=0
expect() { # expect CODE DESCRIPTION -- command...
  local want=$1 what=$2; shift 3
  "$@" >"$dir/out" 2>&1; local got=$?
  if [ "$got" != "$want" ]; then echo "FAIL: $what (exit $got, wanted $want)"; cat "$dir/out"; fails=$((fails+1));
  else echo "ok: $what"; fi
}
has() { grep -q "$1" "$dir/out" || { echo "FAIL: output lacks '$1'"; cat "$dir/out"; fails=$((fails+1)); }; }
psql_() { PGPASSWORD=$PG_PASSWORD "$PG_BIN/psql" -X -q -A -t -h 127.0.0.1 -p "$PG_PORT" -U "$PG_USER" -d $name -c "$1"; }

export QUENSC_DB_PASSWORD=$PG_PASSWORD
expect 1 "check of an empty database fails" -- "$bin" check --odbc $name --user "$PG_USER"
has "No database schema found, init required"
expect 0 "init creates the schema" -- "$bin" init --odbc $name --user "$PG_USER"
expect 0 "check of a fresh schema passes" -- "$bin" check --odbc $name --user "$PG_USER"
has "Database operation successful"
psql_ "INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q1','n',1)"
expect 1 "init refuses to overwrite a schema" -- "$bin" init --odbc $name --user "$PG_USER"
[ "$(psql_ 'SELECT COUNT(*) FROM PolicyDb_Quen')" = 1 ] || { echo "FAIL: refused init lost data"; fails=$((fails+1)); }
expect 0 "init --force recreates" -- "$bin" init --odbc $name --user "$PG_USER" --force
[ "$(psql_ 'SELECT COUNT(*) FROM PolicyDb_Quen')" = 0 ] || { echo "FAIL: --force kept data"; fails=$((fails+1)); }
expect 0 "upgrade of a current schema succeeds" -- "$bin" upgrade --odbc $name --user "$PG_USER"
psql_ "UPDATE PolicyDb_MetaInfo SET value='215' WHERE name='version'"
expect 1 "check of an old version fails" -- "$bin" check --odbc $name --user "$PG_USER"
has "wrong version"

QUENSC_DB_PASSWORD="not-the-password" expect 1 "a wrong password fails" -- "$bin" check --odbc $name --user "$PG_USER"
has "password authentication failed"
grep -q "not-the-password" "$dir/out" && { echo "FAIL: the password was printed"; fails=$((fails+1)); }
expect 1 "an unknown data source fails" -- "$bin" check --odbc no_such_source --user "$PG_USER"
has "IM002"
expect 2 "--odbc without --user is a usage error" -- "$bin" check --odbc $name
expect 2 "a password argument is refused" -- "$bin" check --odbc $name --user "$PG_USER" --password x
expect 2 "two stores are a usage error" -- "$bin" check --odbc $name --user "$PG_USER" --sqlite "$dir/x"
[ $fails -eq 0 ] && echo "cli odbc: all passed" || echo "cli odbc: $fails failed"
exit $((fails > 0))
