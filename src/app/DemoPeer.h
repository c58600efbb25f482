// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QStringList>

namespace kivo {

// The other machine of a demonstration: a kivo-cli child on loopback, stopped
// when this goes. Its --json events arrive as signals.
class DemoPeer : public QObject {
    Q_OBJECT
public:
    DemoPeer(QString program, QStringList arguments, QObject* parent = nullptr);
    ~DemoPeer() override;

    void start();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    const QJsonObject& advertisement() const { return m_advertisement; }

Q_SIGNALS:
    // The sending child is waiting: its "advertising" event (port, code).
    void advertising(QJsonObject event);
    void finished(int exitCode);

private:
    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
    QByteArray m_pending;
    QJsonObject m_advertisement;
};

} // namespace kivo
