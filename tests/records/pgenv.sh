#!/usr/bin/env bash
# Runs one test inside a throw-away PostgreSQL cluster of its own (Debian's pg_virtualenv).
# The test finds it through PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE; it stops and starts
# the server with pg_ctlcluster "$PGVERSION" regress. Tests run in parallel, so every cluster
# gets a port no other one listens on.
set -u
if ! command -v pg_virtualenv >/dev/null 2>&1 || ! ls /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1; then
    echo "FAIL: no PostgreSQL server on this machine: install the Debian package 'postgresql'" \
         "(it brings pg_virtualenv and pg_ctlcluster)" >&2
    exit 1
fi

port_taken() {
    [ -e "/var/run/postgresql/.s.PGSQL.$1.lock" ] || [ -e "/tmp/.s.PGSQL.$1.lock" ] ||
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
port=$((20000 + (RANDOM * 32768 + RANDOM + $$) % 20000))
while port_taken "$port"; do
    port=$((port + 1))
done
export PGPORT=$port
# -t: a cluster in a temporary folder also when the suite runs as root.
exec pg_virtualenv -t "$@"
