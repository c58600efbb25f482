// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// The systemd unit that runs kivo-helper. The package ships the same template
// rendered for its own paths, so `helper install` and the package never differ
// in how the helper is confined.
class HelperServiceUnit {
public:
    static QString fileName() { return QStringLiteral("kivo-helper.service"); }

    // The unit for this helper; a socket other than the default goes on its command line.
    static QString text(const QString& helperExecutable, const QString& socketPath = {});
    // One word of an ExecStart= line, quoted and escaped as systemd reads it back.
    static QString execWord(const QString& word);

    // Where a front end installed in `programDir` finds the helper: the
    // installed layout's sbin, then beside it, then the build tree's folder.
    static QStringList helperCandidates(const QString& programDir);
    // The first candidate that is an executable file, canonical; empty when none is.
    static QString findHelper(const QString& programDir);

    // The unit a package installed, if any of `unitDirs` has one.
    static std::optional<QString> packagedUnit(const QStringList& unitDirs = systemUnitDirs());
    static QStringList systemUnitDirs();

    struct Request {
        QString helperExecutable;
        QString socketPath;          // empty: the default
        QString unitDir;             // where a unit is written when none is packaged
        bool start = true;           // enable and start, beside reloading
        std::optional<QString> packagedUnit;
        bool systemdRunning = false;
    };
    struct Step {
        enum class Kind { writeUnit, systemctl };
        Kind kind;
        QString path;          // writeUnit: the unit file
        QString contents;      // writeUnit: its text
        QStringList arguments; // systemctl: its arguments
    };
    struct Plan {
        QList<Step> steps;
        QString unitPath;      // the unit that runs the helper afterwards
        bool writes = false;
        QString problem;       // set when nothing may be done
    };
    // What installing means here: a packaged unit is only enabled and started;
    // otherwise one is written, then loaded and started where systemd runs.
    static Plan plan(const Request& request);
};

} // namespace kivo
