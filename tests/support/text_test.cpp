#include "support/text.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"

using Lines = std::vector<std::string>;

TEST(Split, DropsEmptyPiecesAndKeepsTheLastOne) {
  EXPECT_EQ(split("", ','), Lines{});
  EXPECT_EQ(split(",,,", ','), Lines{});
  EXPECT_EQ(split(",a,,b", ','), (Lines{"a", "b"}));
  EXPECT_EQ(split("a\r\nb", '\n'), (Lines{"a\r", "b"}));
}

TEST(Tokenize, EmptyFieldsBecomeOneBlankAndTrailingSeparatorAddsNothing) {
  Lines tokens;
  Tokenize("a,,b,", tokens, ",");
  EXPECT_EQ(tokens, (Lines{"a", " ", "b"}));
}

TEST(Tokenize, QuotedSectionKeepsSeparatorsAndTheFollowingSeparatorIsAnEmptyField) {
  Lines tokens;
  Tokenize("x,\"a,b\",c", tokens, ",");
  // After the quoted token, the comma behind the closing quote counts as an empty field.
  EXPECT_EQ(tokens, (Lines{"x", "\"a,b\"", " ", "c"}));
}

TEST(Tokenize, QuoteAtTheVeryStartDoesNotOpenASection) {
  Lines tokens;
  Tokenize("\"a,b\"", tokens, ",");
  EXPECT_EQ(tokens, (Lines{"\"a", "b\""}));
}

TEST(Tokenize, UnclosedQuoteRunsToTheEnd) {
  Lines tokens;
  Tokenize("x,y\"a,b", tokens, ",");
  EXPECT_EQ(tokens, (Lines{"x", "y\"a,b"}));
}

TEST(Tokenize, RemovesEmptyEntriesThatWereAlreadyInTheList) {
  Lines tokens{"", "kept"};
  Tokenize("a", tokens, ",");
  EXPECT_EQ(tokens, (Lines{"kept", "a"}));
}

TEST(TokenizeMail, KeepsEmptyFieldsAndIgnoresSeparatorsAfterAZeroByte) {
  Lines tokens;
  TokenizeMail("a,,b,", tokens, ",");
  EXPECT_EQ(tokens, (Lines{"a", "", "b"}));

  Lines lines{"old"};
  TokenizeMail("a\nb\n\nc", lines, std::string("\n\0,", 3));
  EXPECT_EQ(lines, (Lines{"old", "a", "b", "", "c"}));
}

TEST(Extractors, MissingDelimitersGiveEmptyText) {
  EXPECT_EQ(getbetween("NAME=\"", "\"", "NAME=\"/dev/sda\" TYPE=\"disk\""), "/dev/sda");
  EXPECT_EQ(getbetween("NAME=\"", "\"", "NAME=\"/dev/sda"), "");
  EXPECT_EQ(getbetween("X=", "\"", "NAME=\"a\""), "");
  EXPECT_EQ(getbetween("a=", "\n", "a=1\r\nb=2\n"), "1");
  EXPECT_EQ(getbetween("b=", "\n", "a=1\r\nb=2\n"), "2");
  EXPECT_EQ(getuntil("|", "abc"), "");
  EXPECT_EQ(getuntil("|", "ab|c|d"), "ab");
  EXPECT_EQ(getafter("|", "ab|c|d"), "c|d");
  EXPECT_EQ(getafterinc("|", "ab|c"), "|c");
  EXPECT_EQ(getafter("|", "abc"), "");
  EXPECT_EQ(getafterinc("|", "abc"), "");
}

TEST(Replace, DoesNotRescanTheReplacement) {
  EXPECT_EQ(greplace(":", "\\:", "259:3"), "259\\:3");
  EXPECT_EQ(greplace("a", "aa", "aXa"), "aaXaa");
  std::string path = "/dev/sda /dev/sdb";
  string_Replace(path, "/dev/", "");
  EXPECT_EQ(path, "sda sdb");
  std::string unchanged = "abc";
  string_Replace(unchanged, "", "x");
  EXPECT_EQ(unchanged, "abc");
}

TEST(Trim, Trim2KeepsCarriageReturns) {
  EXPECT_EQ(trim(" \t a b\r\n"), "a b");
  EXPECT_EQ(trim2(" \t a b\r\n"), "a b\r");
  EXPECT_EQ(trim(" \r\n\t"), "");
  EXPECT_EQ(trim2(""), "");
}

TEST(Hex, SkipsForeignCharactersAndIgnoresAnOddTail) {
  EXPECT_EQ(hexToULong("FF"), 255u);
  EXPECT_EQ(hexToULong("ff"), 255u);
  EXPECT_EQ(hexToULong("0x1A"), 26u);
  EXPECT_EQ(hexToULong(""), 0u);
  EXPECT_EQ(hexToULong("1ffffffffffffffff"), 0xffffffffffffffffu);  // wraps
  EXPECT_EQ(hexToBytes("abc"), std::string("\xab", 1));
  EXPECT_EQ(hexToBytes(""), "");
  EXPECT_EQ(hexToBytes("00ff10"), std::string("\x00\xff\x10", 3));
}

TEST(Lower, AsciiAndUtf8AndStopsAtInvalidUtf8) {
  EXPECT_EQ(strlower("ABC def 09"), "abc def 09");
  // Without a locale only ASCII letters change, but the text stays valid UTF-8.
  EXPECT_EQ(strlower("AB\xc3\x84"), "ab\xc3\x84");
  EXPECT_EQ(strlower("AB\xff" "CD"), "ab");
}

TEST(ExtractFileName, LastComponentWithOneTrailingSeparatorSkipped) {
  EXPECT_EQ(ExtractFileName("/dev/sda", "/\\"), "sda");
  EXPECT_EQ(ExtractFileName("/dev/sda/", "/\\"), "sda");
  EXPECT_EQ(ExtractFileName("/dev/sda//", "/\\"), "");
  EXPECT_EQ(ExtractFileName("C:\\img\\x.vhd", "/\\"), "x.vhd");
  EXPECT_EQ(ExtractFileName("plain", "/\\"), "plain");
}

TEST(Files, GetFileAndFileExists) {
  TempDir dir;
  const std::string bytes("a\0b\nc", 5);
  const auto path = dir.write("f.bin", bytes);
  EXPECT_TRUE(FileExists(path.string()));
  EXPECT_EQ(getFile(path.string()), bytes);
  EXPECT_FALSE(FileExists((dir.path() / "missing").string()));
  EXPECT_EQ(getFile((dir.path() / "missing").string()), "");
}

TEST(Files, GetFileOfASysfsValueReadsAsANumber) {
  const std::string value = getFile("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
  if (value.empty()) {
    GTEST_SKIP() << "no sysfs value to read here";
  }
  EXPECT_GT(std::stoll(value), 0);
}

TEST(Convert, DecimalTextAsStreamsWriteIt) {
  EXPECT_EQ(convert(true), "true");
  EXPECT_EQ(convert(false), "false");
  EXPECT_EQ(convert(-42), "-42");
  EXPECT_EQ(convert(9223372036854775807LL), "9223372036854775807");
  EXPECT_EQ(convert(18446744073709551615ULL), "18446744073709551615");
}
