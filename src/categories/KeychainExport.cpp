// SPDX-License-Identifier: Apache-2.0
#include "categories/KeychainExport.h"

#include "transfer/TransferError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace kivo::keychain {

namespace {

const QString kClass = QStringLiteral("_kivo_class");
const QString kLabel = QStringLiteral("_kivo_label");
const QString kSecret = QStringLiteral("_kivo_secret");
const QString kContentType = QStringLiteral("_kivo_contentType");
const QString kSchemaAttribute = QStringLiteral("xdg:schema");

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext()
{
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx)
        throw SystemError(QStringLiteral("Cannot set up the cipher"));
    return ctx;
}

void checkKey(const QByteArray& key)
{
    if (key.size() != kKeyBytes)
        throw SystemError(QStringLiteral("The keychain export needs a 256-bit key"));
}

const auto* bytes(const QByteArray& a) { return reinterpret_cast<const unsigned char*>(a.constData()); }
auto* bytes(QByteArray& a) { return reinterpret_cast<unsigned char*>(a.data()); }

} // namespace

QByteArray seal(const QByteArray& plaintext, const QByteArray& key)
{
    checkKey(key);
    QByteArray out(kNonceBytes + plaintext.size() + kTagBytes, Qt::Uninitialized);
    if (RAND_bytes(bytes(out), kNonceBytes) != 1)
        throw SystemError(QStringLiteral("No randomness for the keychain export"));
    CipherContext ctx = newContext();
    int written = 0, tail = 0;
    const bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, bytes(key), bytes(out)) == 1
        && EVP_EncryptUpdate(ctx.get(), bytes(out) + kNonceBytes, &written, bytes(plaintext), int(plaintext.size())) == 1
        && EVP_EncryptFinal_ex(ctx.get(), bytes(out) + kNonceBytes + written, &tail) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes,
                               bytes(out) + kNonceBytes + plaintext.size()) == 1;
    if (!ok)
        throw SystemError(QStringLiteral("Cannot seal the keychain export"));
    return out;
}

QByteArray open(const QByteArray& sealed, const QByteArray& key)
{
    checkKey(key);
    if (sealed.size() < kNonceBytes + kTagBytes)
        throw SystemError(QStringLiteral("The keychain export is truncated"));
    const qsizetype length = sealed.size() - kNonceBytes - kTagBytes;
    QByteArray plain(length, Qt::Uninitialized);
    QByteArray tag = sealed.right(kTagBytes);
    CipherContext ctx = newContext();
    int written = 0, tail = 0;
    const bool ok = EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, bytes(key), bytes(sealed)) == 1
        && EVP_DecryptUpdate(ctx.get(), bytes(plain), &written, bytes(sealed) + kNonceBytes, int(length)) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, bytes(tag)) == 1
        && EVP_DecryptFinal_ex(ctx.get(), bytes(plain) + written, &tail) == 1;
    if (!ok) {
        plain.fill('\0');
        throw SystemError(QStringLiteral("The keychain export does not authenticate with this connection's key"));
    }
    return plain;
}

QByteArray encodeItems(const QList<secrets::Item>& items)
{
    QJsonArray array;
    for (const secrets::Item& item : items) {
        QJsonObject o;
        for (auto it = item.attributes.cbegin(); it != item.attributes.cend(); ++it)
            o.insert(it.key(), it.value());
        const bool internet = item.schema == QLatin1String(secrets::kNetworkPasswordSchema)
            || item.attributes.value(kSchemaAttribute) == QLatin1String(secrets::kNetworkPasswordSchema);
        o.insert(kClass, internet ? QStringLiteral("internet") : QStringLiteral("generic"));
        o.insert(kLabel, item.label);
        o.insert(kSecret, QString::fromLatin1(item.secret.toBase64()));
        o.insert(kContentType, item.contentType);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<secrets::Item> decodeItems(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("Keychain export: ") + error.errorString());
    const auto invalid = [] { return TransferError::encodingError(QStringLiteral("Invalid keychain export format")); };
    if (!doc.isArray())
        throw invalid();
    QList<secrets::Item> out;
    for (const QJsonValue& value : doc.array()) {
        if (!value.isObject())
            throw invalid();
        const QJsonObject o = value.toObject();
        if (o.isEmpty())
            continue;
        secrets::Item item;
        for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
            const QString& name = it.key();
            if (name.startsWith(QLatin1String("_kivo_")) || name.endsWith(QLatin1String("_isData")))
                continue;
            // A binary value travels as Base64 with a companion "<name>_isData": true.
            const QByteArray decoded = QByteArray::fromBase64(it->toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            const bool isData = o.value(name + QStringLiteral("_isData")).toBool() && it->isString() && !decoded.isNull();
            if (isData)
                item.attributes.insert(name, QString::fromUtf8(decoded));
            else if (it->isString())
                item.attributes.insert(name, it->toString());
            else if (!it->isNull() && !it->isUndefined())
                item.attributes.insert(name, it->isDouble() ? QString::number(it->toDouble()) : it->toVariant().toString());
        }
        if (o.value(kClass).toString() == QLatin1String("internet") && !item.attributes.contains(kSchemaAttribute))
            item.attributes.insert(kSchemaAttribute, QString::fromLatin1(secrets::kNetworkPasswordSchema));
        item.schema = item.attributes.value(kSchemaAttribute);
        item.label = o.value(kLabel).toString();
        item.contentType = o.value(kContentType).toString();
        const QJsonValue secret = o.value(kSecret);
        if (!secret.isString())
            throw invalid();
        const auto decodedSecret = QByteArray::fromBase64Encoding(secret.toString().toLatin1(),
                                                                  QByteArray::AbortOnBase64DecodingErrors);
        if (!decodedSecret)
            throw invalid();
        item.secret = *decodedSecret;
        out.append(std::move(item));
    }
    return out;
}

} // namespace kivo::keychain
