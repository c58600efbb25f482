#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Keychain export+seal on a source keyring of N items (default 2,000), then the
# import of that export into a second, empty keyring; one JSON line each.
#   bench/keychain-bench.sh BUILD_DIR [ITEMS]
set -eu
build=${1:?usage: bench/keychain-bench.sh BUILD_DIR [ITEMS]}
items=${2:-2000}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap '"$here/scripts/keyring-session" stop "$work/src"; "$here/scripts/keyring-session" stop "$work/dst"; rm -rf "$work"' EXIT
bus() { "$here/scripts/keyring-session" start "$1" | sed -n 's/^DBUS_SESSION_BUS_ADDRESS=//p'; }
src=$(bus "$work/src")
dst=$(bus "$work/dst")
DBUS_SESSION_BUS_ADDRESS=$src "$build/bench/kivo-keychain-bench" fill "$items"
DBUS_SESSION_BUS_ADDRESS=$src "$build/bench/kivo-keychain-bench" export "$work/export.encrypted"
DBUS_SESSION_BUS_ADDRESS=$dst "$build/bench/kivo-keychain-bench" import "$work/export.encrypted"
