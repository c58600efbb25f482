// SPDX-License-Identifier: Apache-2.0
#include "preflight/ExclusionRules.h"

namespace kivo {

namespace {

ExclusionRule rule(const char* name, std::optional<QStringList> siblings, const char* hint)
{
    const QString n = QString::fromUtf8(name);
    return {n, n + QLatin1Char('/'), std::move(siblings), QString::fromUtf8(hint)};
}

// The extension of an entry name: what follows its last ".", when something precedes it.
QString extensionOf(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.mid(dot + 1) : QString();
}

bool hasEntryWithExtension(const QSet<QString>& names, const QString& extension)
{
    for (const QString& n : names)
        if (extensionOf(n) == extension)
            return true;
    return false;
}

} // namespace

const QList<ExclusionRule>& ExclusionRule::all()
{
    static const QList<ExclusionRule> rules{
        rule("node_modules", std::nullopt, "Run `npm install` (or `yarn install`) after migrating."),
        rule(".venv", std::nullopt, "Run `python -m venv .venv && pip install -r requirements.txt`."),
        rule("venv", std::nullopt, "Run `python -m venv venv && pip install -r requirements.txt`."),
        rule("__pycache__", std::nullopt, "Auto-regenerated on next Python run."),
        rule("DerivedData", std::nullopt, "Xcode rebuilds DerivedData on next project open."),
        rule("build", QStringList{QStringLiteral("Package.swift"), QStringLiteral(".xcodeproj")},
             "Rebuild from Xcode or run `swift build`."),
        rule("Pods", QStringList{QStringLiteral("Podfile")}, "Run `pod install`."),
        rule(".build", QStringList{QStringLiteral("Package.swift")}, "Run `swift build`."),
        rule("target", QStringList{QStringLiteral("Cargo.lock"), QStringLiteral("Cargo.toml")}, "Run `cargo build`."),
        rule(".gradle", std::nullopt, "Auto-regenerated on next Gradle build."),
        rule(".git", std::nullopt, "Re-clone from the remote with `git clone`."),
        rule(".next", std::nullopt, "Run `next build` (or `npm run build`)."),
        rule(".nuxt", std::nullopt, "Run `nuxt build`."),
        rule(".cache", std::nullopt, "Auto-regenerated on next tool run."),
        rule(".npm", std::nullopt, "Auto-regenerated; `npm install` repopulates."),
    };
    return rules;
}

const ExclusionRule* matchExclusionRule(const QString& name, const QSet<QString>& siblings)
{
    for (const ExclusionRule& r : ExclusionRule::all()) {
        if (r.name != name)
            continue;
        if (!r.requiredSibling)
            return &r;
        for (const QString& needed : *r.requiredSibling) {
            const bool present = needed.startsWith(u'.') ? hasEntryWithExtension(siblings, needed.mid(1))
                                                         : siblings.contains(needed);
            if (present)
                return &r;
        }
        return nullptr;
    }
    return nullptr;
}

std::optional<QString> projectNameFor(const QString& parentName, const QSet<QString>& siblings)
{
    for (const char* manifest : {"package.json", "Cargo.toml", "Package.swift", "Podfile"})
        if (siblings.contains(QLatin1String(manifest)))
            return parentName;
    for (const QString& n : siblings)
        if (extensionOf(n) == QLatin1String("xcodeproj"))
            return n.chopped(QStringLiteral(".xcodeproj").size());
    return std::nullopt;
}

} // namespace kivo
