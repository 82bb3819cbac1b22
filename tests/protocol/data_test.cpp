#include "protocol/data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string bytesOf(CWData& writer) {
  return writer.getDataPtr() == nullptr ? std::string() : std::string(writer.getDataPtr(), writer.getDataSize());
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 0x0F];
  }
  return out;
}

struct VarIntVector {
  int64_t value;
  const char* wire;
};

TEST(VarIntTest, EncodesTheKnownVectorsAndReadsThemBack) {
  const std::vector<VarIntVector> vectors = {
      {0, "00"},
      {127, "7F"},
      {128, "81 00"},
      {300, "82 2C"},
      {16383, "FF 7F"},
      {16384, "81 80 00"},
      {(int64_t{1} << 56) - 1, "FF FF FF FF FF FF FF 7F"},
      {int64_t{1} << 56, "80 C0 80 80 80 80 80 80 00"},
      {std::numeric_limits<int64_t>::min(), "C0 80 80 80 80 80 80 80 00"},  // 2^63
      {-1, "FF FF FF FF FF FF FF FF FF"},
  };
  for (const VarIntVector& v : vectors) {
    CWData writer;
    writer.addVarInt(v.value);
    const std::string wire = bytesOf(writer);
    EXPECT_EQ(hex(wire), v.wire) << "value " << v.value;

    // Trailing byte proves the reader consumes exactly the encoded bytes.
    const std::string input = wire + "\x55";
    CRData reader(input.data(), input.size());
    int64_t back = 12345;
    ASSERT_TRUE(reader.getVarInt(&back)) << "value " << v.value;
    EXPECT_EQ(back, v.value);
    EXPECT_EQ(reader.getStreampos(), wire.size());
  }
}

TEST(VarIntTest, LengthGrowsOneByteForEverySevenBits) {
  for (int bits = 1; bits <= 63; ++bits) {
    CWData writer;
    writer.addVarInt(int64_t{1} << (bits - 1));
    const size_t expected = bits <= 56 ? static_cast<size_t>((bits + 6) / 7) : 9;
    EXPECT_EQ(writer.getDataSize(), expected) << bits << " bits";
  }
}

TEST(VarIntTest, UnfinishedNumberFailsWithoutMoving) {
  const std::string lone = "\x81";
  CRData reader(lone.data(), lone.size());
  int64_t value = 7;
  EXPECT_FALSE(reader.getVarInt(&value));
  EXPECT_EQ(value, 7);
  EXPECT_EQ(reader.getLeft(), 1u);

  const std::string eightContinuations(8, '\x80');
  CRData longer(eightContinuations.data(), eightContinuations.size());
  EXPECT_FALSE(longer.getVarInt(&value));
  EXPECT_EQ(longer.getStreampos(), 0u);
}

TEST(FixedWidthTest, WritesLittleEndianWhateverTheHost) {
  CWData writer;
  writer.addInt(-2);
  writer.addUInt(0x01020304u);
  writer.addInt64(0x1122334455667788);
  writer.addUInt64(0x8877665544332211ULL);
  writer.addUShort(0xBEEF);
  writer.addChar('A');
  writer.addUChar(0xFE);
  writer.addFloat(1.0f);
  EXPECT_EQ(hex(bytesOf(writer)),
            "FE FF FF FF 04 03 02 01 88 77 66 55 44 33 22 11 11 22 33 44 55 66 77 88 EF BE 41 FE 00 00 80 3F");

  const std::string wire = bytesOf(writer);
  CRData reader(&wire);
  int i = 0;
  unsigned int u = 0;
  int64_t i64 = 0;
  unsigned short us = 0;
  char c = 0;
  unsigned char uc = 0;
  float f = 0;
  ASSERT_TRUE(reader.getInt(&i));
  ASSERT_TRUE(reader.getUInt(&u));
  ASSERT_TRUE(reader.getInt64(&i64));
  ASSERT_TRUE(reader.incrementPtr(8));  // no reader for the unsigned 64-bit value
  ASSERT_TRUE(reader.getUShort(&us));
  ASSERT_TRUE(reader.getChar(&c));
  ASSERT_TRUE(reader.getUChar(&uc));
  ASSERT_TRUE(reader.getFloat(&f));
  EXPECT_EQ(i, -2);
  EXPECT_EQ(u, 0x01020304u);
  EXPECT_EQ(i64, 0x1122334455667788);
  EXPECT_EQ(us, 0xBEEF);
  EXPECT_EQ(c, 'A');
  EXPECT_EQ(uc, 0xFE);
  EXPECT_EQ(f, 1.0f);
  EXPECT_EQ(reader.getLeft(), 0u);
}

TEST(FixedWidthTest, PointerValueRoundTrips) {
  int target = 0;
  CWData writer;
  writer.addVoidPtr(&target);
  ASSERT_EQ(writer.getDataSize(), 8u);
  CRData reader(writer.getDataPtr(), writer.getDataSize());
  void* back = nullptr;
  ASSERT_TRUE(reader.getVoidPtr(&back));
  EXPECT_EQ(back, &target);
}

TEST(FixedWidthTest, ShortInputFailsAndLeavesValueAndPosition) {
  const std::string three = "abc";
  CRData reader(three.data(), three.size());
  int value = 99;
  EXPECT_FALSE(reader.getInt(&value));
  EXPECT_EQ(value, 99);
  EXPECT_EQ(reader.getStreampos(), 0u);
  int64_t wide = 5;
  EXPECT_FALSE(reader.getInt64(&wide));
  EXPECT_EQ(wide, 5);

  const std::string four = "abcd";
  CRData exact(four.data(), four.size());
  EXPECT_TRUE(exact.getInt(&value));
  EXPECT_EQ(exact.getLeft(), 0u);
  char c = 'x';
  EXPECT_FALSE(exact.getChar(&c));
  EXPECT_EQ(c, 'x');
}

TEST(StringTest, EmptyStringIsFourZeroBytes) {
  CWData writer;
  writer.addString("");
  EXPECT_EQ(hex(bytesOf(writer)), "00 00 00 00");
  const std::string wire = bytesOf(writer);
  CRData reader(&wire);
  std::string value = "old";
  ASSERT_TRUE(reader.getStr(&value));
  EXPECT_EQ(value, "");
  EXPECT_EQ(reader.getStreampos(), 4u);
}

TEST(StringTest, BinaryContentRoundTrips) {
  const std::string content("a\0b\xff", 4);
  CWData writer;
  writer.addString(content);
  writer.addString("next");
  const std::string wire = bytesOf(writer);
  EXPECT_EQ(hex(wire.substr(0, 8)), "04 00 00 00 61 00 62 FF");
  CRData reader(&wire);
  std::string first;
  std::string second;
  ASSERT_TRUE(reader.getStr(&first));
  ASSERT_TRUE(reader.getStr(&second));
  EXPECT_EQ(first, content);
  EXPECT_EQ(second, "next");
}

TEST(StringTest, LengthLimitAndShortBodyFail) {
  // 10,485,761 bytes announced and present: still refused.
  CWData writer;
  writer.addUInt(CRData::maxStringLength + 1);
  std::string wire = bytesOf(writer) + std::string(CRData::maxStringLength + 1, 'x');
  CRData tooLong(&wire);
  std::string value = "kept";
  EXPECT_FALSE(tooLong.getStr(&value));
  EXPECT_EQ(value, "kept");

  // Exactly the limit is accepted.
  CWData atLimit;
  atLimit.addUInt(CRData::maxStringLength);
  wire = bytesOf(atLimit) + std::string(CRData::maxStringLength, 'y');
  CRData limit(&wire);
  ASSERT_TRUE(limit.getStr(&value));
  EXPECT_EQ(value.size(), CRData::maxStringLength);

  const std::string cut("\x05\x00\x00\x00" "abcd", 8);
  CRData shortBody(&cut);
  EXPECT_FALSE(shortBody.getStr(&value));
  EXPECT_EQ(shortBody.getStreampos(), 0u);
}

TEST(ReaderTest, PositionControls) {
  const std::string input = "0123456789";
  CRData reader(&input);
  reader.setStreampos(10);
  EXPECT_EQ(reader.getStreampos(), 10u);
  reader.setStreampos(11);
  EXPECT_EQ(reader.getStreampos(), 10u);
  reader.setStreampos(3);
  EXPECT_EQ(*reader.getCurrDataPtr(), '3');
  EXPECT_FALSE(reader.incrementPtr(8));
  EXPECT_EQ(reader.getStreampos(), 3u);
  EXPECT_TRUE(reader.incrementPtr(7));
  EXPECT_EQ(reader.getLeft(), 0u);
}

TEST(ReaderTest, CopyOutlivesTheSourceAndInputIsCutAtTheLimit) {
  CRData reader;
  EXPECT_EQ(reader.getSize(), 0u);
  {
    std::string source = "abcd";
    reader.set(source.data(), source.size(), true);
    source.assign("zzzz");
  }
  EXPECT_NE(reader.getDataPtr(), nullptr);
  EXPECT_EQ(std::string(reader.getDataPtr(), 4), "abcd");

  const std::string huge(CRData::maxLength + 10, 'h');
  CRData cut(huge.data(), huge.size(), false);
  EXPECT_EQ(cut.getSize(), CRData::maxLength);
}

TEST(WriterTest, EmptyOrClearedWriterHasNoData) {
  CWData writer;
  EXPECT_EQ(writer.getDataPtr(), nullptr);
  writer.addBuffer("xyz", 3);
  EXPECT_EQ(bytesOf(writer), "xyz");
  writer.clear();
  EXPECT_EQ(writer.getDataPtr(), nullptr);
  EXPECT_EQ(writer.getDataSize(), 0u);
}

}  // namespace
