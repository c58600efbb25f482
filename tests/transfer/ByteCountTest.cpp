#include "platform/ByteCount.h"

#include <gtest/gtest.h>

TEST(ByteCount, DecimalFileStyle)
{
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1499, "1 KB"},
        {1500000, "1.5 MB"}, {1234567890, "1.23 GB"}, {999999, "1 MB"}, {110000000000ull, "110 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(kivo::formatFileSize(bytes), text) << bytes;
}
