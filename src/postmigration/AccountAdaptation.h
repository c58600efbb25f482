// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/DestinationTransfer.h"
#include "transfer/UserMapping.h"

#include <memory>
#include <optional>

namespace kivo {

// How a received file of a category is rewritten for the new account, if at all.
// `settings`: a desktop settings keyfile, rewritten inside its quoted values only.
enum class RewriteKind { none, plist, text, settings };
RewriteKind rewriteKindFor(const QString& categoryID, const QString& path);

// Rewrites the old home folder inside received files (the account mapper implements it).
class AccountPathRewriter {
public:
    using Files = QList<std::pair<RewriteKind, QString>>;
    virtual ~AccountPathRewriter() = default;
    virtual std::optional<UserMapping> mapping() const = 0;
    virtual void rewritePlistPaths(const QString& path) = 0;
    virtual void rewriteTextFilePaths(const QString& path) = 0;
    // Every file of a category; an implementation may do the work off the calling thread.
    virtual QCoro::Task<void> rewrite(Files files);
};


// After each category, hands its rewritable files to the rewriter when the
// account mapping moves the home folder.
class AccountAdaptation : public AccountAdapter {
public:
    explicit AccountAdaptation(std::shared_ptr<AccountPathRewriter> rewriter) : m_rewriter(std::move(rewriter)) {}
    QCoro::Task<void> adaptCategory(QString categoryID, WrittenFiles writtenFiles) override;

private:
    std::shared_ptr<AccountPathRewriter> m_rewriter;
};

} // namespace kivo
