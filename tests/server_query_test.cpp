#include "server/index/query.h"

#include <gtest/gtest.h>

namespace tamix::server {
namespace {

const std::string kAll = "{title abstract authors} : ";

TEST(Query, PubmedSyntaxBecomesQuotedFts) {
    EXPECT_EQ(BuildMatch("heart"), kAll + "\"heart\"");
    EXPECT_EQ(BuildMatch("heart failure"), "(" + kAll + "\"heart\" AND " + kAll + "\"failure\")");
    EXPECT_EQ(BuildMatch("\"heart failure\""), kAll + "\"heart failure\"");
    EXPECT_EQ(BuildMatch("a OR b NOT c"),
              "(" + kAll + "\"a\" OR (" + kAll + "\"b\" NOT " + kAll + "\"c\"))");
    EXPECT_EQ(BuildMatch("(a OR b) AND c"),
              "((" + kAll + "\"a\" OR " + kAll + "\"b\") AND " + kAll + "\"c\")");
    EXPECT_EQ(BuildMatch("canc*"), kAll + "\"canc\" *");
    EXPECT_EQ(BuildMatch("IL-6"), kAll + "\"IL-6\"");
    EXPECT_EQ(BuildMatch("Müller"), kAll + "\"Müller\"");
}

TEST(Query, FieldTags) {
    EXPECT_EQ(BuildMatch("heart failure[ti]"), "title : \"heart failure\"");
    EXPECT_EQ(BuildMatch("\"heart failure\"[Title/Abstract]"),
              "{title abstract} : \"heart failure\"");
    EXPECT_EQ(BuildMatch("smith j[au]"), "authors : \"smith j\"");
    EXPECT_EQ(BuildMatch("12345[pmid]"), "tags : \"p12345\"");
    EXPECT_EQ(BuildMatch("00012345[pmid]"), "tags : \"p12345\"");
    EXPECT_EQ(BuildMatch("2019:2021[dp]"), "tags : (\"y2019\" OR \"y2020\" OR \"y2021\")");
    EXPECT_EQ(BuildMatch("cancer AND 2020/03[dp]"),
              "(" + kAll + "\"cancer\" AND tags : (\"y2020\"))");
}

TEST(Query, WhatDoesNotParseIsSearchedAsPlainWords) {
    EXPECT_EQ(BuildMatch("(heart failure"), kAll + "\"heart\" AND " + kAll + "\"failure\"");
    EXPECT_EQ(BuildMatch("heart[zz]"), kAll + "\"heart\" AND " + kAll + "\"zz\"");
    EXPECT_EQ(BuildMatch("AND heart"), kAll + "\"AND\" AND " + kAll + "\"heart\"");
    EXPECT_EQ(BuildMatch("\"open phrase"), kAll + "\"open\" AND " + kAll + "\"phrase\"");
    EXPECT_EQ(BuildMatch("2020:1990[dp]"),
              kAll + "\"2020\" AND " + kAll + "\"1990\" AND " + kAll + "\"dp\"");
    EXPECT_EQ(BuildMatch(""), "");
    EXPECT_EQ(BuildMatch("  ---  "), "");
    EXPECT_EQ(BuildMatch("*"), "");
    // FTS5's own syntax is only ever text inside quotes.
    EXPECT_EQ(BuildMatch("NEAR(a b)"),
              "(" + kAll + "\"NEAR\" AND (" + kAll + "\"a\" AND " + kAll + "\"b\"))");
    EXPECT_EQ(BuildMatch("title:x"), kAll + "\"title:x\"");
    EXPECT_EQ(BuildMatch("a\"\"b"), "(" + kAll + "\"a\" AND " + kAll + "\"b\")");
}

} // namespace
} // namespace tamix::server
