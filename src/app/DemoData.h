// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringToolsInventory.h"

#include <QString>

#include <cstdint>

namespace kivo {

// A made-up home folder to migrate in demonstrations and tests: the user
// folders with text, CSV, document-like and image-like binaries from a few
// bytes to several MB, nested project folders, hidden files, non-ASCII names,
// an empty file, an empty folder and a few unusual permission modes. Every
// file lies inside one of the default user folders, so a "User Files"
// migration with the default selection carries all of it. A whole Linux home
// adds the rest of a desktop account (DemoLinuxHome).
class DemoData {
public:
    enum class Contents { userFolders, linuxHome };

    // The demonstration's sample home, the same for every front end.
    static constexpr quint32 kDemoSeed = 20261205;
    static constexpr int kDemoFiles = 120;

    struct Summary {
        int files = 0;
        std::uint64_t bytes = 0; // sum of the files' lengths
        bool operator==(const Summary&) const = default;
    };

    // Creates the sample home unless `homeFolder` already holds something, in
    // which case nothing is written and its current contents are summarised.
    // Names, contents, modes and modification times depend only on
    // `fileCount` and `seed`. Built beside the target and renamed into place,
    // so an interrupted build never passes for a finished one.
    // Throws SystemError when the folder cannot be written.
    static Summary buildSampleHome(const QString& homeFolder, int fileCount, quint32 seed,
                                   Contents contents = Contents::userFolders);

    // A developer's machine as a demonstration shows it, with paths under `homeFolder`:
    // no tool on this machine is asked, so a demonstration never shows this machine.
    static EngineeringToolsInventory sampleDeveloperInventory(const QString& homeFolder);

    // Regular files and their total length below `folder` (symbolic links not followed).
    static Summary summarize(const QString& folder);
};

} // namespace kivo
