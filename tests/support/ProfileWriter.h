// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

namespace kivo::test {

// A configuration profile written by an independent writer: Python's plistlib, from JSON.
inline QString writeProfile(const QString& path, const QJsonObject& keys, bool binary = false)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import json,plistlib,sys; open(sys.argv[1],'wb').write(plistlib.dumps(json.loads(sys.argv[2]),"
                                 "fmt=plistlib.FMT_%1))")
                      .arg(binary ? QStringLiteral("BINARY") : QStringLiteral("XML")),
                  path, QString::fromUtf8(QJsonDocument(keys).toJson(QJsonDocument::Compact))});
    python.waitForFinished(30000);
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().constData();
    return path;
}

} // namespace kivo::test
