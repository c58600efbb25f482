// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <memory>

namespace kivo {
class AppState;
class TransferProgress;
}

namespace kivo::gui {

// The transfer's figures as the screens show them. The engine runs on the GUI
// thread and changes its record per chunk; redrawing on each change would eat
// the frames, so figures are published at most four times a second, and at
// once when the phase changes.
class ProgressFeed : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString phase READ phase NOTIFY published)
    Q_PROPERTY(double fraction READ fraction NOTIFY published)
    Q_PROPERTY(QString transferredText READ transferredText NOTIFY published)
    Q_PROPERTY(QString filesText READ filesText NOTIFY published)
    Q_PROPERTY(QString speedText READ speedText NOTIFY published)
    Q_PROPERTY(QString remainingText READ remainingText NOTIFY published)
    Q_PROPERTY(QString currentFile READ currentFile NOTIFY published)
    Q_PROPERTY(int fileErrorCount READ fileErrorCount NOTIFY published)
    Q_PROPERTY(int publishCount READ publishCount NOTIFY published)
    Q_PROPERTY(bool cancelAvailable READ cancelAvailable NOTIFY cancelAvailableChanged)
    Q_PROPERTY(QVariantMap summary READ summary NOTIFY published)
public:
    static constexpr std::chrono::milliseconds kMinInterval{250};
    static constexpr std::chrono::milliseconds kCancelDelay{30000};

    ProgressFeed(AppState* state, std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~ProgressFeed() override;

    QString phase() const { return m_phase; }
    double fraction() const { return m_fraction; }
    QString transferredText() const { return m_transferredText; }
    QString filesText() const { return m_filesText; }
    QString speedText() const { return m_speedText; }
    QString remainingText() const { return m_remainingText; }
    QString currentFile() const { return m_currentFile; }
    int fileErrorCount() const { return m_fileErrorCount; }
    int publishCount() const { return m_publishCount; }
    bool cancelAvailable() const { return m_cancelAvailable; }
    QVariantMap summary() const { return m_summary; }

    // The progress screen appeared: the cancel control follows after a while.
    Q_INVOKABLE void screenShown();
    Q_INVOKABLE void screenHidden();

    // "waiting", "transferring", "verifying" or "finished", from a record.
    static QString phaseOf(const TransferProgress& progress);
    // "Calculating…" until an estimate exists.
    static QString remainingTextOf(std::optional<double> seconds);
    static QString durationTextOf(double seconds);

Q_SIGNALS:
    void published();
    void cancelAvailableChanged();

private:
    void follow(TransferProgress* progress);
    void changed();
    void publish();
    QVariantMap makeSummary() const;

    QPointer<AppState> m_state;
    std::shared_ptr<Clock> m_clock;
    QPointer<TransferProgress> m_progress;
    QMetaObject::Connection m_progressConnection;
    std::unique_ptr<QObject> m_pending;
    std::unique_ptr<QObject> m_cancelTimer;
    std::chrono::nanoseconds m_lastPublish{};
    bool m_everPublished = false;

    QString m_phase = QStringLiteral("waiting");
    double m_fraction = 0;
    QString m_transferredText;
    QString m_filesText;
    QString m_speedText;
    QString m_remainingText;
    QString m_currentFile;
    int m_fileErrorCount = 0;
    int m_publishCount = 0;
    bool m_cancelAvailable = false;
    QVariantMap m_summary;
};

} // namespace kivo::gui
