// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

namespace kivo {

// Notices the package manager's `brew` appearing, once.
class HomebrewWatcher : public QObject {
    Q_OBJECT
public:
    static QStringList defaultCandidatePaths();

    explicit HomebrewWatcher(QStringList candidatePaths = defaultCandidatePaths(),
                             std::chrono::milliseconds pollInterval = std::chrono::seconds(15), QObject* parent = nullptr);

    void start();
    // The first candidate that is an executable file; reports it the first time.
    std::optional<QString> check();
    bool detected() const { return m_detected; }

Q_SIGNALS:
    void brewDetected(QString path);

private:
    QStringList m_candidates;
    QTimer m_timer;
    bool m_detected = false;
};

} // namespace kivo
