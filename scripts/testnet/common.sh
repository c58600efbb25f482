# Shared settings of the two-host test network. Sourced, not run.
# Each build folder gets its own network (CTest sets KIVO_BUILD_DIR for every
# test), so test runs of different builds on one machine do not collide.
if [ -n "${KIVO_TESTNET_PREFIX:-}" ]; then
  prefix=$KIVO_TESTNET_PREFIX
elif [ -n "${KIVO_BUILD_DIR:-}" ]; then
  prefix=kv$(printf %s "$KIVO_BUILD_DIR" | md5sum | cut -c1-6)
else
  prefix=kivo
fi
state=/run/kivo-testnet/$prefix
link_a=${KIVO_TESTNET_LINK_A:-bridge100}
link_b=${KIVO_TESTNET_LINK_B:-bridge101}
subnet=${KIVO_TESTNET_SUBNET:-169.254.77}

ns_of() { echo "$prefix-$1"; }
hostname_of() { echo "$prefix-host-$1"; }
holder_pid() { cat "$state/$1.pid" 2>/dev/null; }
