// SPDX-License-Identifier: Apache-2.0
#include "platform/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace kivo::plist {
namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistFree>;

// Seconds between 1970 and the property-list epoch, 2001-01-01.
constexpr qint64 kEpochOffset = 978307200;

QVariant toVariant(plist_t node, int depth)
{
    if (!node || depth > 512)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return bool(v);
    }
    case PLIST_UINT: {
        // One integer node type holds both signs: negative values are stored as their
        // two's complement, and the writers print them signed.
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return qint64(v);
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return v;
    }
    case PLIST_STRING: {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        QString text = QString::fromUtf8(s ? s : "");
        std::free(s);
        return text;
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        QByteArray data(bytes, qsizetype(length));
        std::free(bytes);
        return data;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return QDateTime::fromMSecsSinceEpoch((qint64(sec) + kEpochOffset) * 1000 + usec / 1000, QTimeZone::utc());
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return quint64(v);
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(qsizetype(n));
        for (uint32_t i = 0; i < n; ++i)
            list.append(toVariant(plist_array_get_item(node, i), depth + 1));
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key)
                break;
            map.insert(QString::fromUtf8(key), toVariant(value, depth + 1));
            std::free(key);
        }
        std::free(it);
        return map;
    }
    default:
        return {};
    }
}

plist_t fromVariant(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::ULong:
    case QMetaType::UShort:
        return plist_new_uint(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        return plist_new_data(data.constData(), uint64_t(data.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kEpochOffset * 1000;
        const qint64 sec = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
        return plist_new_date(int32_t(sec), int32_t((ms - sec * 1000) * 1000));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QVariant& item : value.toList())
            if (plist_t child = fromVariant(item))
                plist_array_append_item(array, child);
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            if (plist_t child = fromVariant(it.value()))
                plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        return dict;
    }
    default:
        return nullptr;
    }
}

} // namespace

std::optional<Document> parse(const QByteArray& bytes, QString* error)
{
    auto fail = [&](const QString& why) -> std::optional<Document> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (bytes.size() > maxDocumentBytes)
        return fail(QStringLiteral("larger than %1 bytes").arg(maxDocumentBytes));
    if (bytes.isEmpty())
        return fail(QStringLiteral("empty"));
    const bool binary = plist_is_binary(bytes.constData(), uint32_t(bytes.size()));
    plist_t raw = nullptr;
    if (binary)
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &raw);
    else
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &raw);
    Node root(raw);
    if (!root)
        return fail(binary ? QStringLiteral("not a valid binary property list")
                           : QStringLiteral("not a valid property list"));
    return Document{toVariant(root.get(), 0), binary ? Format::binary : Format::xml};
}

std::optional<Document> readFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    if (file.size() > maxDocumentBytes) {
        if (error)
            *error = QStringLiteral("larger than %1 bytes").arg(maxDocumentBytes);
        return std::nullopt;
    }
    // read() stops at the cap even when the file grew or is not a regular file.
    return parse(file.read(maxDocumentBytes + 1), error);
}

QByteArray serialize(const QVariant& root, Format format)
{
    Node node(fromVariant(root));
    if (!node)
        return {};
    char* out = nullptr;
    uint32_t length = 0;
    if (format == Format::binary)
        plist_to_bin(node.get(), &out, &length);
    else
        plist_to_xml(node.get(), &out, &length);
    QByteArray bytes(out, qsizetype(length));
    std::free(out);
    return bytes;
}

} // namespace kivo::plist
