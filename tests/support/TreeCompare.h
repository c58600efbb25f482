// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QStringList>

namespace kivo::test {

// Paths missing, extra or different (content or permission bits) between two
// folder trees, as "missing ~x", "extra ~x", "different ~x"; empty when they
// match. Our own bookkeeping under .local/share/kivo is left out.
QStringList treeDifferences(const QString& expectedRoot, const QString& actualRoot);

} // namespace kivo::test
