#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL cluster: initdb, start on a
# private socket directory (no TCP port to collide with), run, stop, delete.
# initdb and pg_ctl refuse to run as root, so as root they run as "postgres".
set -euo pipefail

pgbin="${VEILCAST_PG_BIN:-}"
if [[ -z "$pgbin" ]]; then
  for dir in /usr/lib/postgresql/*/bin; do
    [[ -x "$dir/initdb" ]] && pgbin="$dir"
  done
fi
if [[ -z "$pgbin" || ! -x "$pgbin/initdb" ]]; then
  echo "with-postgres: no initdb found (install the postgresql package)" >&2
  exit 1
fi

work="$(mktemp -d /tmp/veilcast-pg-XXXXXX)"
as_owner=()
if [[ $(id -u) -eq 0 ]]; then
  chown postgres: "$work"
  as_owner=(runuser -u postgres --)
fi
chmod 700 "$work"

cleanup() {
  "${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

port=5432
"${as_owner[@]}" "$pgbin/initdb" -D "$work/data" -U postgres --auth=trust \
  --encoding=UTF8 --locale=C.UTF-8 >"$work/initdb.log" 2>&1 || {
  cat "$work/initdb.log" >&2; exit 1; }
"${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-c listen_addresses='' -c unix_socket_directories='$work' -p $port -c fsync=off" \
  start >/dev/null || { cat "$work/server.log" >&2; exit 1; }
"${as_owner[@]}" "$pgbin/createdb" -h "$work" -p "$port" -U postgres veilcast_test

export VEILCAST_TEST_DATABASE="postgresql://postgres@localhost/veilcast_test?host=$work&port=$port"
"$@"
