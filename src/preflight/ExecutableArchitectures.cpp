// SPDX-License-Identifier: Apache-2.0
#include "preflight/ExecutableArchitectures.h"

#include "platform/FileSystem.h"

#include <QtEndian>

#include <optional>

namespace kivo {

namespace {

constexpr quint32 kFatMagic = 0xcafebabe;
constexpr quint32 kFatMagic64 = 0xcafebabf;
constexpr quint32 kMachMagic = 0xfeedface;
constexpr quint32 kMachMagic64 = 0xfeedfacf;
constexpr quint32 kMaxFatArchitectures = 32; // more is not a universal binary (a Java class shares the magic)

constexpr quint32 kCpuArch64 = 0x01000000;
constexpr quint32 kCpuX86 = 7;
constexpr quint32 kCpuArm = 12;

std::optional<QString> machName(quint32 cpuType)
{
    if (cpuType == kCpuX86)
        return QStringLiteral("i386");
    if (cpuType == (kCpuX86 | kCpuArch64))
        return QStringLiteral("x86_64");
    if (cpuType == (kCpuArm | kCpuArch64))
        return QStringLiteral("arm64");
    return std::nullopt;
}

std::optional<QString> elfName(quint16 machine)
{
    switch (machine) {
    case 3: return QStringLiteral("i386");
    case 62: return QStringLiteral("x86_64");
    case 183: return QStringLiteral("arm64");
    }
    return std::nullopt;
}

quint32 be32(const QByteArray& b, qsizetype at) { return qFromBigEndian<quint32>(b.constData() + at); }
quint32 le32(const QByteArray& b, qsizetype at) { return qFromLittleEndian<quint32>(b.constData() + at); }

void appendOnce(QStringList& out, const std::optional<QString>& name)
{
    if (name && !out.contains(*name))
        out << *name;
}

} // namespace

QStringList architecturesOfHeader(const QByteArray& header)
{
    QStringList out;
    if (header.size() < 8)
        return out;
    if (header.startsWith("\x7f" "ELF")) {
        if (header.size() < 20)
            return out;
        const bool bigEndian = header.at(5) == 2;
        const quint16 machine = bigEndian ? qFromBigEndian<quint16>(header.constData() + 18)
                                          : qFromLittleEndian<quint16>(header.constData() + 18);
        appendOnce(out, elfName(machine));
        return out;
    }
    const quint32 magicBE = be32(header, 0);
    if (magicBE == kFatMagic || magicBE == kFatMagic64) {
        const quint32 count = be32(header, 4);
        const qsizetype entrySize = magicBE == kFatMagic ? 20 : 32;
        if (count == 0 || count > kMaxFatArchitectures)
            return out;
        for (quint32 i = 0; i < count; ++i) {
            const qsizetype at = 8 + qsizetype(i) * entrySize;
            if (at + 4 > header.size())
                break;
            appendOnce(out, machName(be32(header, at)));
        }
        return out;
    }
    if (magicBE == kMachMagic || magicBE == kMachMagic64)
        appendOnce(out, machName(be32(header, 4)));
    else if (const quint32 magicLE = le32(header, 0); magicLE == kMachMagic || magicLE == kMachMagic64)
        appendOnce(out, machName(le32(header, 4)));
    return out;
}

QStringList executableArchitectures(const QString& path)
{
    // Only a regular file is opened: a pipe planted in a bundle would block the read.
    const auto status = fs::status(path, fs::Links::follow);
    if (!status || !status->isRegular())
        return {};
    try {
        const UniqueFd file = fs::openForReading(path);
        QByteArray header(4096, Qt::Uninitialized);
        header.resize(fs::readAt(file, header.data(), header.size(), 0, path));
        return architecturesOfHeader(header);
    } catch (const SystemError&) {
        return {};
    }
}

} // namespace kivo
