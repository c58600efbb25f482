#pragma once

#include <QString>

#include <optional>

namespace kivo {

// How a home folder keeps its settings and application data: the XDG folders
// of a Linux desktop, or the ~/Library tree of a Mac.
enum class HomeLayoutKind { Linux, MacOS };

// "linux" or "macos": the manifest's `layout` field and the --layout values.
QString layoutName(HomeLayoutKind kind);
// The kind a name stands for; nothing for any other text ("auto" included).
std::optional<HomeLayoutKind> parseLayoutName(const QString& name);
// A manifest without a `layout` came from a Mac-shaped home.
HomeLayoutKind layoutOfManifestField(const std::optional<QString>& field);
// "auto": a Mac-shaped home has Library/Preferences and no .config; every other home is Linux.
HomeLayoutKind detectLayout(const QString& homeFolder);
// "auto" detects; "linux" and "macos" force; nothing for a value that is none of these.
std::optional<HomeLayoutKind> resolveLayout(const QString& choice, const QString& homeFolder);

} // namespace kivo
