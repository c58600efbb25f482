# SPDX-License-Identifier: Apache-2.0
# Shared settings of the test network. Sourced, not run.
# Each build folder gets its own network, so test runs of different builds on
# one machine do not collide. The build folder comes from KIVO_BUILD_DIR (CTest
# sets it), else from the test program that called us, else there is none.
build_dir=${KIVO_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
  d=$(dirname "$(readlink -f "/proc/$PPID/exe" 2>/dev/null || echo /)")
  while [ "$d" != / ] && [ "$d" != . ]; do
    [ -f "$d/CMakeCache.txt" ] && { build_dir=$d; break; }
    d=$(dirname "$d")
  done
fi
if [ -n "${KIVO_TESTNET_PREFIX:-}" ]; then
  prefix=$KIVO_TESTNET_PREFIX
elif [ -n "$build_dir" ]; then
  prefix=kv$(readlink -f "$build_dir" | tr -d '\n' | md5sum | cut -c1-6)
else
  prefix=kivo
fi
state=/run/kivo-testnet/$prefix
link_a=${KIVO_TESTNET_LINK_A:-bridge100}
link_b=${KIVO_TESTNET_LINK_B:-bridge101}
link_c=eth0
subnet=${KIVO_TESTNET_SUBNET:-169.254.77}
# a and b are also cabled straight together, each end named as the
# thunderbolt-net driver names its devices; only direct connections use it.
tb_link=thunderbolt0
tb_subnet=${KIVO_TESTNET_TB_SUBNET:-10.254.77}

ns_of() { echo "$prefix-$1"; }
hostname_of() { echo "$prefix-host-$1"; }
holder_pid() { cat "$state/$1.pid" 2>/dev/null; }
