// SPDX-License-Identifier: Apache-2.0
#include "app/HomeWording.h"

#include <gtest/gtest.h>

using namespace kivo;

// On a Linux home the machine is a computer; words that only start alike stay.
TEST(HomeWording, MacReadsComputerOnlyOnALinuxHome)
{
    struct Case {
        const char* text;
        const char* linux;
    };
    const Case cases[] = {
        {"Which Mac is this?", "Which computer is this?"},
        {"Searching for nearby Macs…", "Searching for nearby computers…"},
        {"Same username on both Macs — your files will go right where they belong.",
         "Same username on both computers — your files will go right where they belong."},
        {"Source Mac", "Source computer"},
        {"Mac", "computer"},
        {"macOS, Machine, MacBook and iMac stay", "macOS, Machine, MacBook and iMac stay"},
        {"", ""},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(wordedForHome(text, HomeLayoutKind::Linux), QString::fromUtf8(c.linux)) << c.text;
        EXPECT_EQ(wordedForHome(text, HomeLayoutKind::MacOS), text) << c.text;
    }
}
