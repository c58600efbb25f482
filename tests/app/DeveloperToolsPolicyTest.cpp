// SPDX-License-Identifier: Apache-2.0
#include "app/DeveloperToolsPolicy.h"

#include <gtest/gtest.h>

using namespace kivo;

namespace {

MigrationItem item(const char* name, bool sensitive)
{
    MigrationItem i;
    i.name = QString::fromLatin1(name);
    i.isIncluded = true;
    i.isSensitive = sensitive;
    return i;
}

// The names of the included items, folders after the rest.
QStringList included(const PlanSelection& s)
{
    QStringList out;
    for (const auto* list : {&s.items, &s.devDirectoryItems})
        for (const MigrationItem& i : *list)
            if (i.isIncluded)
                out << i.name;
    return out;
}

} // namespace

// What the organisation forbids never travels, however it was ticked; an
// unticked item stays out whatever is allowed.
TEST(DeveloperToolsPolicy, ForbiddenItemsAreLeftOutWhateverWasTicked)
{
    PlanSelection plan;
    plan.items = {item(".zshrc", false), item(".ssh", true)};
    MigrationItem unticked = item(".vimrc", false);
    unticked.isIncluded = false;
    plan.items << unticked;
    plan.devDirectoryItems = {item("Projects", false)};

    struct Case {
        DeveloperToolsPolicy policy;
        QStringList travels;
    };
    const Case cases[] = {
        {{}, {".zshrc", ".ssh", "Projects"}},
        {{.enabled = false}, {}},
        {{.sensitiveOptInAllowed = false}, {".zshrc", "Projects"}},
        {{.devDirectoriesAllowed = false}, {".zshrc", ".ssh"}},
        {{true, false, false}, {".zshrc"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(included(allowedSelection(plan, c.policy)), c.travels) << c.travels.join(u' ').toStdString();
}

// What the user names and the profile forbids is refused, saying what; defaults are not checked here.
TEST(DeveloperToolsPolicy, NamingWhatTheProfileForbidsIsRefused)
{
    const auto refused = [](const std::optional<FlowFailure>& f) {
        EXPECT_TRUE(!f || f->exitClass == FlowExit::refused);
        return f ? f->text : QString();
    };
    const CategoryProfile filesOnly{true, {QStringLiteral("userFiles")}, false};
    const CategoryProfile filesOnlyOverridable{true, {QStringLiteral("userFiles")}, true};
    const QStringList browser{QStringLiteral("userFiles"), QStringLiteral("browserData")};
    const auto linux = HomeLayoutKind::Linux;
    EXPECT_TRUE(refused(categoryPolicyRefusal(browser, filesOnly, true, linux)).startsWith(u"Browser Data cannot be migrated"));
    // Named as the home's layout names it.
    EXPECT_TRUE(refused(categoryPolicyRefusal({QStringLiteral("keychain")}, filesOnly, true, linux))
                    .startsWith(u"Passwords and Keys cannot be migrated"));
    EXPECT_TRUE(refused(categoryPolicyRefusal({QStringLiteral("keychain")}, filesOnly, true, HomeLayoutKind::MacOS))
                    .startsWith(u"Keychain cannot be migrated"));
    EXPECT_EQ(refused(categoryPolicyRefusal(browser, filesOnlyOverridable, true, linux)), QString());
    EXPECT_EQ(refused(categoryPolicyRefusal(browser, {}, true, linux)), QString()) << "no profile";
    EXPECT_EQ(refused(categoryPolicyRefusal({QStringLiteral("engineeringTools")}, filesOnly, true, linux)), QString());
    EXPECT_FALSE(refused(categoryPolicyRefusal({QStringLiteral("engineeringTools")}, {}, false, linux)).isEmpty());

    PlanSelection plan;
    plan.items = {item(".zshrc", false), item(".ssh", true)};
    plan.devDirectoryItems = {item("Projects", false)};
    const QStringList named{QStringLiteral(".zshrc"), QStringLiteral(".ssh"), QStringLiteral("Projects")};
    const struct {
        DeveloperToolsPolicy policy;
        QStringList named;
        const char* refusal; // the start of the text; empty: allowed
    } cases[] = {
        {{}, named, ""},
        {{.sensitiveOptInAllowed = false}, named, "\".ssh\" holds keys"},
        {{.devDirectoriesAllowed = false}, named, "\"Projects\" is a development folder"},
        {{.devDirectoriesAllowed = false}, {QStringLiteral(".zshrc")}, ""},
        {{.enabled = false}, {QStringLiteral(".zshrc")}, "Developer tools (\".zshrc\")"},
        {{.enabled = false}, {QStringLiteral("nothing-such")}, ""},
    };
    for (const auto& c : cases) {
        const QString text = refused(developerItemsRefusal(c.named, plan, c.policy));
        EXPECT_TRUE(*c.refusal ? text.startsWith(QString::fromUtf8(c.refusal)) : text.isEmpty()) << text.toStdString();
    }
}
