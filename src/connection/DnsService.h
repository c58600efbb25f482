// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <dns_sd.h>

#include <memory>

namespace kivo {

// Owns one DNS-SD operation and feeds the daemon's replies into the event loop:
// whenever its socket is readable the pending replies are processed, which
// calls the operation's C callback on this thread.
class DnsService {
public:
    DnsService() = default;
    ~DnsService() { reset(); }
    DnsService(const DnsService&) = delete;
    DnsService& operator=(const DnsService&) = delete;

    // Takes a reference made by one of the DNSService* calls. False (and the
    // reference released) when its socket cannot be watched.
    bool adopt(DNSServiceRef ref);
    void reset();
    bool isActive() const { return m_ref != nullptr; }

    // Stops quietly the avahi compatibility layer's banner on stderr.
    static void silenceCompatibilityWarning();

private:
    DNSServiceRef m_ref = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

QString describeDnsError(DNSServiceErrorType error);
// Why the daemon would not take a browse or a registration, as the user reads it
// after a colon: the daemon's absence (which the client library reports as an
// unknown error) by name, anything else by its code.
QString discoveryProblem(DNSServiceErrorType error);

} // namespace kivo
