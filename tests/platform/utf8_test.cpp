#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8, DecodesTextAndKeepsEveryOtherByte) {
    struct row {
        std::string bytes;
        std::u16string units;
    };
    const row rows[] = {
        {"", u""},
        {"a.jpg", u"a.jpg"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xF0\x9F\x98\x80.png", u"\xD83D\xDE00.png"},  // outside the BMP: a surrogate pair
        {"\xFF", u"\xDCFF"},
        {"\xC3", u"\xDCC3"},                                // a sequence cut short
        {"\xC0\xAF", u"\xDCC0\xDCAF"},                      // overlong form of '/'
        {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // past U+10FFFF
        {"a\x80z", u"a\xDC80z"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(utf8_to_utf16(r.bytes), r.units) << r.bytes;
        EXPECT_EQ(utf16_to_utf8(r.units), r.bytes) << r.bytes;
    }
}

TEST(Utf8, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int i = 1; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += "\xE2\x82";  // a cut sequence at the very end
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(all)), all);
}

TEST(Utf8, LoneSurrogatesOutsideTheEscapesAreNotDropped) {
    const std::u16string lone = u"\xD800x\xDC00";
    EXPECT_EQ(utf16_to_utf8(lone), "\xED\xA0\x80x\xED\xB0\x80");
}
