// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/CommandRunner.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace kivo::secretTool {

using Attributes = QList<QPair<QString, QString>>;

// The Secret Service of the bus the options name, reached through its own
// command-line client running as the options' account: the way to reach
// another account's service without speaking on its bus ourselves.

// Whether the environment names a session bus. Without one the client finds
// nothing, and its library would make a cache folder in the caller's home on
// the way, so none of the calls below starts it.
bool sessionBusNamed(const QProcessEnvironment& environment);
// Whether a Secret Service answers there (starting it if the bus can).
bool serviceAnswers(const CommandOptions& client);
// The secret of the item with these attributes; nothing when there is none.
std::optional<QByteArray> lookup(const Attributes& attributes, const CommandOptions& client);
// Stores (or replaces) the item in the default collection. Throws SystemError.
void store(const QString& label, const Attributes& attributes, const QByteArray& secret, const CommandOptions& client);

} // namespace kivo::secretTool
