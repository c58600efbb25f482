// SPDX-License-Identifier: Apache-2.0
// The development-folder probe alone, over a home folder: one JSON line with
// what it found and how long it took.
#include "devtools/EngineeringToolsDetector.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kivo-devfolder-probe HOME\n");
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    const auto folders = kivo::EngineeringToolsDetector::scanDevDirectories(QString::fromLocal8Bit(argv[1]));
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    qint64 files = 0, bytes = 0, repos = 0;
    for (const kivo::DevDirectory& d : folders) {
        files += d.fileCount;
        bytes += qint64(d.totalSize);
        repos += d.gitRepoCount;
    }
    std::printf("{\"files\":%lld,\"bytes\":%lld,\"repos\":%lld,\"seconds\":%.3f}\n", files, bytes, repos, seconds);
    return 0;
}
