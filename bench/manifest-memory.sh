#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Peak memory of receiving a large manifest: generates one (default 1,000,000
# items) as a source encodes it, then, each in a fresh process, decodes it as it
# comes off the wire and has a real destination engine receive and ack it; one
# JSON line each.
#   bench/manifest-memory.sh BUILD_DIR [ITEMS]
set -eu
build=${1:?usage: bench/manifest-memory.sh BUILD_DIR [ITEMS]}
items=${2:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/kivo-manifest-memory" generate "$items" "$work/manifest.json"
"$build/bench/kivo-manifest-memory" receive "$work/manifest.json"
"$build/bench/kivo-manifest-memory" destination "$work/manifest.json"
