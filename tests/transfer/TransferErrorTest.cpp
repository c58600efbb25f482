#include "platform/ByteCount.h"
#include "transfer/TransferError.h"

#include <gtest/gtest.h>

using namespace kivo;

// Texts the engines' tests do not already meet in full.
TEST(TransferError, DescriptionsAreTheUserFacingTexts)
{
    EXPECT_EQ(TransferError::maxRetriesExceeded("a.txt", 0).description(),
              "Failed to transfer a.txt chunk 0 after maximum retries");
    EXPECT_EQ(TransferError::insufficientDiskSpace(2000000000, 500000000).description(),
              "Not enough disk space. Need 2 GB, only 500 MB available");
    EXPECT_EQ(TransferError::permissionDenied("/x").description(), "Permission denied reading /x");
    EXPECT_EQ(TransferError::verificationFailed({"a", "b", "c"}).description(), "3 file(s) failed verification");
    EXPECT_EQ(TransferError::encodingError("bad").description(), "Encoding error: bad");
}

TEST(ByteCount, DecimalFileStyle)
{
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1 KB"}, {1499, "1 KB"}, {500000000, "500 MB"},
        {1500000, "1.5 MB"}, {2000000000, "2 GB"}, {1234567890, "1.23 GB"}, {999999, "1 MB"}, {110000000000ull, "110 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(formatFileSize(bytes), text) << bytes;
}
