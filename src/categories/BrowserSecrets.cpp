// SPDX-License-Identifier: Apache-2.0
#include "categories/BrowserSecrets.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/SecretTool.h"
#include "platform/SqliteColumns.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <memory>

namespace kivo::browserSecrets {

namespace {

constexpr int kKeyBytes = 16;
constexpr int kBlock = 16;
const QByteArray kPrefix = QByteArrayLiteral("v11");
const QByteArray kIv(kBlock, ' ');

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const auto* bytes(const QByteArray& a) { return reinterpret_cast<const unsigned char*>(a.constData()); }
auto* bytes(QByteArray& a) { return reinterpret_cast<unsigned char*>(a.data()); }

std::optional<QByteArray> cbc(const QByteArray& in, const QByteArray& key, bool encrypt)
{
    if (key.size() != kKeyBytes)
        return std::nullopt;
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    QByteArray out(in.size() + kBlock, Qt::Uninitialized);
    int written = 0, tail = 0;
    const bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, bytes(key), bytes(kIv), encrypt ? 1 : 0) == 1
        && EVP_CipherUpdate(ctx.get(), bytes(out), &written, bytes(in), int(in.size())) == 1
        && EVP_CipherFinal_ex(ctx.get(), bytes(out) + written, &tail) == 1;
    if (!ok)
        return std::nullopt;
    out.truncate(written + tail);
    return out;
}

secretTool::Attributes attributesFor(const QString& application)
{
    return {{QStringLiteral("xdg:schema"), QString::fromLatin1(kSchema)}, {QStringLiteral("application"), application}};
}

// What a browser's own name for itself may be: nothing that could widen a search.
bool isApplicationName(const QString& name)
{
    static const QRegularExpression valid(QStringLiteral("^[a-z0-9][a-z0-9._-]{0,63}$"));
    return valid.match(name).hasMatch();
}

void wipe(QByteArray& bytes)
{
    bytes.fill('\0');
    bytes.clear();
}

} // namespace

QByteArray v11Key(const QByteArray& secret)
{
    QByteArray key(kKeyBytes, Qt::Uninitialized);
    static const QByteArray salt = QByteArrayLiteral("saltysalt");
    if (PKCS5_PBKDF2_HMAC_SHA1(secret.constData(), int(secret.size()), bytes(salt), int(salt.size()), 1, kKeyBytes,
                               bytes(key)) != 1)
        throw SystemError(QStringLiteral("Cannot derive the browser's key"));
    return key;
}

QByteArray encryptV11(const QByteArray& plain, const QByteArray& key)
{
    const std::optional<QByteArray> sealed = cbc(plain, key, true);
    if (!sealed)
        throw SystemError(QStringLiteral("Cannot encrypt a browser value"));
    return kPrefix + *sealed;
}

std::optional<QByteArray> decryptV11(const QByteArray& value, const QByteArray& key)
{
    if (!value.startsWith(kPrefix))
        return std::nullopt;
    const QByteArray body = value.mid(kPrefix.size());
    if (body.isEmpty() || body.size() % kBlock != 0)
        return std::nullopt;
    return cbc(body, key, false);
}

std::optional<QByteArray> reencrypted(const QByteArray& value, const QByteArray& fromKey, const QByteArray& toKey)
{
    if (!value.startsWith(kPrefix))
        return value;
    std::optional<QByteArray> plain = decryptV11(value, fromKey);
    if (!plain)
        return std::nullopt;
    QByteArray out = encryptV11(*plain, toKey);
    plain->fill('\0');
    return out;
}

QByteArray encodeSecrets(const QList<SafeStorageSecret>& secrets)
{
    QJsonArray array;
    for (const SafeStorageSecret& s : secrets)
        array.append(QJsonObject{{QStringLiteral("application"), s.application},
                                 {QStringLiteral("secret"), QString::fromLatin1(s.secret.toBase64())}});
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<SafeStorageSecret> decodeSecrets(const QByteArray& json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isArray())
        throw SystemError(QStringLiteral("The browser secrets export is not a list"));
    QList<SafeStorageSecret> out;
    for (const QJsonValue& v : doc.array()) {
        const QJsonObject o = v.toObject();
        const QString application = o.value(QStringLiteral("application")).toString();
        const auto secret = QByteArray::fromBase64Encoding(o.value(QStringLiteral("secret")).toString().toLatin1(),
                                                           QByteArray::AbortOnBase64DecodingErrors);
        if (!isApplicationName(application) || !secret || secret.decoded.isEmpty() || secret.decoded.size() > 4096)
            throw SystemError(QStringLiteral("The browser secrets export holds an entry that is not a browser's secret"));
        out.append({application, secret.decoded});
    }
    return out;
}

QList<SafeStorageSecret> gather(const QStringList& applications, const CommandOptions& client)
{
    QList<SafeStorageSecret> out;
    for (const QString& application : applications)
        if (std::optional<QByteArray> secret = secretTool::lookup(attributesFor(application), client))
            out.append({application, std::move(*secret)});
    return out;
}

std::optional<ProtectedColumn> protectedColumnOf(const QString& fileName)
{
    if (fileName == QLatin1String("Login Data") || fileName == QLatin1String("Login Data For Account"))
        return ProtectedColumn{"logins", "password_value"};
    if (fileName == QLatin1String("Cookies"))
        return ProtectedColumn{"cookies", "encrypted_value"};
    return std::nullopt;
}

CategoryTransferHandler::ImportCounts arrive(const QList<SafeStorageSecret>& secrets,
                                             const QMap<QString, QStringList>& databases, const CommandOptions& client)
{
    if (!secretTool::serviceAnswers(client))
        throw SystemError(QStringLiteral("No Secret Service answers for this account, so the browsers' saved passwords "
                                         "cannot be unlocked here"));
    CategoryTransferHandler::ImportCounts counts;
    for (const SafeStorageSecret& arriving : secrets) {
        const secretTool::Attributes attributes = attributesFor(arriving.application);
        std::optional<QByteArray> here = secretTool::lookup(attributes, client);
        if (!here) {
            secretTool::store(arriving.application + QStringLiteral(" Safe Storage"), attributes, arriving.secret, client);
            ++counts.imported;
            continue;
        }
        if (*here == arriving.secret)
            continue;
        // This account's browsers already use their own key: it stays, and what arrived is made to match it.
        QByteArray from = v11Key(arriving.secret), to = v11Key(*here);
        wipe(*here);
        for (const QString& path : databases.value(arriving.application)) {
            const std::optional<ProtectedColumn> column = protectedColumnOf(path.mid(path.lastIndexOf(u'/') + 1));
            if (!column)
                continue;
            try {
                const sqlite::ColumnChanges changes = sqlite::rewriteColumn(
                    path, column->table, column->column,
                    [&](const QByteArray& value) { return reencrypted(value, from, to); });
                counts.updated += changes.changed;
                counts.failed += changes.failed;
                if (changes.changed > 0)
                    counts.adapted.append(path);
            } catch (const std::exception& e) {
                qCWarning(lcCategories).noquote() << "Saved values not re-encrypted:" << describe(e);
                ++counts.failed;
            }
        }
        wipe(from);
        wipe(to);
    }
    return counts;
}

} // namespace kivo::browserSecrets
