// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QtGlobal>

namespace kivo::net {

// Keep-alive probes every `seconds` once the connection has been idle that
// long, so a peer that vanished is noticed in minutes rather than hours.
bool enableKeepAlive(qintptr descriptor, int seconds);

} // namespace kivo::net
