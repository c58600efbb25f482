// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <utility>

namespace kivo {

// The one setter body of every observable field: write and notify only when the
// value really changed, so bound screens and awaiting flows wake for news only.
template <typename Owner, typename Field, typename Value>
bool assignAndNotify(Owner* owner, Field& field, Value&& value, void (Owner::*changed)())
{
    if (field == value)
        return false;
    field = std::forward<Value>(value);
    (owner->*changed)();
    return true;
}

} // namespace kivo
