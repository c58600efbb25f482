// SPDX-License-Identifier: Apache-2.0
#include "connection/PairingSlots.h"

namespace kivo {

PairingSlots::Decision PairingSlots::decide(const QList<AttemptStage>& oldestFirst, qsizetype capacity)
{
    if (capacity <= 0)
        return {};
    if (oldestFirst.size() < capacity)
        return {true, std::nullopt};
    for (qsizetype i = 0; i < oldestFirst.size(); ++i) {
        if (oldestFirst[i] != AttemptStage::proving)
            return {true, i};
    }
    return {};
}

} // namespace kivo
