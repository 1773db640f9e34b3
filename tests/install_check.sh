#!/bin/bash
# install_check.sh BINDIR SRCDIR - what an integrator does with the README alone: installs
# the build under a staging prefix, moves the installed tree, builds the README's client
# with pkg-config from there, and runs it against qmbusserver with a configuration store:
# the language it read from the store must arrive on the bus.
set -u
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
[ "${QM_SANDBOX:-}" = 1 ] || { echo "install_check: outside the test sandbox" >&2; exit 1; }
stage=$(mktemp -d /tmp/qmstage.XXXX)
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$stage"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$stage/server.log" ] && sed 's/^/    /' "$stage/server.log"; exit 1; }

cmake --install "$bin" --prefix "$stage/first" >/dev/null || fail "cmake --install"
mv "$stage/first" "$stage/moved"  # the .pc file finds its prefix from its own place
pc=$(find "$stage/moved" -name qmveskar.pc)
[ -n "$pc" ] || fail "no qmveskar.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir qmveskar)
awk '/<!-- example client.c -->/ { on = 1; next } /<!-- end client.c -->/ { on = 0 }
     on { sub(/^    /, ""); print }' "$src/README.md" > "$stage/client.c"
[ -s "$stage/client.c" ] || fail "no client example in README.md"
# shellcheck disable=SC2046
cc -Wall -Werror "$stage/client.c" $(pkg-config --cflags --libs qmveskar) -o "$stage/client" \
    2>"$stage/cc.err" || fail "the README's client does not build: $(cat "$stage/cc.err")"

printf 'LANGSTR="it"\n' > /tmp/.vesconf_file
"$bin/qmbusserver" -p 0 -l "$stage/server.log" 2>"$stage/server.err" &
server=$!
for _ in $(seq 200); do grep -q listening "$stage/server.err" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$stage/server.err")
[ -n "$port" ] || fail "qmbusserver did not start: $(cat "$stage/server.err")"
out=$(LD_LIBRARY_PATH=$libdir "$stage/client" "$port") || fail "the client: $out"
[ "$out" = 'language "it" posted' ] || fail "the client printed: $out"
for _ in $(seq 100); do grep -q 'type 40 ' "$stage/server.log" 2>/dev/null && break; sleep 0.05; done
grep -q 'type 3 .*sender "client"' "$stage/server.log" || fail "no registration of the client"
grep -q 'type 40 .*sender "client".*dest "qmbus".*len 2 .*payload 69 74$' "$stage/server.log" ||
    fail "the post did not arrive as sent"
echo "ok: installed under a moved prefix, the README's client built with pkg-config and ran"
