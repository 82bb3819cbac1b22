#include "protocol/mbr_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Builds records field by field with the writer, the way the service does.
struct RecordBuilder {
  CWData w;
  explicit RecordBuilder(unsigned char version) {
    w.addUChar(0xAA);  // leading byte, ignored
    w.addUChar(version);
    w.addInt(3);
    w.addInt(-1);
    w.addString("SER123");
    w.addString("SYSVOL");
    w.addString("NTFS");
    w.addString(std::string(512, '\x55'));
  }
  void addGpt(size_t headerSize, size_t entriesSize) {
    w.addInt64(512);
    w.addString(std::string(headerSize, 'h'));
    w.addInt64(1024);
    w.addString(std::string(entriesSize, 'e'));
    w.addInt64(1000000);
    w.addString(std::string(entriesSize, 'E'));
    w.addInt64(2000000);
    w.addString(std::string(headerSize, 'H'));
  }
  std::string bytes() const { return std::string(w.getDataPtr(), w.getDataSize()); }
};

TEST(MbrRecordTest, VersionZeroWithoutErrorText) {
  RecordBuilder record(0);
  const std::string bytes = record.bytes();
  CRData reader(&bytes);
  const SMBRData data(reader);
  EXPECT_FALSE(data.decode_failed);
  EXPECT_FALSE(data.is_gpt);
  EXPECT_EQ(data.version, 0);
  EXPECT_EQ(data.device_number, 3);
  EXPECT_EQ(data.partition_number, -1);
  EXPECT_EQ(data.serial_number, "SER123");
  EXPECT_EQ(data.volume_name, "SYSVOL");
  EXPECT_EQ(data.fsn, "NTFS");
  EXPECT_EQ(data.mbr_data, std::string(512, '\x55'));
  EXPECT_EQ(data.errmsg, "");
  EXPECT_EQ(data.infoString(),
            "version=0\ndevice_number=3\npartition_number=-1\nserial_number=SER123\nvolume_name=SYSVOL\n"
            "fsn=NTFS\nmbr_data (512 bytes)\n");
}

TEST(MbrRecordTest, VersionOneCarriesGptRegionsAndErrorText) {
  RecordBuilder record(1);
  record.addGpt(92, 16384);
  record.w.addString("disk was busy");
  const std::string bytes = record.bytes();
  CRData reader(&bytes);
  const SMBRData data(reader);
  ASSERT_FALSE(data.decode_failed);
  EXPECT_TRUE(data.is_gpt);
  EXPECT_EQ(data.header_offset, 512);
  EXPECT_EQ(data.header_bytes.size(), 92u);
  EXPECT_EQ(data.entries_offset, 1024);
  EXPECT_EQ(data.entries_bytes, std::string(16384, 'e'));
  EXPECT_EQ(data.region3_offset, 1000000);
  EXPECT_EQ(data.region3_bytes, std::string(16384, 'E'));
  EXPECT_EQ(data.region4_offset, 2000000);
  EXPECT_EQ(data.region4_bytes, std::string(92, 'H'));
  EXPECT_EQ(data.errmsg, "disk was busy");
  const std::string info = data.infoString();
  EXPECT_NE(info.find("\ngpt_data (16476 bytes)\n"), std::string::npos);
  EXPECT_TRUE(info.ends_with("\nerrmsg=disk was busy\n"));
}

TEST(MbrRecordTest, TruncationInsideTheRecordFailsAtEveryCut) {
  RecordBuilder record(1);
  record.addGpt(92, 128);
  const std::string full = record.bytes();
  // Every cut short of the complete GPT part must fail; the error text after
  // it is optional, so the full record must not.
  for (size_t cut = 0; cut < full.size(); ++cut) {
    const std::string part = full.substr(0, cut);
    CRData reader(&part);
    EXPECT_TRUE(SMBRData(reader).decode_failed) << "cut at " << cut;
  }
  CRData reader(&full);
  EXPECT_FALSE(SMBRData(reader).decode_failed);
}

TEST(MbrRecordTest, CutErrorTextIsNotAnError) {
  RecordBuilder record(0);
  record.w.addUInt(50);
  record.w.addBuffer("partial", 7);
  const std::string bytes = record.bytes();
  CRData reader(&bytes);
  const SMBRData data(reader);
  EXPECT_FALSE(data.decode_failed);
  EXPECT_EQ(data.errmsg, "");
}

TEST(MbrRecordTest, VersionTwoFailsEvenWhenWellFormed) {
  RecordBuilder record(2);
  record.addGpt(92, 128);
  const std::string bytes = record.bytes();
  CRData reader(&bytes);
  const SMBRData data(reader);
  EXPECT_TRUE(data.decode_failed);
  EXPECT_EQ(data.device_number, 0);  // nothing after the version was taken
}

TEST(MbrRecordTest, DecodesFromTheReadersCurrentPosition) {
  RecordBuilder record(0);
  const std::string bytes = "prefix" + record.bytes();
  CRData reader(&bytes);
  reader.setStreampos(6);
  EXPECT_FALSE(SMBRData(reader).decode_failed);
}

}  // namespace
