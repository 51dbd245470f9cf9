#include "support/format.h"

#include <gtest/gtest.h>

#include <array>

TEST(FormatWide, IndexLinesAndMessages) {
    struct row {
        std::u16string format;
        std::u16string expected;
        std::int64_t number;
        std::u16string text;
    };
    const row rows[] = {
        {u"%9.9d:%s\n", u"000001500:a.jpg\n", 1500, u"a.jpg"},
        {u"%9.9d:%s\n", u"000000000:x\n", 0, u"x"},
        {u"%9.9d:%s\n", u"999999999:C:\\pics\\a:b.jpg\n", 999999999, u"C:\\pics\\a:b.jpg"},
        {u"%9.9d:%s\n", u"000000020:\xD83D\xDE00\n", 20, u"\xD83D\xDE00"},
    };
    for (const row& r : rows) {
        std::array<char16_t, 64> buffer{};
        const std::size_t needed = format_wide(buffer.data(), buffer.size(), r.format,
                                               {static_cast<std::int32_t>(r.number), r.text});
        EXPECT_EQ(std::u16string(buffer.data()), r.expected);
        EXPECT_EQ(needed, r.expected.size());
    }
}

TEST(FormatNarrow, SignedAndUnsignedReadTheSame32Bits) {
    char buffer[64];
    format_narrow(buffer, sizeof buffer, "%d|%u|%d", {-1, 4294967295u, 4294967295u});
    EXPECT_STREQ(buffer, "-1|4294967295|-1");
    format_narrow(buffer, sizeof buffer, "%d%%", {INT32_MIN});
    EXPECT_STREQ(buffer, "-2147483648%");
}

TEST(FormatWide, NeverWritesPastTheCapacity) {
    std::array<char16_t, 8> buffer;
    buffer.fill(u'#');
    const std::size_t needed = format_wide(buffer.data(), 5, u"server %dM", {10});
    EXPECT_EQ(needed, 10u);
    EXPECT_EQ(std::u16string(buffer.data()), u"serv");
    EXPECT_EQ(buffer[5], u'#');
    EXPECT_EQ(format_wide(buffer.data(), 0, u"abc", {}), 3u);
    EXPECT_EQ(buffer[0], u's');
}
