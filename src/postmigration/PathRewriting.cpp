// SPDX-License-Identifier: Apache-2.0
#include "postmigration/PathRewriting.h"

#include "platform/FileReplacement.h"
#include "platform/PropertyList.h"

#include <QLoggingCategory>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string.h>

#include "platform/Logging.h"

namespace kivo {
namespace {

constexpr qsizetype kPiece = 1 << 20;

const char* find(const char* from, const char* end, const QByteArray& pattern)
{
    return static_cast<const char*>(::memmem(from, static_cast<size_t>(end - from), pattern.constData(),
                                             static_cast<size_t>(pattern.size())));
}

} // namespace

QJsonObject PathRewriteLog::toJson() const
{
    QJsonObject o{{QStringLiteral("filePath"), filePath},
                  {QStringLiteral("originalValue"), originalValue},
                  {QStringLiteral("rewrittenValue"), rewrittenValue}};
    if (key)
        o.insert(QStringLiteral("key"), *key);
    return o;
}

bool Utf8Validator::feed(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (m_valid && p < end) {
        if (m_need == 0) {
            // Plain ASCII, eight bytes at a time.
            while (end - p >= 8) {
                std::uint64_t word;
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ULL)
                    break;
                p += 8;
            }
            if (p == end)
                break;
            const unsigned char b = *p++;
            if (b < 0x80)
                continue;
            m_low = 0x80;
            m_high = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                m_need = 1;
            } else if (b == 0xE0) {
                m_need = 2, m_low = 0xA0;
            } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
                m_need = 2;
            } else if (b == 0xED) {
                m_need = 2, m_high = 0x9F;
            } else if (b == 0xF0) {
                m_need = 3, m_low = 0x90;
            } else if (b >= 0xF1 && b <= 0xF3) {
                m_need = 3;
            } else if (b == 0xF4) {
                m_need = 3, m_high = 0x8F;
            } else {
                m_valid = false;
            }
        } else {
            const unsigned char b = *p++;
            if (b < m_low || b > m_high)
                m_valid = false;
            m_low = 0x80;
            m_high = 0xBF;
            --m_need;
        }
    }
    return m_valid;
}

void StreamReplacer::feed(QByteArrayView in, QByteArray& out, bool last)
{
    QByteArray joined;
    QByteArrayView buffer = in;
    if (!m_carry.isEmpty()) {
        joined = m_carry + in.toByteArray();
        buffer = joined;
        m_carry.clear();
    }
    const char* begin = buffer.data();
    const char* end = begin + buffer.size();
    const char* at = begin;
    if (!m_pattern.isEmpty()) {
        while (const char* hit = find(at, end, m_pattern)) {
            out.append(at, hit - at);
            out.append(m_replacement);
            ++m_count;
            at = hit + m_pattern.size();
        }
    }
    // The tail could be the start of a pattern the next piece completes.
    const char* settled = last ? end : std::max(at, end - (m_pattern.size() - 1));
    out.append(at, settled - at);
    m_carry = QByteArray(settled, end - settled);
}

namespace {

// The first pass over a file: is it UTF-8 text, and does any pattern occur?
struct TextScan {
    bool text = false;
    bool found = false;
    int pieces = 0;
    std::int64_t firstLength = 0; // a file of one piece stays in the buffer for the second pass
};

TextScan scanText(FileReplacement& file, QByteArray& piece, const QList<QByteArray>& patterns)
{
    TextScan scan;
    Utf8Validator utf8;
    qsizetype longest = 0;
    for (const QByteArray& p : patterns)
        longest = std::max(longest, p.size());
    auto anyIn = [&](QByteArrayView bytes) {
        return std::any_of(patterns.begin(), patterns.end(), [&](const QByteArray& p) { return !p.isEmpty() && bytes.contains(p); });
    };
    QByteArray tail;
    for (;;) {
        const std::int64_t n = file.read(piece.data(), piece.size());
        if (n == 0)
            break;
        if (scan.pieces++ == 0)
            scan.firstLength = n;
        const QByteArrayView bytes(piece.constData(), n);
        if (!utf8.feed(bytes))
            return scan;
        if (!scan.found) {
            // Within this piece, or across the boundary with the previous one.
            scan.found = anyIn(bytes)
                || (!tail.isEmpty() && anyIn(tail + bytes.first(std::min<qsizetype>(n, longest - 1)).toByteArray()));
            tail = bytes.last(std::min<qsizetype>(n, longest - 1)).toByteArray();
        }
    }
    scan.text = utf8.finish();
    return scan;
}

// A replacement may bring in a later rule's pattern.
bool replacementBringsPattern(const QList<PathRewriteRule>& rules, const QList<QByteArray>& patterns)
{
    for (qsizetype i = 0; i < rules.size(); ++i)
        for (qsizetype j = i + 1; j < rules.size(); ++j)
            if (!patterns[j].isEmpty() && rules[i].replacement.toUtf8().contains(patterns[j]))
                return true;
    return false;
}

// The second pass: every piece through each rule in order, into the replacement file.
void rewriteStream(FileReplacement& file, QByteArray& piece, const TextScan& scan,
                   std::vector<std::unique_ptr<StreamReplacer>>& chain)
{
    const bool kept = scan.pieces == 1;
    if (!kept)
        file.rewind();
    QByteArray a, b;
    bool last = false;
    while (!last) {
        const std::int64_t n = kept ? scan.firstLength : file.read(piece.data(), piece.size());
        last = kept || n == 0;
        QByteArrayView input(piece.constData(), n);
        for (auto& stage : chain) {
            a.clear();
            stage->feed(input, a, last);
            std::swap(a, b);
            input = b;
        }
        file.write(input);
    }
}

} // namespace

QList<PathRewriteLog> rewriteTextFile(const QString& homeFolder, const QString& path,
                                      const QList<PathRewriteRule>& rules)
{
    QList<PathRewriteLog> logs;
    if (rules.isEmpty())
        return logs;
    QList<QByteArray> patterns;
    for (const PathRewriteRule& r : rules)
        patterns.append(r.pattern.toUtf8());
    try {
        FileReplacement file(homeFolder, path);
        // A small file is read once and kept for the second pass.
        QByteArray piece(qsizetype(std::clamp<std::uint64_t>(file.size() + 1, 4096, kPiece)), Qt::Uninitialized);
        // Most files have nothing to change: they are read once and left alone.
        const TextScan scan = scanText(file, piece, patterns);
        if (!scan.text || (!scan.found && !replacementBringsPattern(rules, patterns)))
            return logs;
        std::vector<std::unique_ptr<StreamReplacer>> chain;
        for (qsizetype i = 0; i < rules.size(); ++i)
            chain.push_back(std::make_unique<StreamReplacer>(patterns[i], rules[i].replacement.toUtf8()));
        rewriteStream(file, piece, scan, chain);
        file.commit();
        for (qsizetype i = 0; i < rules.size(); ++i) {
            if (chain[i]->replacements() > 0 && rules[i].pattern != rules[i].replacement)
                logs.append({path, rules[i].pattern, rules[i].replacement, std::nullopt});
        }
    } catch (const std::exception& e) {
        qCWarning(lcUserMapper).noquote() << "Could not rewrite" << path << e.what();
        logs.clear();
    }
    return logs;
}

bool rewritePlistValue(QVariant& value, const QString& path, const QList<PathRewriteRule>& rules,
                       QList<PathRewriteLog>& logs, const std::optional<QString>& key)
{
    switch (value.typeId()) {
    case QMetaType::QString: {
        if (rules.isEmpty())
            return false;
        const QString found = value.toString();
        QString current = found;
        bool changed = false;
        for (const PathRewriteRule& rule : rules) {
            if (rule.pattern.isEmpty() || !current.contains(rule.pattern))
                continue;
            current.replace(rule.pattern, rule.replacement);
            logs.append({path, found, current, key});
            changed = true;
        }
        if (changed)
            value = current;
        return changed;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        bool changed = false;
        for (auto it = map.begin(); it != map.end(); ++it)
            changed = rewritePlistValue(it.value(), path, rules, logs, it.key()) || changed;
        if (changed)
            value = map;
        return changed;
    }
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        bool changed = false;
        for (QVariant& element : list)
            changed = rewritePlistValue(element, path, rules, logs, key) || changed;
        if (changed)
            value = list;
        return changed;
    }
    default:
        return false;
    }
}

QList<PathRewriteLog> rewritePlistFile(const QString& homeFolder, const QString& path,
                                       const QList<PathRewriteRule>& rules)
{
    QList<PathRewriteLog> logs;
    if (rules.isEmpty())
        return logs;
    try {
        FileReplacement file(homeFolder, path);
        if (file.size() > std::uint64_t(plist::maxDocumentBytes))
            return logs;
        QByteArray bytes(qsizetype(file.size()), Qt::Uninitialized);
        qsizetype have = 0;
        while (have < bytes.size()) {
            const std::int64_t n = file.read(bytes.data() + have, bytes.size() - have);
            if (n == 0)
                break;
            have += n;
        }
        bytes.truncate(have);
        std::optional<plist::Document> doc = plist::parse(bytes);
        if (!doc)
            return logs;
        if (!rewritePlistValue(doc->root, path, rules, logs, std::nullopt))
            return logs;
        const QByteArray out = plist::serialize(doc->root, doc->format);
        if (out.isEmpty())
            return {};
        file.write(out);
        file.commit();
    } catch (const std::exception& e) {
        qCWarning(lcUserMapper).noquote() << "Could not rewrite" << path << e.what();
        logs.clear();
    }
    return logs;
}

namespace {

constexpr qsizetype kMaxSettingsBytes = 16 * 1024 * 1024;

// Where a home folder path may begin and end: anything else continues a name.
bool opensPath(QStringView text, qsizetype at)
{
    if (at == 0 || text.left(at).endsWith(u"file://"))
        return true;
    const QChar before = text[at - 1];
    return before.isSpace() || QStringView(u"'\":;=,([{<|&").contains(before);
}

bool closesPath(QStringView text, qsizetype end)
{
    if (end == text.size())
        return true;
    const QChar next = text[end];
    return next.isSpace() || QStringView(u"/'\":;,?#)]}>|&=").contains(next);
}

int replaceWholePaths(QString& text, const QString& from, const QString& to)
{
    int count = 0;
    qsizetype at = 0;
    while (!from.isEmpty() && (at = text.indexOf(from, at)) >= 0) {
        if (opensPath(text, at) && closesPath(text, at + from.size())) {
            text.replace(at, from.size(), to);
            at += to.size();
            ++count;
        } else {
            ++at;
        }
    }
    return count;
}

// The end of a URI that starts at `at`: the first space or quote.
qsizetype uriEnd(QStringView text, qsizetype at)
{
    while (at < text.size() && !text[at].isSpace() && text[at] != u'\'' && text[at] != u'"')
        ++at;
    return at;
}

} // namespace

QString percentEncodedPath(const QString& path)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(path, QByteArrayLiteral("/!$&'()*+,;=:@")));
}

int rewriteHomePath(QString& text, const QString& from, const QString& to)
{
    if (from.isEmpty() || from == to)
        return 0;
    const QString encodedFrom = percentEncodedPath(from), encodedTo = percentEncodedPath(to);
    // Inside file:// URIs the encoded spelling, elsewhere the plain one.
    QString out;
    int count = 0;
    qsizetype done = 0;
    while (done < text.size()) {
        const qsizetype uri = text.indexOf(u"file://", done);
        QString plain = text.mid(done, (uri < 0 ? text.size() : uri) - done);
        count += replaceWholePaths(plain, from, to);
        out += plain;
        if (uri < 0)
            break;
        const qsizetype end = uriEnd(text, uri);
        QString encoded = text.mid(uri, end - uri);
        count += replaceWholePaths(encoded, encodedFrom, encodedTo);
        out += encoded;
        done = end;
    }
    if (count > 0)
        text = out;
    return count;
}

namespace {

// Applies one rule inside every quoted string of a typed value; true when it changed.
bool rewriteQuotedStrings(QString& value, const PathRewriteRule& rule)
{
    QString out;
    bool changed = false;
    qsizetype i = 0;
    while (i < value.size()) {
        const QChar quote = value[i];
        out += quote;
        ++i;
        if (quote != u'\'' && quote != u'"')
            continue;
        const qsizetype start = i;
        while (i < value.size() && value[i] != quote)
            i += value[i] == u'\\' ? 2 : 1;
        i = std::min(i, value.size());
        QString inner = value.mid(start, i - start);
        changed = rewriteHomePath(inner, rule.pattern, rule.replacement) > 0 || changed;
        out += inner;
        if (i < value.size())
            out += value[i++];
    }
    if (changed)
        value = out;
    return changed;
}

} // namespace

QString rewriteSettingsText(const QString& text, const QString& filePath, const QList<PathRewriteRule>& rules,
                            QList<PathRewriteLog>& logs)
{
    QStringList lines = text.split(u'\n');
    QString section;
    for (QString& line : lines) {
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0 || line.startsWith(u'#'))
            continue;
        const QString key = section + u'/' + line.left(equals);
        QString value = line.mid(equals + 1);
        for (const PathRewriteRule& rule : rules) {
            const QString before = value;
            if (rewriteQuotedStrings(value, rule))
                logs.append({filePath, before, value, key});
        }
        line = line.left(equals + 1) + value;
    }
    return lines.join(u'\n');
}

QList<PathRewriteLog> rewriteSettingsFile(const QString& homeFolder, const QString& path,
                                          const QList<PathRewriteRule>& rules)
{
    QList<PathRewriteLog> logs;
    if (rules.isEmpty())
        return logs;
    try {
        FileReplacement file(homeFolder, path);
        if (file.size() > std::uint64_t(kMaxSettingsBytes))
            return logs;
        QByteArray bytes(qsizetype(file.size()), Qt::Uninitialized);
        qsizetype have = 0;
        while (have < bytes.size()) {
            const std::int64_t n = file.read(bytes.data() + have, bytes.size() - have);
            if (n == 0)
                break;
            have += n;
        }
        bytes.truncate(have);
        Utf8Validator utf8;
        if (!utf8.feed(bytes) || !utf8.finish())
            return logs;
        const QString rewritten = rewriteSettingsText(QString::fromUtf8(bytes), path, rules, logs);
        if (logs.isEmpty())
            return logs;
        file.write(rewritten.toUtf8());
        file.commit();
    } catch (const std::exception& e) {
        qCWarning(lcUserMapper).noquote() << "Could not rewrite" << path << e.what();
        logs.clear();
    }
    return logs;
}

} // namespace kivo
