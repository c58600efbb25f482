// SPDX-License-Identifier: Apache-2.0
#include "connection/DnsService.h"

#include "platform/Logging.h"

namespace kivo {

void DnsService::silenceCompatibilityWarning()
{
    if (!qEnvironmentVariableIsSet("AVAHI_COMPAT_NOWARN"))
        qputenv("AVAHI_COMPAT_NOWARN", "1");
}

bool DnsService::adopt(DNSServiceRef ref)
{
    reset();
    const int fd = DNSServiceRefSockFD(ref);
    if (fd < 0) {
        DNSServiceRefDeallocate(ref);
        return false;
    }
    m_ref = ref;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
        const DNSServiceErrorType error = DNSServiceProcessResult(m_ref);
        if (error != kDNSServiceErr_NoError && m_notifier) {
            // A dead daemon connection would otherwise spin the event loop.
            qCWarning(lcBonjourBrowser).noquote() << "DNS-SD connection failed:" << describeDnsError(error);
            m_notifier->setEnabled(false);
        }
    });
    return true;
}

void DnsService::reset()
{
    m_notifier.reset();
    if (m_ref) {
        DNSServiceRefDeallocate(m_ref);
        m_ref = nullptr;
    }
}

QString describeDnsError(DNSServiceErrorType error)
{
    switch (error) {
    case kDNSServiceErr_NoError: return QStringLiteral("no error");
    case kDNSServiceErr_NameConflict: return QStringLiteral("name conflict");
    case kDNSServiceErr_NoMemory: return QStringLiteral("out of memory");
    case kDNSServiceErr_BadParam: return QStringLiteral("bad parameter");
    case kDNSServiceErr_Unsupported: return QStringLiteral("unsupported");
    case kDNSServiceErr_Unknown: return QStringLiteral("unknown error (is the service discovery daemon running?)");
    default: return QStringLiteral("DNS-SD error %1").arg(error);
    }
}

QString discoveryProblem(DNSServiceErrorType error)
{
    if (error == kDNSServiceErr_Unknown)
        return QStringLiteral("the service discovery daemon (avahi-daemon) is not running");
    return QStringLiteral("service discovery refused the request (%1)").arg(describeDnsError(error));
}

} // namespace kivo
