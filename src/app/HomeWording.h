// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"

#include <QString>

namespace kivo {

// A screen's text as the person at this home reads it: on a home that is not
// Mac-shaped, "Mac" (and "Macs") reads "computer" ("computers"), with a capital
// in a title-case heading or at a sentence's start. Other words that merely
// begin with those letters are left alone.
QString wordedForHome(const QString& text, HomeLayoutKind layout);

} // namespace kivo
