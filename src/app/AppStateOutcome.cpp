// SPDX-License-Identifier: Apache-2.0
// How a transfer ended, as the complete screen and the log tell it: the summary
// with the categories that failed as a whole, and who the other computer was.
#include "app/AppState.h"

#include "categories/HomeLayout.h"
#include "connection/ConnectionManager.h"
#include "transfer/TransferEngine.h"

#include <algorithm>

namespace kivo {

namespace {

// Named as the source's layout names it: the manifest says which it is.
QString categoryNameAsSent(const TransferEngine* engine, HomeLayoutKind fallback, const QString& id)
{
    const bool known = engine && engine->manifest();
    return HomeLayout::of(known ? layoutOfManifestField(engine->manifest()->layout) : fallback).displayNameFor(id);
}

} // namespace

void AppState::watchImportFailures(TransferEngine& engine)
{
    m_importFailures.clear();
    TransferEngine* built = &engine;
    connect(built, &TransferEngine::categoryImportFailed, this,
            [this, built](const QString& id, const QString& error, bool serviceUnavailable) {
                // A retired engine still unwinding reports to no session.
                if (built != m_transferEngine.get())
                    return;
                // The engine has just failed each file that had arrived, with the import's own words.
                const QList<FileError>& errors = built->progress()->fileErrors();
                const int arrived = int(std::count_if(errors.begin(), errors.end(), [&](const FileError& e) {
                    return e.categoryID == id && e.error == error;
                }));
                m_importFailures.insert(id, {id, categoryNameAsSent(built, m_layout, id), error, serviceUnavailable, arrived});
            });
}

QList<CategoryFailure> AppState::categoryFailures() const
{
    if (!m_deviceRole)
        return {};
    if (*m_deviceRole == DeviceRole::destination)
        return m_importFailures.values();
    // The destination answers verification for an export it could not import as not arrived:
    // that is all a source learns, and all it can say.
    const QString keychain = QStringLiteral("keychain");
    const QString name = categoryNameAsSent(m_transferEngine.get(), m_layout, keychain);
    return {{keychain, name,
             QStringLiteral("The other computer could not import %1; it says why there. Once that is fixed, "
                            "migrate again on both computers.")
                 .arg(name),
             false}};
}

TransferSummary AppState::currentSummary() const
{
    if (m_transferSummary)
        return *m_transferSummary;
    static const std::optional<TransferManifest> kNone;
    const std::optional<TransferManifest>& manifest = m_transferEngine ? m_transferEngine->manifest() : kNone;
    TransferSummary summary = TransferSummary::of(m_deviceRole.value_or(DeviceRole::source), *m_transferProgress, manifest);
    if (manifest)
        summary.takeCategoryFailures(*manifest, categoryFailures());
    return summary;
}

QString AppState::peerName() const
{
    const ConnectionManager& connection = *m_connectionManager;
    if (m_deviceRole == DeviceRole::source) {
        if (const auto& identity = connection.destinationIdentity())
            return identity->hostname;
        // A destination that does not name itself is known by its address.
        if (!connection.peerAddress().isEmpty())
            return connection.peerAddress();
    } else if (m_selectedPeer && !m_selectedPeer->advertised && connection.sourceIdentity()) {
        // Reached by address: the source said who it is while it proved the code.
        return connection.sourceIdentity()->hostname;
    }
    // Otherwise the peer the session was given (the source listed, or one named for the screens).
    return m_selectedPeer ? m_selectedPeer->hostname : QStringLiteral("Unknown");
}

} // namespace kivo
