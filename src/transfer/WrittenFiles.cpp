// SPDX-License-Identifier: Apache-2.0
#include "transfer/WrittenFiles.h"

namespace kivo {

WrittenFiles::WrittenFiles(QList<TransferManifest::FileItem> items, DestinationResolver resolver,
                           std::optional<QList<qsizetype>> indices, QString categoryID, QStringList extra)
    : m_items(std::move(items)), m_resolver(std::move(resolver)), m_indices(std::move(indices)),
      m_categoryID(std::move(categoryID)), m_extra(std::move(extra))
{
}

qsizetype WrittenFiles::itemSteps() const { return m_indices ? m_indices->size() : m_items.size(); }

qsizetype WrittenFiles::steps() const { return itemSteps() + m_extra.size(); }

std::optional<QString> WrittenFiles::at(qsizetype step) const
{
    const qsizetype items = itemSteps();
    if (step >= items)
        return m_extra[step - items];
    const qsizetype i = m_indices ? (*m_indices)[step] : step;
    if (i < 0 || i >= m_items.size())
        return std::nullopt;
    const TransferManifest::FileItem& item = m_items[i];
    if (!m_categoryID.isEmpty() && item.categoryID != m_categoryID)
        return std::nullopt;
    if (!m_indices && item.transferStatus != FileTransferStatus::completed)
        return std::nullopt;
    WirePathCheck check = m_resolver.check(item);
    if (check.refusal)
        return std::nullopt;
    check.destination.squeeze(); // built by appending: the spare room would outlive the walk in a consumer's list
    return std::move(check.destination);
}

void WrittenFiles::forEach(const std::function<void(const QString&)>& visit) const
{
    for (qsizetype step = 0, n = steps(); step < n; ++step)
        if (const std::optional<QString> path = at(step))
            visit(*path);
}

QStringList WrittenFiles::toList() const
{
    QStringList out;
    out.reserve(steps());
    forEach([&out](const QString& path) { out.append(path); });
    return out;
}

QStringList WrittenFiles::next(qsizetype* at, qsizetype count) const
{
    QStringList out;
    for (const qsizetype n = steps(); *at < n && out.size() < count; ++*at)
        if (std::optional<QString> path = this->at(*at))
            out.append(std::move(*path));
    return out;
}

} // namespace kivo
