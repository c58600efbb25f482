// SPDX-License-Identifier: Apache-2.0
#include "vault/ChangeEntries.h"

#include "platform/FileSystem.h"
#include "vault/VaultError.h"

#include <QList>

namespace kivo {

namespace {

constexpr qsizetype kReadBlock = 256 * 1024;
// Longer than any path the system takes: a field past it means damage, not a name.
constexpr qsizetype kMaxField = 64 * 1024;

} // namespace

std::optional<PathState> PathState::of(const QString& path)
{
    const auto st = fs::status(path, fs::Links::dontFollow);
    if (!st)
        return std::nullopt;
    PathState s;
    s.isFolder = st->isDirectory();
    s.size = s.isFolder ? 0 : st->size;
    s.modifiedSecs = st->modifiedSecs;
    s.modifiedNsecs = st->modifiedNsecs;
    s.changedSecs = st->changedSecs;
    s.changedNsecs = st->changedNsecs;
    s.inode = st->inode;
    return s;
}

QByteArray encodeState(bool known, const std::optional<PathState>& state)
{
    if (!known)
        return QByteArrayLiteral("?");
    if (!state)
        return QByteArrayLiteral("-");
    QByteArray out = state->isFolder ? "d" : "f";
    for (const qlonglong v : {qlonglong(state->size), qlonglong(state->modifiedSecs), qlonglong(state->modifiedNsecs),
                              qlonglong(state->changedSecs), qlonglong(state->changedNsecs), qlonglong(state->inode)})
        out += ' ' + QByteArray::number(v);
    return out;
}

bool decodeState(const QByteArray& field, bool* known, std::optional<PathState>* state)
{
    *known = field != "?";
    state->reset();
    if (field == "?" || field == "-")
        return true;
    const QList<QByteArray> parts = field.split(' ');
    if (parts.size() != 7 || (parts[0] != "f" && parts[0] != "d"))
        return false;
    qlonglong v[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        v[i] = parts[i + 1].toLongLong(&ok);
        if (!ok)
            return false;
    }
    PathState s;
    s.isFolder = parts[0] == "d";
    s.size = std::uint64_t(v[0]);
    s.modifiedSecs = v[1];
    s.modifiedNsecs = v[2];
    s.changedSecs = v[3];
    s.changedNsecs = v[4];
    s.inode = std::uint64_t(v[5]);
    *state = s;
    return true;
}

QByteArray encodeEntry(const ChangeEntry& e)
{
    QByteArray out;
    out += char(e.kind);
    out += '\0';
    out += e.category.toUtf8();
    out += '\0';
    out += e.relative.toUtf8();
    out += '\0';
    out += encodeState(true, e.before);
    out += '\0';
    out += encodeState(e.afterKnown, e.after);
    out += '\0';
    return out;
}

ChangeEntryReader::ChangeEntryReader(const QString& path) : m_file(path)
{
    if (!m_file.open(QIODevice::ReadOnly))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString()));
}

std::optional<QByteArray> ChangeEntryReader::field()
{
    for (;;) {
        const qsizetype nul = m_buffer.indexOf('\0', m_position);
        if (nul >= 0) {
            QByteArray out = m_buffer.mid(m_position, nul - m_position);
            m_position = nul + 1;
            return out;
        }
        if (m_buffer.size() - m_position > kMaxField)
            throw VaultError(VaultErrorKind::failed, QStringLiteral("the record %1 is damaged").arg(m_file.fileName()));
        if (m_atEnd) {
            if (m_position < m_buffer.size())
                throw VaultError(VaultErrorKind::failed, QStringLiteral("the record %1 ends short").arg(m_file.fileName()));
            return std::nullopt;
        }
        m_buffer.remove(0, m_position);
        m_position = 0;
        const QByteArray more = m_file.read(kReadBlock);
        if (more.isEmpty())
            m_atEnd = true;
        m_buffer += more;
    }
}

std::optional<ChangeEntry> ChangeEntryReader::next()
{
    std::optional<QByteArray> fields[5];
    for (auto& f : fields) {
        f = field();
        if (!f) {
            if (&f == &fields[0])
                return std::nullopt;
            throw VaultError(VaultErrorKind::failed, QStringLiteral("the record %1 ends short").arg(m_file.fileName()));
        }
    }
    ChangeEntry e;
    const QByteArray& kind = *fields[0];
    const bool kindOk = kind.size() == 1 && QByteArrayView("rcdn").contains(kind[0]);
    bool beforeKnown = false;
    const bool statesOk = decodeState(*fields[3], &beforeKnown, &e.before) && decodeState(*fields[4], &e.afterKnown, &e.after);
    const QString relative = QString::fromUtf8(*fields[2]);
    // A record is ours, but a damaged one must not point a change outside the home.
    const bool pathOk = !relative.isEmpty() && !relative.startsWith(u'/') && !relative.split(u'/').contains(QStringLiteral(".."));
    if (!kindOk || !statesOk || !beforeKnown || !pathOk)
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the record %1 is damaged").arg(m_file.fileName()));
    e.kind = ChangeEntry::Kind(kind[0]);
    e.category = QString::fromUtf8(*fields[1]);
    e.relative = relative;
    return e;
}

void forEachEntry(const QString& path, const std::function<void(const ChangeEntry&)>& visit)
{
    ChangeEntryReader reader(path);
    while (const auto e = reader.next())
        visit(*e);
}

} // namespace kivo
