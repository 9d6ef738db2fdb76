#include "base/punycode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(punycode, rfc3492_samples)
{
    // Arabic (Egyptian), Chinese (simplified), Czech, then labels mixing both kinds.
    EXPECT_EQ(base::punycode("\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648"
                             "\u0634\u0639\u0631\u0628\u064A\u061F"),
              "egbpdaj6bu4bxfgehfvwxn");
    EXPECT_EQ(base::punycode("\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587"),
              "ihqwcrb4cv8a8dqg056pqjye");
    EXPECT_EQ(base::punycode("Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky"), "Proprostnemluvesky-uyb24dma41a");
    EXPECT_EQ(base::punycode("3\u5E74B\u7D44\u91D1\u516B\u5148\u751F"), "3B-ww4c5e180e575a65lsy2b");
    EXPECT_EQ(base::punycode("\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS"),
              "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n");
    EXPECT_EQ(base::punycode("\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B" "2"), "2-u9tlzr9756bt3uc0v");
    EXPECT_EQ(base::punycode("\u30D1\u30D5\u30A3\u30FC" "de" "\u30EB\u30F3\u30D0"), "de-jg4avhby1noc0d");
}

TEST(punycode, labels)
{
    EXPECT_EQ(base::punycode(""), "");
    EXPECT_EQ(base::punycode("Example-COM"), "Example-COM");
    EXPECT_EQ(base::punycode("b\u00FCcher"), "bcher-kva");
    EXPECT_EQ(base::punycode("B\u00FCcher"), "Bcher-kva");
    EXPECT_EQ(base::punycode("\U0010FFFF"), "dn32g");
}

TEST(punycode, invalid_utf8_leaves_the_label_unchanged)
{
    for (const char* label : {"b\xfc" "cher", "\xc3", "a\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf"})
        EXPECT_EQ(base::punycode(label), label);
}

TEST(punycode, overflowing_delta_leaves_the_label_unchanged)
{
    // The first delta is (0x10FFFF - 128) * (basic count + 1): it fits 32 bits
    // with 3000 basic code points and does not with 4000.
    EXPECT_EQ(base::punycode(std::string(3000, 'a') + "\U0010FFFF"), std::string(3000, 'a') + "-7p74104y");
    std::string long_label = std::string(4000, 'a') + "\U0010FFFF";
    EXPECT_EQ(base::punycode(long_label), long_label);
}

}  // namespace
