// SPDX-License-Identifier: Apache-2.0
#include "connection/PairingManager.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/Observable.h"

#include <QPointer>

#include <algorithm>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "connection/SecurePairingCPace.h"

#include <sodium.h>

namespace kivo {

namespace {
constexpr char kSalt[] = "org.vantu.channel";
constexpr char kInfo[] = "kivo-aes-256-gcm";
} // namespace

PairingManager::PairingManager(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

PairingManager::~PairingManager() = default;

bool PairingManager::isWellFormedCode(const QString& code)
{
    return code.size() == kCodeLength
        && std::all_of(code.begin(), code.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool PairingManager::matchesCode(const QString& typed) const
{
    if (!m_pairingCode || !isWellFormedCode(typed) || !isWellFormedCode(*m_pairingCode))
        return false;
    const QByteArray a = typed.toLatin1();
    const QByteArray b = m_pairingCode->toLatin1();
    return CRYPTO_memcmp(a.constData(), b.constData(), kCodeLength) == 0;
}

QByteArray PairingManager::hkdfTransferKey(const QByteArray& inputKey)
{
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), EVP_KDF_free);
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr,
                                                                  EVP_KDF_CTX_free);
    if (!ctx)
        throw SystemError(QStringLiteral("HKDF is not available"));
    QByteArray ikm = inputKey;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, ikm.data(), static_cast<size_t>(ikm.size())),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(kSalt), sizeof kSalt - 1),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kInfo), sizeof kInfo - 1),
        OSSL_PARAM_construct_end(),
    };
    QByteArray out(32, '\0');
    if (EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), static_cast<size_t>(out.size()),
                       params) != 1)
        throw SystemError(QStringLiteral("HKDF derivation failed"));
    return out;
}

PairingManager::Session PairingManager::generateSession()
{
    QByteArray key(32, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) != 1)
        throw SystemError(QStringLiteral("No random bytes available"));
    // The code is drawn on its own: nothing about it may follow from a key that
    // is later used for anything.
    if (!cpace::initialise())
        throw SystemError(QStringLiteral("No random numbers available"));
    const QString code = QStringLiteral("%1").arg(randombytes_uniform(1000000), kCodeLength, 10, QLatin1Char('0'));
    startSession(key, code);
    qCInfo(lcPairing).noquote() << QStringLiteral("Pairing session generated, code: %1, expires in %2s")
                                       .arg(code)
                                       .arg(double(kCodeLifetime.count()), 0, 'f', 6);
    return {key, code};
}

void PairingManager::acceptPeerCode(const QString& code)
{
    startSession(std::nullopt, code);
}

void PairingManager::startSession(std::optional<QByteArray> key, QString code)
{
    m_sessionKey = std::move(key);
    m_agreedKey.reset();
    m_failedConfirmations = 0;
    setCode(std::move(code));
    setLocal(false);
    setRemote(false);
    setExpired(false);
    setExpiresAt(m_clock.now().addSecs(kCodeLifetime.count()));
    startExpiryTimer();
}

void PairingManager::startExpiryTimer()
{
    m_expiryTask.reset();
    QPointer<PairingManager> self(this);
    m_expiryTask = m_clock.schedule(kCodeLifetime, [self] {
        if (self)
            self->expire();
    });
}

void PairingManager::expire()
{
    if (isConfirmedBoth())
        return;
    setExpired(true);
    qCInfo(lcPairing) << "Pairing session expired";
}

void PairingManager::confirmLocally()
{
    if (m_expired)
        return;
    setLocal(true);
    qCInfo(lcPairing) << "Pairing confirmed locally";
}

void PairingManager::confirmRemotely()
{
    if (m_expired)
        return;
    setRemote(true);
    qCInfo(lcPairing) << "Pairing confirmed by remote peer";
}

void PairingManager::setAgreedKey(QByteArray key)
{
    m_agreedKey = std::move(key);
}

bool PairingManager::recordFailedConfirmation()
{
    ++m_failedConfirmations;
    qCWarning(lcPairing).noquote() << QStringLiteral("Pairing confirmation failed (%1 of %2)")
                                          .arg(m_failedConfirmations)
                                          .arg(kMaxFailedConfirmations);
    if (m_failedConfirmations < kMaxFailedConfirmations || m_expired)
        return false;
    m_expiryTask.reset();
    setExpired(true);
    qCWarning(lcPairing) << "Pairing code used up by failed confirmations";
    return true;
}

std::optional<QByteArray> PairingManager::deriveTransferKey() const
{
    if (m_agreedKey)
        return m_agreedKey;
    if (!m_sessionKey)
        return std::nullopt;
    return hkdfTransferKey(*m_sessionKey);
}

void PairingManager::reset()
{
    m_expiryTask.reset();
    m_sessionKey.reset();
    m_agreedKey.reset();
    m_failedConfirmations = 0;
    setCode(std::nullopt);
    setExpiresAt(std::nullopt);
    setLocal(false);
    setRemote(false);
    setExpired(false);
}

double PairingManager::secondsRemaining() const
{
    if (!m_expiresAt || m_expired)
        return 0;
    const qint64 ms = m_clock.now().msecsTo(*m_expiresAt);
    return ms > 0 ? double(ms) / 1000.0 : 0;
}

void PairingManager::setCode(std::optional<QString> code)
{
    assignAndNotify(this, m_pairingCode, std::move(code), &PairingManager::pairingCodeChanged);
}

void PairingManager::setExpiresAt(std::optional<QDateTime> at)
{
    assignAndNotify(this, m_expiresAt, std::move(at), &PairingManager::expiresAtChanged);
}

void PairingManager::setLocal(bool v)
{
    if (assignAndNotify(this, m_locallyConfirmed, v, &PairingManager::isLocallyConfirmedChanged) && isConfirmedBoth())
        Q_EMIT confirmedBoth();
}

void PairingManager::setRemote(bool v)
{
    if (assignAndNotify(this, m_remotelyConfirmed, v, &PairingManager::isRemotelyConfirmedChanged) && isConfirmedBoth())
        Q_EMIT confirmedBoth();
}

void PairingManager::setExpired(bool v) { assignAndNotify(this, m_expired, v, &PairingManager::isExpiredChanged); }

} // namespace kivo
