// SPDX-License-Identifier: Apache-2.0
// Compiled against the transfer layer only: this include must fail.
#include "app/AppState.h"
