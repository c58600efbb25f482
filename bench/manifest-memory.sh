#!/bin/sh
# Peak memory of receiving a large manifest: generates one (default 1,000,000
# items) as a source encodes it, then receives and decodes it in a fresh
# process, which prints one JSON line.
#   bench/manifest-memory.sh BUILD_DIR [ITEMS]
set -eu
build=${1:?usage: bench/manifest-memory.sh BUILD_DIR [ITEMS]}
items=${2:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/kivo-manifest-memory" generate "$items" "$work/manifest.json"
"$build/bench/kivo-manifest-memory" receive "$work/manifest.json"
