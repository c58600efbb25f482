// SPDX-License-Identifier: Apache-2.0
#include "platform/PasswdFile.h"

#include <QFile>

#include <algorithm>
#include <optional>

namespace kivo {

namespace {

// Both files are a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxBytes = 4 * 1024 * 1024;

QByteArray readCapped(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxBytes);
}

std::optional<unsigned> idField(const QByteArray& field)
{
    bool ok = false;
    const unsigned value = field.toUInt(&ok);
    if (!ok || field.isEmpty() || !std::all_of(field.cbegin(), field.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return value;
}

} // namespace

QList<SystemAccount> PasswdFile::parse(const QByteArray& text)
{
    QList<SystemAccount> out;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith('#') || line.startsWith('+') || line.startsWith('-'))
            continue;
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() != 7 || fields[0].isEmpty())
            continue;
        const auto uid = idField(fields[2]);
        const auto gid = idField(fields[3]);
        if (!uid || !gid)
            continue;
        out.append({QString::fromUtf8(fields[0]), *uid, *gid, QString::fromUtf8(fields[5]), QString::fromUtf8(fields[4])});
    }
    return out;
}

QList<SystemAccount> PasswdFile::read(const QString& path)
{
    return parse(readCapped(path));
}

LoginDefs LoginDefs::parse(const QByteArray& text)
{
    LoginDefs out;
    for (const QByteArray& raw : text.split('\n')) {
        const QList<QByteArray> fields = raw.simplified().split(' ');
        if (fields.size() < 2 || fields[0].startsWith('#'))
            continue;
        const auto value = idField(fields[1]);
        if (!value)
            continue;
        if (fields[0] == "UID_MIN")
            out.uidMin = *value;
        else if (fields[0] == "UID_MAX")
            out.uidMax = *value;
    }
    if (out.uidMin > out.uidMax)
        return {};
    return out;
}

LoginDefs LoginDefs::read(const QString& path)
{
    return parse(readCapped(path));
}

} // namespace kivo
