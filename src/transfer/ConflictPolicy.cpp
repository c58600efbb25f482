// SPDX-License-Identifier: Apache-2.0
#include "transfer/ConflictPolicy.h"

#include <array>

namespace kivo {

namespace {
constexpr std::array<const char*, 4> kNames = {"skip", "overwrite", "keepNewer", "ask"};
}

QString toString(ConflictPolicy policy) { return QString::fromLatin1(kNames[static_cast<size_t>(policy)]); }

std::optional<ConflictPolicy> conflictPolicyFromString(const QString& text)
{
    for (size_t i = 0; i < kNames.size(); ++i)
        if (text == QLatin1String(kNames[i]))
            return static_cast<ConflictPolicy>(i);
    return std::nullopt;
}

ConflictPolicy conflictPolicyLenient(const QString& text)
{
    for (size_t i = 0; i < kNames.size(); ++i)
        if (text.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0)
            return static_cast<ConflictPolicy>(i);
    return ConflictPolicy::skip;
}

QString label(ConflictPolicy policy)
{
    switch (policy) {
    case ConflictPolicy::skip: return QStringLiteral("Skip existing files");
    case ConflictPolicy::overwrite: return QStringLiteral("Overwrite destination");
    case ConflictPolicy::keepNewer: return QStringLiteral("Keep the newer file");
    case ConflictPolicy::ask: return QStringLiteral("Ask for each conflict");
    }
    return {};
}

} // namespace kivo
