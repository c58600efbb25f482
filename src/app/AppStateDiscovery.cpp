// SPDX-License-Identifier: Apache-2.0
// When service discovery does not work: what the screens say, and connecting by address.
#include "app/AppState.h"

#include "connection/ConnectionManager.h"
#include "platform/NetworkInterfaces.h"
#include "platform/Observable.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace kivo {

namespace {

constexpr char kAddressExample[] = "like 192.168.1.20:47011";

bool isHostName(const QString& text)
{
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    return text.size() <= 253 && name.match(text).hasMatch();
}

} // namespace

void AppState::forwardDiscoverySignals()
{
    ConnectionManager* cm = m_connectionManager.get();
    for (auto changed : {&ConnectionManager::discoveryFailureChanged, &ConnectionManager::listeningPortChanged})
        connect(cm, changed, this, &AppState::discoveryNoticeChanged);
    connect(this, &AppState::deviceRoleChanged, this, &AppState::discoveryNoticeChanged);
    connect(this, &AppState::demoModeChanged, this, &AppState::discoveryNoticeChanged);
    // A refused address belongs to the visit of the screen it was typed on.
    connect(this, &AppState::currentStepChanged, this,
            [this] { assignAndNotify(this, m_addressErrorText, QString(), &AppState::addressErrorTextChanged); });
}

QString AppState::discoveryNotice() const
{
    const ConnectionManager* cm = m_connectionManager.get();
    const std::optional<QString>& failure = cm->discoveryFailure();
    if (!failure || !m_deviceRole || m_demoMode)
        return {};
    if (*m_deviceRole == DeviceRole::destination)
        return say(QStringLiteral("Cannot look for the source Mac on the network: %1. Connect to it by address instead."))
            .arg(*failure);
    const QString unfindable = QStringLiteral("This computer cannot be found on the network: %1.").arg(*failure);
    const quint16 port = cm->listeningPort();
    if (port == 0) // not listening either: there is no address to give
        return unfindable;
    // The same addresses kivo-cli send names, in the same order.
    const QStringList addresses = directAddresses(netif::systemInterfaceAddresses(), port);
    QString where = QStringLiteral("ADDRESS:%1").arg(port);
    if (!addresses.isEmpty())
        where = addresses.first()
                + (addresses.size() > 1 ? QStringLiteral(" (or %1)").arg(addresses.mid(1).join(QStringLiteral(", "))) : QString());
    return unfindable + u' ' + say(QStringLiteral("On the destination Mac, connect by address instead: %1")).arg(where);
}

std::variant<PeerEndpoint, QString> AppState::endpointFromText(const QString& typed)
{
    const QString text = typed.trimmed();
    const QString example = QString::fromLatin1(kAddressExample);
    if (text.isEmpty())
        return QStringLiteral("Enter the address and port the source Mac shows, %1.").arg(example);
    QString host;
    QString portText;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || QHostAddress(text.mid(1, close - 1)).protocol() != QAbstractSocket::IPv6Protocol)
            return QStringLiteral("\"%1\" is not an address: write an IPv6 address in brackets, like [2001:db8::20]:47011.")
                .arg(text);
        if (text.mid(close + 1, 1) != QLatin1String(":"))
            return QStringLiteral("Add the port after the address, like [2001:db8::20]:47011.");
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon < 0)
            return QStringLiteral("Add the port after the address, %1.").arg(example);
        host = text.left(colon);
        portText = text.mid(colon + 1);
        // An IPv6 address has colons of its own: only brackets tell where the port starts.
        if (host.contains(u':'))
            return QStringLiteral("\"%1\" is not an address: write an IPv6 address in brackets, like [2001:db8::20]:47011.")
                .arg(text);
        if (host.isEmpty() || (QHostAddress(host).isNull() && !isHostName(host)))
            return QStringLiteral("\"%1\" is not an address or a computer name, %2.").arg(host.isEmpty() ? text : host, example);
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return QStringLiteral("The port is a number from 1 to 65535, not \"%1\".").arg(portText);
    PeerEndpoint endpoint;
    endpoint.host = host;
    endpoint.port = quint16(port);
    return endpoint;
}

bool AppState::connectToAddress(const QString& text)
{
    const std::variant<PeerEndpoint, QString> parsed = endpointFromText(text);
    if (const QString* why = std::get_if<QString>(&parsed)) {
        assignAndNotify(this, m_addressErrorText, say(*why), &AppState::addressErrorTextChanged);
        return false;
    }
    assignAndNotify(this, m_addressErrorText, QString(), &AppState::addressErrorTextChanged);
    const PeerEndpoint& endpoint = std::get<PeerEndpoint>(parsed);
    // Listed like a --connect peer: back from pairing, it is there to choose again.
    const DiscoveredPeer peer = peerForAddress(endpoint.host, endpoint.port, std::nullopt);
    addDirectPeer(peer);
    setConnectionErrorText({});
    setPairingErrorText({});
    selectPeer(peer);
    return true;
}

} // namespace kivo
