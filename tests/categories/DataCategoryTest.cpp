// SPDX-License-Identifier: Apache-2.0
#include "categories/DataCategory.h"
#include "platform/Error.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace kivo;

TEST(DataCategoryTest, JsonRoundTripKeepsEveryFieldAndOmitsAbsentOptionals)
{
    for (DataCategory c : DataCategory::allCategories()) {
        SCOPED_TRACE(c.id.toStdString());
        c.isSelected = true;
        c.estimatedSize = 123456789012ull;
        const QJsonObject json = c.toJson();
        EXPECT_EQ(DataCategory::fromJson(json), c);
        EXPECT_EQ(json.contains(QStringLiteral("sensitivityWarning")), c.isSensitive);
        const QJsonArray details = json.value(QStringLiteral("details")).toArray();
        for (qsizetype i = 0; i < details.size(); ++i)
            EXPECT_EQ(details.at(i).toObject().contains(QStringLiteral("path")), c.details.at(i).path.has_value());
    }
    QJsonObject broken = DataCategory::allCategories().first().toJson();
    broken.insert(QStringLiteral("estimatedSize"), -1);
    EXPECT_THROW(DataCategory::fromJson(broken), DecodingError);
}
