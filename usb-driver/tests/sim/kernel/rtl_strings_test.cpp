// Counted strings: initialising, appending within the buffer, copying and
// comparing.

#include <array>

#include "platform/platform.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class RtlStringsTest : public SimTest {};

TEST_F(RtlStringsTest, InitCountsBytesWithoutTheTerminator)
{
    const char16_t* text = u"COM5";
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    EXPECT_EQ(string.Length, 8);
    EXPECT_EQ(string.MaximumLength, 10);
    EXPECT_EQ(string.Buffer, text);

    RtlInitUnicodeString(&string, u"");
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 2);

    RtlInitUnicodeString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

TEST_F(RtlStringsTest, AppendFillsTheBufferOrLeavesTheDestinationUnchanged)
{
    std::array<WCHAR, 8> buffer{};
    UNICODE_STRING destination{0, sizeof buffer, buffer.data()};
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"\\??\\"), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 8);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 8);
    // Exactly full: the source's terminator needs no room.
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"COM5"), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 16);
    EXPECT_EQ(std::u16string(buffer.data(), 8), u"\\??\\COM5");

    std::array<WCHAR, 8> small{u'a', u'b'};
    UNICODE_STRING shortDestination{4, 12, small.data()};
    const std::array<WCHAR, 8> before = small;
    EXPECT_EQ(RtlAppendUnicodeToString(&shortDestination, u"COMX5"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortDestination.Length, 4);
    EXPECT_EQ(small, before);

    UNICODE_STRING source{10, 10, const_cast<WCHAR*>(u"COMX5")};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&shortDestination, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortDestination.Length, 4);
    EXPECT_EQ(small, before);
}

TEST_F(RtlStringsTest, CopyTruncatesToTheDestinationAndCompareFoldsCaseOnRequest)
{
    std::array<WCHAR, 3> buffer{};
    UNICODE_STRING destination{0, sizeof buffer, buffer.data()};
    UNICODE_STRING source{8, 10, const_cast<WCHAR*>(u"COM5")};
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 6);
    EXPECT_EQ(std::u16string(buffer.data(), 3), u"COM");
    RtlCopyUnicodeString(&destination, nullptr);
    EXPECT_EQ(destination.Length, 0);

    UNICODE_STRING upper{8, 8, const_cast<WCHAR*>(u"COM5")};
    UNICODE_STRING lower{8, 8, const_cast<WCHAR*>(u"com5")};
    UNICODE_STRING longer{10, 10, const_cast<WCHAR*>(u"COM50")};
    EXPECT_EQ(RtlCompareUnicodeString(&upper, &lower, TRUE), 0);
    EXPECT_NE(RtlCompareUnicodeString(&upper, &lower, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&upper, &longer, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&longer, &lower, TRUE), 0);
}

}  // namespace
}  // namespace bulkcom_test
