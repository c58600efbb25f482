// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/SslServer.h"
#include "transfer/TransferSession.h"

#include <memory>

namespace kivo::test {

// Two connected message sessions over a real socket on 127.0.0.1, either TLS
// (throwaway certificates on both ends) or plain TCP.
struct LoopbackPair {
    std::unique_ptr<SslServer> server;
    std::unique_ptr<TransferSession> client;
    std::unique_ptr<TransferSession> accepted;
};

LoopbackPair makeLoopbackPair(TransferSession::Security security);

} // namespace kivo::test
