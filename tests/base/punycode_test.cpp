#include "base/punycode.h"

#include <gtest/gtest.h>

#include <string>

// RFC 3492 samples, letter case kept, the highest code point.
TEST(punycode, encodes_labels)
{
    const std::pair<const char*, const char*> cases[] = {
        {"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
         "egbpdaj6bu4bxfgehfvwxn"},
        {"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
        {"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
        {"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
        {"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
        {"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B" "2", "2-u9tlzr9756bt3uc0v"},
        {"\u30D1\u30D5\u30A3\u30FC" "de" "\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
        {"b\u00FCcher", "bcher-kva"}, {"B\u00FCcher", "Bcher-kva"}, {"\U0010FFFF", "dn32g"},
        {"", ""}, {"Example-COM", "Example-COM"},
    };
    for (auto& [label, want] : cases)
        EXPECT_EQ(base::punycode(label), want) << want;
}

// Invalid UTF-8, or a first delta ((0x10FFFF - 128) * (basics + 1)) past 32 bits.
TEST(punycode, leaves_unencodable_labels_unchanged)
{
    for (const char* label : {"b\xfc" "cher", "\xc3", "a\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf"})
        EXPECT_EQ(base::punycode(label), label);
    EXPECT_EQ(base::punycode(std::string(3000, 'a') + "\U0010FFFF"), std::string(3000, 'a') + "-7p74104y");
    std::string long_label = std::string(4000, 'a') + "\U0010FFFF";
    EXPECT_EQ(base::punycode(long_label), long_label);
}
