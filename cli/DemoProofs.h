// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace kivo::cli {

// What the demonstration expects on the destination, from the sample it built.
struct DemoExpectations {
    QString wallpaperUri; // naming the destination's home
    QString theme;
    QByteArray password;
    QByteArray cookie;
    QByteArray appFile; // the source's contents
    QByteArray mailPassword;
};

// What it found there, each looked at on its own, not as the processes reported it.
struct DemoObservations {
    int filesCompared = 0;
    int filesMissing = 0;
    int filesDifferent = 0;
    std::optional<QString> wallpaper; // dconf read through the destination's settings service
    std::optional<QString> theme;
    std::optional<QString> deniedKey;
    bool secretInKeyring = false; // the browser's Safe Storage secret in the destination's keyring
    std::optional<QByteArray> password; // the saved password opened with that secret
    std::optional<QByteArray> cookie;
    std::optional<QByteArray> appFileInFlatpak;
    bool appFileAtPackagePlace = false; // also left where only a package install reads it
    std::optional<QByteArray> mailPassword; // looked up in the destination's keyring
    int processesLeft = 0;
};

struct DemoProof {
    QString category; // a category id, or empty for the demonstration itself
    QString text;
    bool passed = false;
    bool operator==(const DemoProof&) const = default;
};

// One proof per promise the demonstration makes, each passed or not.
QList<DemoProof> judgeDemo(const DemoExpectations& expected, const DemoObservations& seen);

} // namespace kivo::cli
