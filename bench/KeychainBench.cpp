// SPDX-License-Identifier: Apache-2.0
// Keychain export and import against the keyring on this process's session bus.
//   kivo-keychain-bench fill N            stores N generic items
//   kivo-keychain-bench export FILE       seals the whole keychain into FILE; one JSON line
//   kivo-keychain-bench import FILE       imports FILE into the default collection; one JSON line
#include "categories/KeychainHandler.h"
#include "platform/SecretService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

using namespace kivo;

namespace {
const QByteArray kKey(32, 'b'); // a fixed key: both runs of the benchmark share it
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2)
        return 2;
    try {
        QElapsedTimer timer;
        if (args[0] == QLatin1String("fill")) {
            secrets::Keychain keychain;
            for (int i = 0, n = args[1].toInt(); i < n; ++i)
                keychain.store({{{QStringLiteral("service"), QStringLiteral("bench")}, {QStringLiteral("account"), QString::number(i)}},
                                QStringLiteral("Bench item %1").arg(i), QByteArray(64, 's'), QStringLiteral("text/plain"), {}});
            return 0;
        }
        if (args[0] == QLatin1String("export")) {
            timer.start();
            const QByteArray sealed = KeychainHandler::sealedExport(kKey);
            QFile out(args[1]);
            if (!out.open(QIODevice::WriteOnly) || out.write(sealed) != sealed.size())
                return 1;
            std::printf("{\"case\":\"keychain-export-seal\",\"bytes\":%lld,\"seconds\":%.3f}\n", qlonglong(sealed.size()),
                        timer.nsecsElapsed() / 1e9);
            return 0;
        }
        if (args[0] == QLatin1String("import")) {
            timer.start();
            const auto counts = KeychainHandler::importExport(args[1], kKey);
            std::printf("{\"case\":\"keychain-import\",\"imported\":%d,\"updated\":%d,\"failed\":%d,\"seconds\":%.3f}\n",
                        counts.imported, counts.updated, counts.failed, timer.nsecsElapsed() / 1e9);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 2;
}
