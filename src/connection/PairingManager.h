// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace kivo {

// The six-digit code that proves the person at the destination can see the
// source's screen, its 60-second window, and the confirmations of both sides.
class PairingManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString pairingCode READ pairingCodeText NOTIFY pairingCodeChanged)
    Q_PROPERTY(QDateTime expiresAt READ expiresAtValue NOTIFY expiresAtChanged)
    Q_PROPERTY(bool isLocallyConfirmed READ isLocallyConfirmed NOTIFY isLocallyConfirmedChanged)
    Q_PROPERTY(bool isRemotelyConfirmed READ isRemotelyConfirmed NOTIFY isRemotelyConfirmedChanged)
    Q_PROPERTY(bool isExpired READ isExpired NOTIFY isExpiredChanged)
public:
    static constexpr std::chrono::seconds kCodeLifetime{60};
    static constexpr int kCodeLength = 6;
    // Failed confirmations, from any peers, that use up a code.
    static constexpr int kMaxFailedConfirmations = 3;

    struct Session {
        QByteArray key;
        QString code;
    };

    explicit PairingManager(Clock& clock = *Clock::system(), QObject* parent = nullptr);
    ~PairingManager() override;

    // Source: a fresh random code, and a random 256-bit key that only the old
    // exchange uses (the secure one agrees on its own).
    Session generateSession();
    // Destination: the code the source advertised; no key on this side.
    void acceptPeerCode(const QString& code);
    void confirmLocally();
    void confirmRemotely();
    // The key the secure exchange agreed on; otherwise HKDF-SHA256 of the session
    // key; none without either (the destination after the old exchange).
    std::optional<QByteArray> deriveTransferKey() const;
    // Both ends: the key the code-proving exchange produced.
    void setAgreedKey(QByteArray key);
    bool hasAgreedKey() const { return m_agreedKey.has_value(); }
    // Source: a confirmation that did not verify. True when it used the code up,
    // which then counts as expired, so a fresh one is shown.
    bool recordFailedConfirmation();
    int failedConfirmations() const { return m_failedConfirmations; }
    void reset();
    double secondsRemaining() const;

    const std::optional<QByteArray>& sessionKey() const { return m_sessionKey; }
    const std::optional<QString>& pairingCode() const { return m_pairingCode; }
    const std::optional<QDateTime>& expiresAt() const { return m_expiresAt; }
    bool isLocallyConfirmed() const { return m_locallyConfirmed; }
    bool isRemotelyConfirmed() const { return m_remotelyConfirmed; }
    bool isExpired() const { return m_expired; }
    bool isConfirmedBoth() const { return m_locallyConfirmed && m_remotelyConfirmed; }

    // Six ASCII digits, nothing else: what a person can type from the source's screen.
    static bool isWellFormedCode(const QString& code);
    // The typed entry against the live code, in constant time; false without a code.
    bool matchesCode(const QString& typed) const;

    // HKDF-SHA256 with our fixed salt and info, 32 bytes out.
    static QByteArray hkdfTransferKey(const QByteArray& inputKey);

Q_SIGNALS:
    void pairingCodeChanged();
    void expiresAtChanged();
    void isLocallyConfirmedChanged();
    void isRemotelyConfirmedChanged();
    void isExpiredChanged();
    // Both flags became true.
    void confirmedBoth();

private:
    QString pairingCodeText() const { return m_pairingCode.value_or(QString()); }
    QDateTime expiresAtValue() const { return m_expiresAt.value_or(QDateTime()); }
    void startSession(std::optional<QByteArray> key, QString code);
    void startExpiryTimer();
    void expire();
    void setCode(std::optional<QString> code);
    void setExpiresAt(std::optional<QDateTime> at);
    void setLocal(bool v);
    void setRemote(bool v);
    void setExpired(bool v);

    Clock& m_clock;
    std::optional<QByteArray> m_sessionKey;
    std::optional<QByteArray> m_agreedKey;
    int m_failedConfirmations = 0;
    std::optional<QString> m_pairingCode;
    std::optional<QDateTime> m_expiresAt;
    bool m_locallyConfirmed = false;
    bool m_remotelyConfirmed = false;
    bool m_expired = false;
    std::unique_ptr<QObject> m_expiryTask;
};

} // namespace kivo
