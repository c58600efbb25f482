// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "categories/KeychainHandler.h"
#include "connection/ConnectionTypes.h"
#include "gui/Appearance.h"
#include "gui/DesktopIntegration.h"
#include "gui/GuiOptions.h"
#include "gui/KivoGui.h"
#include "gui/ProgressFeed.h"
#include "gui/ScreenTour.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "preflight/CheckEnvironment.h"
#include "preflight/PreflightChecker.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>

int main(int argc, char** argv)
{
    using namespace kivo;
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(gui::kGuiUsage, stdout);
        return 0;
    }
    gui::GuiOptions options;
    try {
        options = gui::parseGuiOptions(args);
    } catch (const gui::GuiUsageError& e) {
        std::fprintf(stderr, "kivo: %s\n\n%s", e.what(), gui::kGuiUsage);
        return 2;
    }

    {
        // Read quietly here; the session reads it again and reports what is wrong with it.
        const ProfileDomain profile = openProfileDomain(effectiveProfilePath());
        gui::offerDemo(options, profile.contents && readProfileDomain(*profile.contents).values.enableDemoMode);
    }

    if (options.screenshots) {
        // Pictures need no display, and the software renderer draws them the same everywhere.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
    }
    prepareProcess();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("kivo"));
    QGuiApplication::setApplicationVersion(QStringLiteral(KIVO_VERSION));
    // Wayland shells find the window's icon and name through its desktop entry.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(gui::kDesktopId));
    installLogging(/*quiet=*/true);
    if (options.screenshots) {
        // Offscreen there is no desktop to follow: light unless asked.
        gui::applyColorScheme(options.colorScheme.isEmpty() ? QStringLiteral("light") : options.colorScheme);
        const gui::TourResult tour = gui::takeScreenshots(*options.screenshots, options.screenshotSize);
        for (const QString& file : tour.written)
            std::printf("%s\n", qPrintable(file));
        for (const QString& problem : tour.problems)
            std::fprintf(stderr, "kivo: %s\n", qPrintable(problem));
        return tour.problems.isEmpty() ? 0 : 1;
    }
    gui::applyColorScheme(options.colorScheme);

    SessionEnvironment environment{options.home, options.hostname, options.username, options.port};
    environment.demoAvailable = options.demo;
    environment.demoWorkdir = options.workdir;
    environment.demoPeerProgram = gui::siblingProgram(QStringLiteral("kivo-cli"));
    AppState state(environment);
    CheckEnvironment checks = CheckEnvironment::fromProcess();
    checks.keychainProblem = [](HomeLayoutKind layout) { return KeychainHandler::sourceProblem(layout, KeychainAdvice::desktopApp); };
    state.preflightChecker()->setEnvironment(std::move(checks));
    if (options.connectHost)
        state.addDirectPeer(peerForAddress(*options.connectHost, options.connectPort, std::nullopt));
    gui::ProgressFeed feed(&state, Clock::system());

    QQmlApplicationEngine engine;
    QObject::connect(&engine, &QQmlApplicationEngine::quit, &app, &QGuiApplication::quit);
    QQuickWindow* window = gui::loadMainWindow(engine, &state, &feed);
    if (!window)
        return 1;
    // The buses come from the environment (DBUS_SESSION_BUS_ADDRESS, DBUS_SYSTEM_BUS_ADDRESS).
    gui::DesktopIntegration desktop(&state, &feed, window, QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                                    Clock::system());
    state.bootstrapManagedModeIfNeeded();
    return app.exec();
}
