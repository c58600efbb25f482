// SPDX-License-Identifier: Apache-2.0
// A home folder built with the real tools, read back through kivo-cli. brew and
// xcode-select do not exist on this system and pyenv has no Debian package:
// those three are stand-ins that replay output recorded from the real tools.
#include "devtools/EngineeringToolsDetector.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

constexpr QFile::Permissions kExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                           | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

void writeScript(const QString& path, const QByteArray& body) { writeBytes(path, "#!/bin/sh\n" + body, kExecutable); }

CliRun run(const QString& program, const QStringList& args, const QMap<QString, QString>& env = {})
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    return runProcess(program, args, e);
}

// One text per element of `array`.
QStringList each(const QJsonValue& array, const std::function<QString(const QJsonObject&)>& text)
{
    QStringList out;
    for (const QJsonValue& v : array.toArray())
        out << text(v.toObject());
    return out;
}

// Output recorded from brew 4.2 and xcode-select on a real machine, replayed by argument.
const QByteArray kFakeBrew = R"SH(case "$*" in
  "--version") echo "Homebrew 4.2.5"; echo "Homebrew/homebrew-core (git revision 1d3b)";;
  "list --formula") printf 'git\nnode\nripgrep\n';;
  "list --cask") printf 'iterm2\n';;
  "bundle dump --file=-") printf 'tap "homebrew/bundle"\nbrew "git"\nbrew "node"\nbrew "ripgrep"\ncask "iterm2"\n';;
  "outdated") printf 'node\n';;
  *) exit 1;;
esac
)SH";

} // namespace

class DevtoolsHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.isValid() && home.isValid());
        h = home.path();
        git({"init", "-q", h + "/Projects/alpha"});
        writeBytes(h + "/Projects/alpha/README.md", "alpha\n");
        git({"-C", h + "/Projects/alpha", "add", "README.md"});
        git({"-C", h + "/Projects/alpha", "-c", "user.name=A", "-c", "user.email=a@example.org", "commit", "-qm", "first"});
        git({"clone", "-q", h + "/Projects/alpha", h + "/Projects/team/beta"}); // two levels down: counts
        git({"init", "-q", h + "/Projects/deep/down/gamma"});                    // three levels down: does not
        git({"config", "--global", "user.name", "Ann Example"});
        QDir().mkpath(h + "/.ssh");
        ASSERT_EQ(run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-C", "ann", "-f", h + "/.ssh/id_ed25519"},
                      {{"HOME", h}}).exitCode,
                  0);
        writeBytes(h + "/.bashrc", ("# export PATH=" + h + "/old:$PATH\nexport PATH=" + h + "/bin:$PATH\nalias g=git\n").toUtf8());
        writeBytes(h + "/.zprofile", "export PATH \"/opt/tools/bin\"\n\tsource /home/ann/.aliases\n");
        for (const char* v : {"v20.11.0", "v18.19.0", "system"})
            QDir().mkpath(h + "/.nvm/versions/node/" + v);
        QDir().mkpath(h + "/.asdf");
        writeBytes(h + "/.tool-versions", "nodejs 20.11.0\npython 3.12.1\n\n");
        for (const char* v : {"3.2.2", "3.1.4"})
            QDir().mkpath(h + "/.rbenv/versions/" + v);
        writeScript(h + "/.pyenv/bin/pyenv", "[ \"$*\" = \"versions --bare\" ] && printf '3.12.1\\n3.11.7\\n'\n");
        writeBytes(h + "/.cargo/bin/ripgrep", "x", kExecutable);
        writeBytes(h + "/.cargo/bin/fd", "x", kExecutable);
        writeBytes(h + "/.config/Code/User/settings.json", "{\"editor.fontSize\": 13}\n");
        for (const char* e : {"ms-python.python-2024.2.1", "esbenp.prettier-vscode-10.1.0"})
            QDir().mkpath(h + "/.vscode/extensions/" + e);
        writeBytes(h + "/.vscode/extensions/extensions.json", "[]");
        writeBytes(h + "/.vscode/extensions/.obsolete", "{}");

        const QString t = tools.path();
        writeScript(t + "/linuxbrew/bin/brew", kFakeBrew);
        writeBytes(t + "/linuxbrew/Cellar/git/2.43.0/bin/git", QByteArray(1000, 'g'));
        writeScript(t + "/xcode-select", "[ \"$1\" = \"-p\" ] && echo /Library/Developer/CommandLineTools\n");
        writeBytes(t + "/Xcode.app/Contents/version.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleShortVersionString</key><string>15.2</string></dict></plist>\n");
    }

    void git(const QStringList& args)
    {
        const CliRun r = run("git", args, {{"HOME", h}, {"GIT_CONFIG_NOSYSTEM", "1"}});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    }

    QMap<QString, QString> toolEnv() const
    {
        const QString t = tools.path();
        return {{"KIVO_BREW", t + "/linuxbrew/bin/brew"}, {"KIVO_XCODE_SELECT", t + "/xcode-select"},
                {"KIVO_XCODE_APP", t + "/Xcode.app"}};
    }

    QTemporaryDir tools, home;
    QString h;
};

TEST_F(DevtoolsHome, InventoryHoldsTheFiguresTheToolsGive)
{
    const QStringList before = QDir(h).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    const CliRun r = run(kivoCli(), {"devtools", "--home", h, "--json"}, toolEnv());
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    // The tools (npm, gem, pip too) were asked with this home as theirs, yet left no logs or caches in it.
    EXPECT_EQ(QDir(h).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    const QJsonObject inv = QJsonDocument::fromJson(r.out).object();

    const QJsonObject brew = inv["homebrew"].toObject();
    EXPECT_EQ(std::pair(brew["formulaeCount"].toInt(), brew["casksCount"].toInt()), std::pair(3, 1));
    EXPECT_EQ(brew["outdatedPackages"].toArray(), QJsonArray({"node"}));
    EXPECT_EQ(brew["installSizeEstimate"].toInteger(), 1000 + QFileInfo(tools.path() + "/linuxbrew/bin/brew").size());
    EXPECT_TRUE(brew["brewfileContents"].toString().contains("cask \"iterm2\""));

    // The login user is not "ann": the zprofile's /home/ann is another account's path.
    EXPECT_EQ(each(inv["shellConfigs"], [](const QJsonObject& f) {
                  return QStringLiteral("%1:%2:%3").arg(f["filename"].toString()).arg(f["hardcodedPathCount"].toInt())
                      .arg(f["pathExportCount"].toInt());
              }),
              QStringList({".zprofile:0:1", ".bashrc:1:1"}));
    EXPECT_EQ(each(inv["dotfiles"], [](const QJsonObject& d) { return d["name"].toString() + (d["isSensitive"].toBool() ? "!" : ""); }),
              QStringList({".gitconfig", ".ssh!", ".cargo", ".config"}));

    const QJsonArray folders = inv["devDirectories"].toArray();
    ASSERT_EQ(folders.size(), 1);
    const QJsonObject projects = folders[0].toObject();
    EXPECT_EQ(projects["gitRepoCount"].toInt(), 2);
    EXPECT_EQ(each(projects["gitRepos"], [](const QJsonObject& r) { return r["path"].toString(); }),
              QStringList({"~/Projects/alpha", "~/Projects/team/beta"}));

    QMap<QString, QJsonArray> managers;
    for (const QJsonValue& v : inv["versionManagers"].toArray())
        managers[v.toObject()["tool"].toString()] = v.toObject()["managedVersions"].toArray();
    EXPECT_EQ(managers.keys(), QStringList({"asdf", "nvm", "pyenv", "rbenv"}));
    EXPECT_EQ(managers["nvm"].size(), 2); // not its "system" folder
    EXPECT_EQ(managers["rbenv"], QJsonArray({"3.1.4", "3.2.2"})); // Debian's rbenv, asked for real
    EXPECT_EQ(managers["pyenv"], QJsonArray({"3.12.1", "3.11.7"}));
    EXPECT_EQ(managers["asdf"], QJsonArray({"nodejs 20.11.0", "python 3.12.1"}));

    EXPECT_EQ(inv["xcode"].toObject()["version"].toString(), "15.2");

    const QJsonArray ides = inv["ides"].toArray();
    ASSERT_EQ(ides.size(), 1);
    EXPECT_EQ(ides[0].toObject()["extensions"].toArray(),
              QJsonArray({"esbenp.prettier-vscode-10.1.0", "ms-python.python-2024.2.1"}));

    EXPECT_EQ(inv["sourceArchitecture"].toString(), "x86_64");
}

TEST_F(DevtoolsHome, PlanReportAndTogglesFromTheCommandLine)
{
    QTemporaryDir out;
    QMap<QString, QString> env = toolEnv();
    env.insert("KIVO_APT_MARK", ""); // the system's package tools are asked in the inventory test
    env.insert("KIVO_ENV_TOOL", "");
    const CliRun plan = run(kivoCli(), {"devtools", "--home", h, "--json", "--plan", "--include", ".ssh,Projects,.config",
                                     "--dest-arch", "arm64", "--report", out.path()},
                         env);
    ASSERT_EQ(plan.exitCode, 0) << plan.err.constData();
    const QJsonObject p = QJsonDocument::fromJson(plan.out).object()["plan"].toObject();
    EXPECT_TRUE(p["homebrewForceBrewfile"].toBool());
    // The toggles reach the plan; what else it lists is DevtoolsPlan.ManifestEntriesCarryTheSettingsAndTheDesktopFiles's.
    const QStringList sent = each(p["manifestItems"], [](const QJsonObject& i) { return i["relativePath"].toString(); });
    EXPECT_TRUE(sent.contains("~/.ssh/id_ed25519") && sent.contains("~/Projects/alpha/README.md")) << sent.join(' ').toStdString();

    const QStringList reports = QDir(out.path()).entryList({"kivo-engineering-audit-*.md"}, QDir::Files);
    ASSERT_EQ(reports.size(), 1);
    QFile report(out.path() + "/" + reports.first());
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    EXPECT_TRUE(report.readAll().contains("> **Architecture Mismatch:** Source is x86_64, destination is arm64."));

    EXPECT_EQ(run(kivoCli(), {"devtools", "--home", h, "--include", ".nothing"}, env).exitCode, 2);
    // send refuses the same mistakes before it advertises anything.
    const CliRun unknownItem = run(kivoCli(), {"send", "--home", h, "--categories", "engineeringTools", "--dev-include", ".nothing"}, env);
    EXPECT_EQ(unknownItem.exitCode, 2);
    EXPECT_TRUE(unknownItem.err.contains("no developer item \".nothing\"")) << unknownItem.err.constData();
    EXPECT_EQ(run(kivoCli(), {"send", "--home", h, "--categories", "userFiles", "--dev-include", ".ssh"}, env).exitCode, 2);
    const CliRun unwritable = run(kivoCli(), {"devtools", "--home", h, "--report", h + "/.bashrc/report.md"}, env);
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_TRUE(unwritable.err.startsWith("Report not written:")) << unwritable.err.constData();
}

// Hostile start-up files and a brew that never answers: the scan ends, the rest is found.
TEST_F(DevtoolsHome, HostileFilesAndAHungToolLeaveTheRestIntact)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(h + "/.zshrc").constData(), 0600), 0);
    QFile::remove(h + "/.bashrc");
    ASSERT_TRUE(QFile::link("/dev/zero", h + "/.bashrc"));
    writeBytes(h + "/.profile", QByteArray("export PATH=") + h.toUtf8() + "/\xff\xfe/bin\n\xc3\x28 broken\n");
    ASSERT_TRUE(QFile::link(h + "/Projects", h + "/Projects/team/loop"));
    ASSERT_TRUE(QFile::link("loop-b", h + "/Projects/loop-a"));
    ASSERT_TRUE(QFile::link("loop-a", h + "/Projects/loop-b"));
    writeScript(tools.path() + "/hung/bin/brew", "sleep 600 & wait\n");

    DetectorSettings settings;
    settings.tools.brewCandidates = {tools.path() + "/hung/bin/brew"};
    settings.tools.env.clear(); // asked in the inventory test
    settings.tools.aptMark.clear();
    settings.commandTimeout = std::chrono::milliseconds(300);
    const EngineeringToolsInventory inv = EngineeringToolsDetector::inspect(h, "ann", true, settings);

    EXPECT_FALSE(inv.homebrew);
    QStringList shells;
    for (const ShellConfigFile& f : inv.shellConfigs)
        shells << QStringLiteral("%1:%2:%3").arg(f.filename).arg(f.hardcodedPathCount).arg(f.pathExportCount);
    EXPECT_EQ(shells, QStringList({".zprofile:1:1", ".profile:1:1"}));
    ASSERT_EQ(inv.devDirectories.size(), 1);
    EXPECT_EQ(inv.devDirectories[0].gitRepoCount, 2);
    EXPECT_EQ(inv.versionManagers.size(), 4);
    EXPECT_EQ(inv.ides.size(), 1);
}
