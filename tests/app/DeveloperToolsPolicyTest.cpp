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
