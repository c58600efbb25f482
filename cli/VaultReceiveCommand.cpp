// SPDX-License-Identifier: Apache-2.0
// receive --from-vault: a migration whose source is a snapshot in a vault.
#include "cli/Commands.h"

#include "app/AppState.h"
#include "app/VaultReceiveFlow.h"
#include "cli/LogCommand.h"
#include "cli/Reporter.h"
#include "cli/VaultRun.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/Json.h"

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

int runReceiveFromVault(const ReceiveOptions& o)
{
    VaultOptions vaultOptions;
    vaultOptions.json = o.json;
    vaultOptions.home = o.home;
    VaultRun run(vaultOptions);
    Reporter& out = run.out;
    ReceiveOptions options = o;
    AdaptationOptions adaptation;
    if (const int refused = chooseDestinationAccount(options, out, adaptation))
        return refused;
    AppState state({options.home, {}, {}, 0});
    out.speakFor(state.homeLayout());
    state.setAdaptationOptions(std::move(adaptation));
    state.setPreChangeSnapshots(!o.noVault);
    state.setLogEndpoint(logEndpointFromEnvironment());

    VaultReceiveFlow::Request request;
    request.snapshot = *o.fromVault;
    request.vault = options.vault;
    request.profile = vaultSettingsFrom(state.profileManager()->values());
    request.passwordFile = o.passwordFile;
    if (o.conflictPolicy)
        request.conflictPolicy = conflictPolicyFromString(*o.conflictPolicy);
    VaultReceiveFlow flow(state, std::move(request));
    QObject::connect(&flow, &VaultReceiveFlow::snapshotChosen, &flow, [&out](const VaultSnapshot& s) {
        QStringList categories;
        for (const CategorySnapshot& c : s.categories)
            categories << c.category;
        out.event(u"vaultSnapshot"_s, s.toJson(),
                  u"Receiving snapshot %1 of %2@%3, taken %4 (%5)."_s.arg(s.id, s.username, s.host, json::formatDate(s.time),
                                                                         categories.join(u", "_s)));
    });
    QObject::connect(&flow, &VaultReceiveFlow::vaultProgress, &flow, [&run](const VaultProgress& p) { run.progress(p); });
    renderWarnings(flow, out, o.json);
    renderTransfer(flow, out, u"receive"_s);
    renderAdaptation(state, out);
    return runFlow(flow, out);
}

} // namespace kivo::cli
