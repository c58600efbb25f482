// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <cstdint>

namespace kivo {

// Every walk of a folder tree made to size, check, scan or list a home counts
// here by the folder it starts from, so how often a run walks the same tree is
// counted, not timed. Only starting folders are kept: a handful per home.
class WalkCounter {
public:
    static void count(const QString& root);
    static std::int64_t timesWalked(const QString& root);
};

} // namespace kivo
