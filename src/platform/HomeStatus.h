// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"

#include <QString>

#include <optional>

namespace kivo {

// Looks at what lies beneath a home folder on a peer's behalf without ever
// following a symbolic link on the way, so a link planted in the home cannot
// make us describe anything outside it. The home folder is opened once.
class HomeStatus {
public:
    explicit HomeStatus(QString homeFolder);
    ~HomeStatus();
    HomeStatus(const HomeStatus&) = delete;
    HomeStatus& operator=(const HomeStatus&) = delete;

    // Nothing when the path is not strictly beneath the home folder, nothing is
    // there, or a folder on the way is a link. A link as the last component is
    // described as itself (Kind::other), never as what it points to.
    std::optional<fs::FileStatus> status(const QString& absolutePath) const;

private:
    QString m_home;
    UniqueFd m_homeFd;
};

} // namespace kivo
