// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <functional>

namespace kivo::test {

// What a call threw, in the words the user would read; "<no error>" when it returned.
inline QString errorText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return describe(e);
    }
    return QStringLiteral("<no error>");
}

} // namespace kivo::test
