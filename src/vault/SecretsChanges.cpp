// SPDX-License-Identifier: Apache-2.0
#include "vault/SecretsChanges.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QtEndian>

namespace kivo {

namespace {

constexpr qsizetype kSecretDigestBytes = 32;

void addDigestField(QCryptographicHash& hash, QByteArrayView bytes)
{
    const quint64 length = qToBigEndian(quint64(bytes.size()));
    hash.addData(QByteArrayView(reinterpret_cast<const char*>(&length), sizeof length));
    hash.addData(bytes);
}

template <typename T>
QMap<QString, T> secretsByKey(const QList<T>& list, const auto& attributesOf)
{
    QMap<QString, T> out;
    for (const T& one : list)
        out.insert(secrets::attributeKey(attributesOf(one)), one);
    return out;
}

std::optional<QByteArray> digestOfKey(const QMap<QString, SecretState>& states, const QString& key)
{
    const auto it = states.constFind(key);
    return it == states.cend() ? std::nullopt : std::optional<QByteArray>(it->digest);
}

} // namespace

QByteArray secretDigest(const secrets::Item& item)
{
    // The service files an item stored without a content type as plain text.
    const QString type = item.contentType.isEmpty() ? QStringLiteral("text/plain") : item.contentType;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    addDigestField(hash, item.label.toUtf8());
    addDigestField(hash, type.toUtf8());
    addDigestField(hash, item.secret);
    return hash.result();
}

SecretState secretStateOf(const secrets::Item& item) { return {item.attributes, item.label, secretDigest(item)}; }

QList<SecretState> secretStatesOf(const QList<secrets::Item>& items)
{
    QList<SecretState> out;
    for (const secrets::Item& item : items)
        out << secretStateOf(item);
    return out;
}

QByteArray encodeSecretStates(const QList<SecretState>& states)
{
    QJsonArray array;
    for (const SecretState& s : states) {
        QJsonObject attributes;
        for (auto it = s.attributes.cbegin(); it != s.attributes.cend(); ++it)
            attributes.insert(it.key(), it.value());
        array.append(QJsonObject{{QStringLiteral("attributes"), attributes},
                                 {QStringLiteral("label"), s.label},
                                 {QStringLiteral("digest"), QString::fromLatin1(s.digest.toHex())}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<SecretState> decodeSecretStates(const QByteArray& json)
{
    QList<SecretState> out;
    for (const QJsonValue& v : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = v.toObject();
        SecretState s;
        s.label = o.value(QStringLiteral("label")).toString();
        s.digest = QByteArray::fromHex(o.value(QStringLiteral("digest")).toString().toLatin1());
        const QJsonObject attributes = o.value(QStringLiteral("attributes")).toObject();
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            s.attributes.insert(it.key(), it.value().toString());
        if (s.digest.size() == kSecretDigestBytes)
            out << s;
    }
    return out;
}

QString describeSecret(const QString& label, const QMap<QString, QString>& attributes)
{
    QStringList pairs;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        pairs << it.key() + u'=' + it.value();
    return QStringLiteral("\"%1\" (%2)").arg(label, pairs.join(QStringLiteral(", ")));
}

SecretsRollbackPlan planSecretsRollback(const QList<secrets::Item>& before,
                                        const std::optional<QList<SecretState>>& after, const QList<SecretState>& now)
{
    const auto attributesOfItem = [](const secrets::Item& i) { return i.attributes; };
    const auto attributesOfState = [](const SecretState& s) { return s.attributes; };
    const QMap<QString, secrets::Item> was = secretsByKey(before, attributesOfItem);
    const std::optional<QMap<QString, SecretState>> left =
        after ? std::optional(secretsByKey(*after, attributesOfState)) : std::nullopt;
    const QMap<QString, SecretState> is = secretsByKey(now, attributesOfState);
    QStringList keys = was.keys() + (left ? left->keys() : is.keys());
    keys.removeDuplicates();
    keys.sort();
    SecretsRollbackPlan plan;
    for (const QString& key : std::as_const(keys)) {
        const auto wasItem = was.constFind(key);
        const std::optional<QByteArray> wasDigest =
            wasItem == was.cend() ? std::nullopt : std::optional(secretDigest(*wasItem));
        const std::optional<QByteArray> isDigest = digestOfKey(is, key);
        if ((left && digestOfKey(*left, key) == wasDigest) || isDigest == wasDigest)
            continue; // the migration left it alone, or it is back as it was
        if (!left || isDigest != digestOfKey(*left, key)) {
            const SecretState& seen = is.contains(key) ? is[key] : left && left->contains(key) ? (*left)[key]
                                                                                                : secretStateOf(*wasItem);
            plan.changedSince << describeSecret(seen.label, seen.attributes);
        }
        if (wasItem != was.cend())
            plan.restore << *wasItem;
        else
            plan.remove << (is.contains(key) ? is[key].attributes : (*left)[key].attributes);
    }
    return plan;
}

} // namespace kivo
