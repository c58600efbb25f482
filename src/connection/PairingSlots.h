// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>

#include <optional>

namespace kivo {

// How far a stranger's pairing attempt at the source has come.
enum class AttemptStage {
    handshaking,   // TLS not finished
    awaitingShare, // connected, has sent nothing yet
    proving,       // sent its share: a code is being tried
};

// Room for pairing attempts at the source while none has proved the code.
// Several run at once, so a connection that says nothing cannot keep the real
// destination out; the room is bounded, so a flood cannot exhaust the source.
struct PairingSlots {
    static constexpr qsizetype kCapacity = 4;

    struct Decision {
        bool admit = false;
        // The attempt to close to make room: the oldest that has not sent its share.
        std::optional<qsizetype> evict;
        bool operator==(const Decision&) const = default;
    };

    // What a new connection gets, given the attempts in progress, oldest first.
    // Attempts that are proving a code are never displaced: with every slot
    // taken by one, the newcomer is refused.
    static Decision decide(const QList<AttemptStage>& oldestFirst, qsizetype capacity = kCapacity);
};

} // namespace kivo
