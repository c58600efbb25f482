// SPDX-License-Identifier: Apache-2.0
#include "transfer/ItemsByPath.h"

#include <algorithm>
#include <numeric>

namespace kivo {

ItemsByPath::ItemsByPath(const QList<TransferManifest::FileItem>& items) : m_sorted(std::size_t(items.size()))
{
    std::iota(m_sorted.begin(), m_sorted.end(), qsizetype(0));
    std::stable_sort(m_sorted.begin(), m_sorted.end(),
                     [&](qsizetype a, qsizetype b) { return items[a].relativePath < items[b].relativePath; });
    for (std::size_t k = 1; k < m_sorted.size() && !m_repeats; ++k)
        m_repeats = items[m_sorted[k - 1]].relativePath == items[m_sorted[k]].relativePath;
}

qsizetype ItemsByPath::find(const QList<TransferManifest::FileItem>& items, const QString& path) const
{
    if (!m_repeats) {
        for (const qsizetype i : {m_last, m_last + 1})
            if (i >= 0 && i < items.size() && items[i].relativePath == path)
                return m_last = i;
    }
    const auto at = std::lower_bound(m_sorted.begin(), m_sorted.end(), path,
                                     [&](qsizetype i, const QString& p) { return items[i].relativePath < p; });
    if (at == m_sorted.end() || items[*at].relativePath != path)
        return -1;
    return m_last = *at;
}

} // namespace kivo
