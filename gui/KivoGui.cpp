// SPDX-License-Identifier: Apache-2.0
#include "gui/KivoGui.h"

#include "app/AppState.h"
#include "app/ReinstallOffer.h"
#include "gui/ProgressFeed.h"
#include "gui/SelectionLimit.h"
#include "transfer/TransferProgress.h"

#include <QQmlApplicationEngine>
#include <QQmlEngineExtensionPlugin>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml>

Q_IMPORT_QML_PLUGIN(KivoPlugin)

namespace kivo::gui {

void registerTypes()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const char* why = "owned by the session";
    qmlRegisterUncreatableType<AppState>("Kivo.Core", 1, 0, "AppState", QString::fromLatin1(why));
    qmlRegisterUncreatableType<TransferProgress>("Kivo.Core", 1, 0, "TransferProgress", QString::fromLatin1(why));
    qmlRegisterUncreatableType<ProgressFeed>("Kivo.Core", 1, 0, "ProgressFeed", QString::fromLatin1(why));
    qmlRegisterUncreatableType<SelectionLimit>("Kivo.Core", 1, 0, "SelectionLimit", QString::fromLatin1(why));
    qmlRegisterUncreatableType<ReinstallOffer>("Kivo.Core", 1, 0, "ReinstallOffer", QString::fromLatin1(why));
}

void prepareEngine(QQmlApplicationEngine& engine)
{
    static bool styled = false;
    if (!styled) {
        // Fusion follows the application's palette, so the desktop's light or
        // dark scheme, and needs no theme plugin; the user may name another.
        if (qEnvironmentVariableIsEmpty("QT_QUICK_CONTROLS_STYLE"))
            QQuickStyle::setStyle(QStringLiteral("Fusion"));
        styled = true;
    }
    registerTypes();
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, AppState* state, ProgressFeed* feed)
{
    prepareEngine(engine);
    engine.setInitialProperties({{QStringLiteral("appState"), QVariant::fromValue(static_cast<QObject*>(state))},
                                 {QStringLiteral("feed"), QVariant::fromValue(static_cast<QObject*>(feed))},
                                 {QStringLiteral("homeFolder"), QUrl::fromLocalFile(state->environment().homeFolder)},
                                 {QStringLiteral("selectionLimit"),
                                  QVariant::fromValue(static_cast<QObject*>(new SelectionLimit(state, &engine)))}});
    // The complete screen's offer to install the source's applications again.
    engine.rootContext()->setContextProperty(QStringLiteral("reinstallOffer"), new ReinstallOffer(state, &engine));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Kivo/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return nullptr;
    return qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
}

} // namespace kivo::gui
