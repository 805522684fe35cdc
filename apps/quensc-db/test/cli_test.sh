#!/usr/bin/env bash
# quensc-db from a shell: init, refusal to overwrite, --force, check, and the
# exit codes scripts rely on.
set -u
bin=$1
fixture=$2   # upgrade_fixture: writes databases of older schema versions
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fails=0
expect() { # expect CODE DESCRIPTION -- command...
  local want=$1 what=$2; shift 3
  "$@" >"$dir/out" 2>&1; local got=$?
  if [ "$got" != "$want" ]; then echo "FAIL: $what (exit $got, wanted $want)"; cat "$dir/out"; fails=$((fails+1));
  else echo "ok: $what"; fi
}
db=$dir/q.bin
expect 1 "check of a missing file fails" -- "$bin" check --sqlite "$db"
[ -e "$db" ] && { echo "FAIL: check created the file"; fails=$((fails+1)); }
grep -q "No database schema found, init required" "$dir/out" || { echo "FAIL: missing-file text"; fails=$((fails+1)); }
expect 0 "init creates the schema" -- "$bin" init --sqlite "$db"
expect 0 "check of a fresh schema passes" -- "$bin" check --sqlite "$db"
grep -qx "Database operation successful" "$dir/out" || { echo "FAIL: status text"; cat "$dir/out"; fails=$((fails+1)); }
sqlite3 "$db" "INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q1','n',1)"
expect 1 "init refuses to overwrite a schema" -- "$bin" init --sqlite "$db"
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM PolicyDb_Quen')" = 1 ] || { echo "FAIL: refused init lost data"; fails=$((fails+1)); }
expect 0 "init --force recreates" -- "$bin" init --sqlite "$db" --force
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM PolicyDb_Quen')" = 0 ] || { echo "FAIL: --force kept data"; fails=$((fails+1)); }
sqlite3 "$db" "UPDATE PolicyDb_MetaInfo SET value='215' WHERE name='version'"
expect 1 "check of an old version fails" -- "$bin" check --sqlite "$db"
grep -q "wrong version" "$dir/out" || { echo "FAIL: wrong-version text"; fails=$((fails+1)); }
expect 1 "init refuses an old schema too" -- "$bin" init --sqlite "$db"
expect 2 "unknown command is a usage error" -- "$bin" frobnicate --sqlite "$db"
expect 2 "missing path is a usage error" -- "$bin" check
echo garbage > "$dir/junk.bin"
expect 1 "check of a non-database file fails" -- "$bin" check --sqlite "$dir/junk.bin"
old=$dir/old.bin
"$fixture" 206 --sqlite "$old" || { echo "FAIL: fixture"; fails=$((fails+1)); }
expect 1 "check tells the version of an old schema" -- "$bin" check --sqlite "$old"
grep -q "Schema version 206 found" "$dir/out" || { echo "FAIL: found-version text"; cat "$dir/out"; fails=$((fails+1)); }
expect 0 "upgrade brings 206 to 216" -- "$bin" upgrade --sqlite "$old"
grep -q "schema upgraded from version 206" "$dir/out" || { echo "FAIL: upgrade text"; cat "$dir/out"; fails=$((fails+1)); }
[ "$(sqlite3 "$old" 'SELECT COUNT(*) FROM PolicyDb_Quen')" = 3 ] || { echo "FAIL: upgrade lost rows"; fails=$((fails+1)); }
expect 0 "check passes after the upgrade" -- "$bin" check --sqlite "$old"
grep -q "Schema version 216 found" "$dir/out" || { echo "FAIL: current-version text"; cat "$dir/out"; fails=$((fails+1)); }
rm -f "$old"; "$fixture" 206 --sqlite "$old"
sqlite3 "$old" "UPDATE PolicyDb_MetaInfo SET value='204' WHERE name='version'"
expect 1 "upgrade of an unknown version fails" -- "$bin" upgrade --sqlite "$old"
grep -q "Don't know an upgrade path from version 204" "$dir/out" || { echo "FAIL: unknown-version text"; cat "$dir/out"; fails=$((fails+1)); }
[ "$(sqlite3 "$old" "SELECT value FROM PolicyDb_MetaInfo WHERE name='version'")" = 204 ] || { echo "FAIL: version changed"; fails=$((fails+1)); }
printf 'p@ss <w> & "q"\n' | "$bin" obfuscate >"$dir/obf" 2>&1 || { echo "FAIL: obfuscate"; fails=$((fails+1)); }
grep -qxE '[A-Za-z0-9+/]+=*' "$dir/obf" && ! grep -q 'p@ss' "$dir/obf" || { echo "FAIL: obfuscated text"; cat "$dir/obf"; fails=$((fails+1)); }
head -c 5000 /dev/zero | tr '\0' x | "$bin" obfuscate >/dev/null 2>&1 && { echo "FAIL: an over-long secret was taken"; fails=$((fails+1)); }
fresh=$dir/fresh.bin
"$bin" init --sqlite "$fresh" >/dev/null 2>&1
expect 0 "verify-events passes an empty chain" -- "$bin" verify-events --sqlite "$fresh"
grep -qx "event chain whole: 0 events checked" "$dir/out" || { echo "FAIL: whole-chain text"; cat "$dir/out"; fails=$((fails+1)); }
expect 1 "verify-events of a missing file fails" -- "$bin" verify-events --sqlite "$dir/none.bin"
[ -e "$dir/none.bin" ] && { echo "FAIL: verify-events created the file"; fails=$((fails+1)); }
expect 2 "verify-events takes one store" -- "$bin" verify-events --sqlite "$fresh" --odbc dsn
expect 2 "verify-events needs a store" -- "$bin" verify-events
expect 1 "verify-events of an unknown data source fails" -- "$bin" verify-events --odbc no-such-dsn-here --user u
[ $fails -eq 0 ] && echo "cli: all passed" || echo "cli: $fails failed"
exit $((fails > 0))
