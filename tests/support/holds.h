// EXPECT_TRUE(Holds(text, part)): a check of a log or page for words, which shows the whole
// text when they are not there.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tamix::test {

inline ::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

} // namespace tamix::test
