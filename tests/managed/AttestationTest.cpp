// SPDX-License-Identifier: Apache-2.0
#include "managed/SourceAttestation.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

// A stand-in for the status tool that prints a recorded output and exits as told.
QString fakeTool(const QTemporaryDir& dir, const QString& name, const QByteArray& output, int exitCode)
{
    const QString path = dir.filePath(name);
    test::writeBytes(path, "#!/bin/sh\n[ \"$*\" = \"status -type enrollment\" ] || exit 64\ncat <<'EOF'\n" + output
                               + "EOF\nexit " + QByteArray::number(exitCode) + "\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    return path;
}

} // namespace

TEST(Attestation, StatusToolOutputs)
{
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("managed-preferences"));
    QDir().mkpath(empty);
    struct Case {
        const char* name;
        QByteArray output;
        int exit;
        AttestationOutcome expected;
    };
    const Case cases[] = {
        {"approved", "Enrolled via DEP: Yes\nMDM enrollment: Yes (User Approved)\nMDM server: https://mdm.example/\n", 0,
         AttestationOutcome::yes()},
        {"plain-yes", "MDM enrollment:   YES\n", 0, AttestationOutcome::yes()},
        {"no", "Enrolled via DEP: No\nMDM enrollment: No\n", 0, AttestationOutcome::no(QStringLiteral("MDM enrollment: No"))},
        {"indented", "  MDM enrollment: Yes\n", 0,
         AttestationOutcome::no(QStringLiteral("profiles(1) reported no MDM enrollment line"))},
        {"silent", "", 0, AttestationOutcome::no(QStringLiteral("profiles(1) reported no MDM enrollment line"))},
        {"failing", "MDM enrollment: Yes\n", 3, AttestationOutcome::no(QStringLiteral("profiles(1) exit 3"))},
        {"garbled", "MDM enrollment: \xff\xfe\n", 0, AttestationOutcome::no(QStringLiteral("profiles(1) output unreadable"))},
    };
    for (const Case& c : cases) {
        const QString tool = fakeTool(dir, QString::fromLatin1(c.name), c.output, c.exit);
        EXPECT_EQ(attestation::attestLocalDevice(empty, tool), c.expected) << c.name;
    }
    EXPECT_FALSE(attestation::attestLocalDevice(empty, dir.filePath(QStringLiteral("absent"))).enrolled);
}

TEST(Attestation, FolderFirstThenNoToolMeansNoIndicators)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("managed-preferences"));
    // No folder and no tool (this system has none).
    EXPECT_EQ(attestation::attestLocalDevice(folder, QString()),
              AttestationOutcome::no(QStringLiteral("No MDM enrollment indicators on this device")));
    QDir().mkpath(folder);
    EXPECT_FALSE(attestation::attestLocalDevice(folder, QString()).enrolled);
    // A populated folder passes without the tool running: this one would say no.
    QFile(folder + QStringLiteral("/com.kivo.config.plist")).open(QIODevice::WriteOnly);
    const QString denying = fakeTool(dir, QStringLiteral("denying"), "MDM enrollment: No\n", 0);
    EXPECT_TRUE(attestation::attestLocalDevice(folder, denying).enrolled);
}
