// SPDX-License-Identifier: Apache-2.0
#include "app/DemoPeer.h"

#include "platform/Logging.h"

#include <QJsonDocument>

namespace kivo {

namespace {
// A child's stdout line is one small JSON event; anything longer is not ours.
constexpr qsizetype kMaxLine = 64 * 1024;
} // namespace

DemoPeer::DemoPeer(QString program, QStringList arguments, QObject* parent)
    : QObject(parent), m_program(std::move(program)), m_arguments(std::move(arguments))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_pending += m_process.readAllStandardOutput();
        qsizetype newline;
        while ((newline = m_pending.indexOf('\n')) >= 0) {
            const QJsonObject event = QJsonDocument::fromJson(m_pending.left(newline)).object();
            m_pending.remove(0, newline + 1);
            if (event.value(QStringLiteral("event")).toString() == QLatin1String("advertising") && m_advertisement.isEmpty()) {
                m_advertisement = event;
                Q_EMIT advertising(event);
            }
        }
        if (m_pending.size() > kMaxLine)
            m_pending.clear();
    });
    connect(&m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus) { Q_EMIT finished(code); });
}

DemoPeer::~DemoPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void DemoPeer::start()
{
    qCInfo(lcApp).noquote() << "Demo peer:" << m_program << m_arguments.join(u' ');
    m_process.start(m_program, m_arguments);
}

} // namespace kivo
