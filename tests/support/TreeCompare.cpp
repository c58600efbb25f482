// SPDX-License-Identifier: Apache-2.0
#include "support/TreeCompare.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <map>

namespace kivo::test {

namespace {

// Relative path -> (content hash, permission bits) of every file below root.
std::map<QString, QPair<QByteArray, int>> treeOf(const QString& root)
{
    std::map<QString, QPair<QByteArray, int>> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QStringLiteral("/.local/share/kivo/")))
            continue;
        QFile f(path);
        QCryptographicHash h(QCryptographicHash::Sha256);
        if (f.open(QIODevice::ReadOnly))
            h.addData(&f);
        out[path.mid(root.size())] = {h.result(), int(f.permissions())};
    }
    return out;
}

} // namespace

QStringList treeDifferences(const QString& expectedRoot, const QString& actualRoot)
{
    const auto expected = treeOf(expectedRoot);
    const auto actual = treeOf(actualRoot);
    QStringList out;
    for (const auto& [path, print] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end())
            out << QStringLiteral("missing ") + path;
        else if (it->second != print)
            out << QStringLiteral("different ") + path;
    }
    for (const auto& entry : actual)
        if (!expected.count(entry.first))
            out << QStringLiteral("extra ") + entry.first;
    return out;
}

} // namespace kivo::test
