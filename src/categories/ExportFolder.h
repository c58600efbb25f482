// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace kivo {

// The private (owner-only) temporary folder a handler exports into on the
// source. Each export gets a fresh one; the last goes with the handler or at discard.
class ExportFolder {
public:
    // A new folder named after `pattern` (XXXXXX is made unique), replacing the
    // last. Throws SystemError saying it is for `what` when none can be made.
    QString renew(const QString& pattern, const QString& what);
    void discard();

private:
    std::mutex m_mutex;
    std::unique_ptr<QTemporaryDir> m_folder;
};

} // namespace kivo
