# Shared settings of the two-host test network. Sourced, not run.
prefix=${KIVO_TESTNET_PREFIX:-kivo}
state=/run/kivo-testnet/$prefix
link_a=${KIVO_TESTNET_LINK_A:-bridge100}
link_b=${KIVO_TESTNET_LINK_B:-bridge101}
subnet=${KIVO_TESTNET_SUBNET:-169.254.77}

ns_of() { echo "$prefix-$1"; }
hostname_of() { echo "$prefix-host-$1"; }
holder_pid() { cat "$state/$1.pid" 2>/dev/null; }
