// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"
#include "platform/LinuxInstalls.h"
#include "transfer/TransferManifest.h"

#include <QString>

#include <functional>

namespace kivo {

// Where a received "~/" path of a category lands in this home.
using PathRelocation = std::function<QString(const QString& tildePath, const QString& categoryID)>;

// For a manifest arriving in a home of `layout` with `installs`: user files go
// into this home's folder of the same kind (the source's folders as its
// manifest names them, else its layout's defaults); between Linux homes, an
// app's data and a browser's profile go where the format installed here reads
// them. Safe to call from any thread: it holds only copies.
PathRelocation relocationFor(const TransferManifest& manifest, const QString& homeFolder, HomeLayoutKind layout,
                             const LinuxInstalls& installs);

} // namespace kivo
