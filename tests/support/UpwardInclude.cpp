// Compiled against the transfer layer only: this include must fail.
#include "app/AppState.h"
