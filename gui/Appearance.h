// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QPalette>
#include <QString>

#include <optional>

namespace kivo::gui {

enum class ColorScheme { light, dark };

// "light" or "dark"; nothing for anything else.
std::optional<ColorScheme> colorSchemeNamed(const QString& name);

// What the desktop prefers: the settings portal's colour scheme when it states
// one (GNOME and Plasma both publish it there), else the lightness of the
// palette the platform gave.
ColorScheme desktopColorScheme(const QPalette& platformPalette);

// The palette the screens draw with: the platform's own when it already has
// the scheme's lightness, else one of that scheme built on its accent.
QPalette paletteFor(ColorScheme scheme, const QPalette& platformPalette);

bool isDark(const QPalette& palette);

// Before the window loads: the palette of `requested`, or of the desktop when empty.
void applyColorScheme(const QString& requested);

} // namespace kivo::gui
