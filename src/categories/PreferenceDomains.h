// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace kivo {

// Exports a preference domain to a file and imports one from a file. Each
// call blocks: run it off the main thread.
class PreferenceDomains {
public:
    virtual ~PreferenceDomains() = default;
    // The reason when the domain cannot be exported.
    virtual std::optional<QString> exportDomain(const QString& domain, const QString& toFile) = 0;
    // The reason when the file cannot be imported. `replaced` tells whether
    // the domain had settings before.
    virtual std::optional<QString> importDomain(const QString& domain, const QString& fromFile, bool* replaced) = 0;
};

// The domain's property list file under ~/Library/Preferences, binary or XML,
// copied as it is once it has been read as a dictionary. Import replaces the
// file in one step, never through a link.
class PreferenceFiles : public PreferenceDomains {
public:
    explicit PreferenceFiles(QString homeFolder);
    // "NSGlobalDomain" is kept in ".GlobalPreferences".
    static QString fileFor(const QString& homeFolder, const QString& domain);

    std::optional<QString> exportDomain(const QString& domain, const QString& toFile) override;
    std::optional<QString> importDomain(const QString& domain, const QString& fromFile, bool* replaced) override;

private:
    QString m_home;
};

// The system's `defaults` tool: "export DOMAIN FILE" and "import DOMAIN FILE".
class DefaultsTool : public PreferenceDomains {
public:
    explicit DefaultsTool(QString program, QString homeFolder);

    std::optional<QString> exportDomain(const QString& domain, const QString& toFile) override;
    std::optional<QString> importDomain(const QString& domain, const QString& fromFile, bool* replaced) override;

private:
    QString m_program;
    QString m_home;
};

// The `defaults` tool where the system has one, the files otherwise;
// KIVO_DEFAULTS_TOOL names another tool.
std::shared_ptr<PreferenceDomains> preferenceDomainsFor(const QString& homeFolder);

} // namespace kivo
