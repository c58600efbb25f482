// SPDX-License-Identifier: Apache-2.0
#include "gui/Appearance.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>

namespace kivo::gui {

namespace {

// The portal answers in milliseconds; a desktop without one must not hold the window back.
constexpr int kPortalTimeoutMs = 400;

std::optional<ColorScheme> portalColorScheme()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusInterface settings(QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
                            QStringLiteral("org.freedesktop.portal.Settings"), bus);
    if (!settings.isValid())
        return std::nullopt;
    settings.setTimeout(kPortalTimeoutMs);
    const QDBusReply<QVariant> reply =
        settings.call(QStringLiteral("Read"), QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"));
    if (!reply.isValid())
        return std::nullopt;
    // The value comes wrapped once more in a variant.
    QVariant value = reply.value();
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    switch (value.toUInt()) {
    case 1: return ColorScheme::dark;
    case 2: return ColorScheme::light;
    default: return std::nullopt; // no preference
    }
}

QPalette darkPalette(const QColor& accent)
{
    const QColor window(0x24, 0x24, 0x24), base(0x1e, 0x1e, 0x1e), button(0x30, 0x30, 0x30), text(0xf2, 0xf2, 0xf2);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x48, 0x48, 0x48));
    p.setColor(QPalette::Midlight, QColor(0x3a, 0x3a, 0x3a));
    p.setColor(QPalette::Mid, QColor(0x5a, 0x5a, 0x5a));
    p.setColor(QPalette::Dark, QColor(0x14, 0x14, 0x14));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent.lighter(140));
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
    const QColor disabled(0x80, 0x80, 0x80);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    p.setColor(QPalette::Disabled, QPalette::Button, window);
    return p;
}

QPalette lightPalette(const QColor& accent)
{
    const QColor window(0xf6, 0xf5, 0xf4), text(0x1e, 0x1e, 0x1e);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xf0, 0xef, 0xee));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0xed, 0xec, 0xeb));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Midlight, QColor(0xe4, 0xe3, 0xe2));
    p.setColor(QPalette::Mid, QColor(0xc0, 0xbf, 0xbc));
    p.setColor(QPalette::Dark, QColor(0x9a, 0x99, 0x96));
    p.setColor(QPalette::Shadow, QColor(0x5e, 0x5c, 0x64));
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent.darker(115));
    p.setColor(QPalette::ToolTipBase, text);
    p.setColor(QPalette::ToolTipText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x77, 0x76, 0x7b));
    const QColor disabled(0x9a, 0x99, 0x96);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    return p;
}

} // namespace

std::optional<ColorScheme> colorSchemeNamed(const QString& name)
{
    if (name == QLatin1String("light"))
        return ColorScheme::light;
    if (name == QLatin1String("dark"))
        return ColorScheme::dark;
    return std::nullopt;
}

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

ColorScheme desktopColorScheme(const QPalette& platformPalette)
{
    if (const auto stated = portalColorScheme())
        return *stated;
    return isDark(platformPalette) ? ColorScheme::dark : ColorScheme::light;
}

QPalette paletteFor(ColorScheme scheme, const QPalette& platformPalette)
{
    if (isDark(platformPalette) == (scheme == ColorScheme::dark))
        return platformPalette;
    // Keep the desktop's accent, unless it is too pale or too dark to carry white text.
    QColor accent = platformPalette.color(QPalette::Highlight);
    if (accent.lightnessF() > 0.7 || accent.lightnessF() < 0.25 || accent.hslSaturationF() < 0.2)
        accent = QColor(0x35, 0x84, 0xe4);
    return scheme == ColorScheme::dark ? darkPalette(accent) : lightPalette(accent);
}

void applyColorScheme(const QString& requested)
{
    const QPalette platform = QGuiApplication::palette();
    const ColorScheme scheme = colorSchemeNamed(requested).value_or(desktopColorScheme(platform));
    QGuiApplication::setPalette(paletteFor(scheme, platform));
}

} // namespace kivo::gui
