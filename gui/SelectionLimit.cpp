// SPDX-License-Identifier: Apache-2.0
#include "gui/SelectionLimit.h"

#include "app/AppState.h"
#include "categories/DataCategoryManager.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/ByteCount.h"

namespace kivo::gui {

SelectionLimit::SelectionLimit(AppState* state, QObject* parent) : QObject(parent), m_state(state)
{
    connect(state, &AppState::categoryRowsChanged, this, &SelectionLimit::changed);
}

QString SelectionLimit::note() const
{
    if (!m_state)
        return {};
    return noteFor(m_state->categoryManager()->totalSelectedSize(), m_state->profileManager()->values().maxTransferSizeMB);
}

QString SelectionLimit::noteFor(std::uint64_t selectedBytes, std::optional<int> limitMB)
{
    if (!limitMB || *limitMB < 1)
        return {};
    const std::uint64_t limit = std::uint64_t(*limitMB) * 1048576u;
    if (selectedBytes <= limit)
        return {};
    return QStringLiteral("Exceeds ") + formatFileSize(limit) + QStringLiteral(" limit");
}

} // namespace kivo::gui
