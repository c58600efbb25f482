// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "app/DemoData.h"
#include "app/ManagedModeCoordinator.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

// An unattended source reports what its pre-flight scan found before it
// sends: one "managed.preflight_scanned" with the report's figures.
TEST(ManagedSource, PostsWhatItsPreflightScanFound)
{
    QTemporaryDir work;
    const QString source = work.filePath(u"source"_s);
    DemoData::buildSampleHome(source, 10, 2);
    const QString secret = u"correct horse battery staple"_s;

    AppState sourceState({source, u"old-box"_s, u"ann"_s, 0, nullptr, work.filePath(u"no-profile.plist"_s)});
    ManagedDeploymentConfig config;
    config.deploymentMode = DeploymentMode::managed;
    config.deploymentRole = DeploymentRole::source;
    config.userPrincipal = u"ann@acme.example"_s;
    config.pairingSecret = secret;
    config.migrationCategories = {u"userFiles"_s};
    QList<std::pair<QString, QMap<QString, QString>>> posted;
    ManagedModeCoordinator::Options options;
    options.postEvent = [&posted](QString name, QMap<QString, QString> details) { posted.append({name, details}); };
    options.sourceMustBeFound = false; // reached by address below, whether or not service discovery runs here
    ManagedModeCoordinator coordinator(config, sourceState, options);

    AppState destinationState({work.filePath(u"destination"_s), u"new-box"_s, {}, 0, nullptr, work.filePath(u"no-profile.plist"_s)});
    destinationState.connectionManager()->setPairingSecret(secret);
    std::unique_ptr<ReceiveFlow> receive;
    std::optional<QCoro::Task<FlowExit>> receiving;
    QObject::connect(&coordinator, &ManagedModeCoordinator::flowStarted, [&](MigrationFlow* flow) {
        QObject::connect(static_cast<SendFlow*>(flow), &SendFlow::advertising, [&](const Advertisement& a) {
            if (receive)
                return;
            ReceiveFlow::Request request;
            request.directHost = u"127.0.0.1"_s;
            request.directPort = a.port;
            request.code = a.code;
            receive = std::make_unique<ReceiveFlow>(destinationState, std::move(request));
            receiving.emplace(receive->run());
        });
    });

    EXPECT_EQ(runTask(coordinator.start()), FlowExit::success);
    ASSERT_TRUE(receiving);
    EXPECT_EQ(runTask(std::move(*receiving)), FlowExit::success);

    QStringList names;
    for (const auto& [name, details] : posted)
        names << name;
    ASSERT_EQ(names.count(u"managed.preflight_scanned"_s), 1) << names.join(u' ').toStdString();
    const qsizetype scanned = names.indexOf(u"managed.preflight_scanned"_s);
    EXPECT_LT(scanned, names.indexOf(u"managed.complete"_s));
    EXPECT_EQ(posted[scanned].second, ManagedModeCoordinator::preFlightTotals(*sourceState.preFlightReport()));
    EXPECT_FALSE(posted[scanned].second.isEmpty());
}
