#include "base/find.h"

#include <gtest/gtest.h>

#include <string>

// Folds ASCII letters only, from the start position; nothing once switched off.
TEST(find, folds_ascii_letters_only)
{
    ASSERT_TRUE(base::find_case_insensitive());
    std::string head = "GET / HTTP/1.1\r\nHost: x\r\nCONTENT-Length: 5\r\n";
    EXPECT_EQ(base::find(head, "\r\ncontent-length"), 23u);
    EXPECT_EQ(base::find(head, "\r\nhost", 15), std::string::npos);
    EXPECT_EQ(base::find("abcABC", "BC", 2), 4u);
    EXPECT_EQ(base::find("\xc3\xa9", "\xc3\x89"), std::string::npos);
    EXPECT_EQ(base::find("[", "{"), std::string::npos);
    EXPECT_EQ(base::find("ab", "b", 100), std::string::npos);
    base::find_case_insensitive() = false;
    EXPECT_EQ(base::find("Host: host", "host"), 6u);
    base::find_case_insensitive() = true;
}
