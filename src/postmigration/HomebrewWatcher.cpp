// SPDX-License-Identifier: Apache-2.0
#include "postmigration/HomebrewWatcher.h"

#include "platform/Logging.h"

#include <QFileInfo>

namespace kivo {

QStringList HomebrewWatcher::defaultCandidatePaths()
{
    return {QStringLiteral("/opt/homebrew/bin/brew"), QStringLiteral("/usr/local/bin/brew"),
            QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew")};
}

HomebrewWatcher::HomebrewWatcher(QStringList candidatePaths, std::chrono::milliseconds pollInterval, QObject* parent)
    : QObject(parent), m_candidates(std::move(candidatePaths))
{
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
}

void HomebrewWatcher::start()
{
    if (!check())
        m_timer.start();
}

std::optional<QString> HomebrewWatcher::check()
{
    for (const QString& path : std::as_const(m_candidates)) {
        const QFileInfo info(path);
        if (!info.isFile() || !info.isExecutable())
            continue;
        if (!m_detected) {
            m_detected = true;
            m_timer.stop();
            qCInfo(lcHomebrewWatcher, "Homebrew detected at %s", qUtf8Printable(path));
            Q_EMIT brewDetected(path);
        }
        return path;
    }
    return std::nullopt;
}

} // namespace kivo
