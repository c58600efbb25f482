// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/MigrationFlow.h"

#include <QDeadlineTimer>
#include <QList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace kivo {

struct TransferManifest;

// The destination: finds or reaches the source, confirms the code the user
// reads off the source's screen, maps the source's account onto this one and
// receives into the session's home folder.
class ReceiveFlow : public MigrationFlow {
    Q_OBJECT
public:
    // Asks the user for the code; none when there is no answer (any more).
    using AskCode = std::function<QCoro::Task<std::optional<QString>>()>;

    struct Request {
        std::optional<QString> code;           // given up front; asked through askCode otherwise
        AskCode askCode;                       // may be empty: then only `code` is tried
        std::optional<QString> sourceHostname; // only this source (any case); none: the only one found
        std::optional<QString> directHost;     // a known address: no discovery, no advertised code to check
        quint16 directPort = 0;
        std::chrono::seconds timeout{120};     // for finding, reaching and pairing with the source, typing aside
        // Once one source is seen, how long others may still show up before it counts as the only one.
        std::chrono::milliseconds othersGrace{1500};
        bool allowUnverifiedPairing = false; // a source that cannot prove the code may pair
    };

    static constexpr char kCodeMismatchText[] = "Code doesn't match. Check the source Mac and try again.";

    ReceiveFlow(AppState& session, Request request, QObject* parent = nullptr);

    // The peers a name filter leaves (host names compared without regard to case).
    static QList<DiscoveredPeer> matchingSources(const QList<DiscoveredPeer>& peers, const std::optional<QString>& name);
    // The one source to pair with from a snapshot of the list (which may have
    // emptied since it was first seen), or why there is none to choose.
    static std::variant<DiscoveredPeer, FlowFailure> chooseSource(const QList<DiscoveredPeer>& peers,
                                                                  const std::optional<QString>& name);

Q_SIGNALS:
    void peerFound(kivo::DiscoveredPeer peer);
    // The typed code did not match; the user may try again while the window lasts.
    void codeRejected();

protected:
    QCoro::Task<void> runSteps() override;

private:
    QCoro::Task<DiscoveredPeer> findSource();
    QCoro::Task<void> connectTo(DiscoveredPeer peer, bool again = false);
    QCoro::Task<void> confirmCode();
    QCoro::Task<void> pair(DiscoveredPeer& peer);
    QCoro::Task<std::optional<QString>> askCode();
    std::chrono::milliseconds timeLeft() const;

    Request m_request;
    QDeadlineTimer m_giveUpAt;
};

} // namespace kivo
