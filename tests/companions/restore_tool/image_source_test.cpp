#include "image_source.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void patch(const fs::path& path, uint64_t offset, const std::string& bytes) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint64_t bigEndianAt(const std::string& bytes, size_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// Everything the source delivers, read in uneven pieces that cross block
// boundaries.
std::string readAll(ImageSource& source) {
  std::string all(static_cast<size_t>(source.size()), '\0');
  size_t piece = 777 * 1024;
  for (size_t at = 0; at < all.size(); at += piece) {
    std::string error;
    EXPECT_TRUE(source.readAt(at, all.data() + at, std::min(piece, all.size() - at), error)) << error;
  }
  return all;
}

// A raw image with data blocks, all-zero stretches (which a dynamic VHD leaves
// unallocated) and an odd number of sectors at the end.
class VhdImages : public ::testing::Test {
protected:
  void SetUp() override {
    raw_ = dir_.path() / "image.raw";
    content_.assign(9 * kMiB + 3 * 512, '\0');
    for (size_t at = 0; at < content_.size(); ++at) {
      const bool data = at < kMiB || (at >= 4 * kMiB && at < 4 * kMiB + 4096) || at >= 8 * kMiB;
      content_[at] = data ? static_cast<char>((at * 131 + at / 4096) % 251 + 1) : '\0';
    }
    std::ofstream(raw_, std::ios::binary) << content_;
  }

  fs::path convert(const std::string& subformat) {
    const fs::path vhd = dir_.path() / (subformat + ".vhd");
    const std::string command = "qemu-img convert -q -f raw -O vpc -o subformat=" + subformat + ",force_size=on '" +
                                raw_.string() + "' '" + vhd.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return vhd;
  }

  std::string readVhd(const fs::path& vhd, VhdReading reading, std::string* diagnostics = nullptr) {
    std::ostringstream captured;
    auto* previous = std::cerr.rdbuf(captured.rdbuf());
    std::string error;
    auto source = openVhdImage(vhd.string(), error, reading);
    std::cerr.rdbuf(previous);
    if (diagnostics != nullptr) {
      *diagnostics = captured.str();
    }
    EXPECT_TRUE(source) << error;
    return source ? readAll(*source) : std::string();
  }

  TempDir dir_;
  fs::path raw_;
  std::string content_;
};

TEST_F(VhdImages, DynamicAndFixedReadBackAsTheRawImage) {
  for (const char* subformat : {"dynamic", "fixed"}) {
    SCOPED_TRACE(subformat);
    const fs::path vhd = convert(subformat);
    std::string diagnostics;
    EXPECT_TRUE(readVhd(vhd, VhdReading::WholeBlocks, &diagnostics) == content_);
    EXPECT_EQ(diagnostics, "") << "whole-block reading was not used";
    EXPECT_TRUE(readVhd(vhd, VhdReading::LibvhdiOnly) == content_);
  }
}

TEST_F(VhdImages, BlockDataIsReadAsStoredWhateverTheBitmapSaysLikeLibvhdi) {
  const fs::path vhd = convert("dynamic");
  const std::string file = readFile(vhd);
  const uint64_t header_at = bigEndianAt(file, 16, 8);
  const uint64_t table_at = bigEndianAt(file, header_at + 16, 8);
  const uint64_t block0 = bigEndianAt(file, table_at, 4) * 512;
  ASSERT_NE(block0, 0xFFFFFFFFull * 512) << "the first block holds data";
  // Sectors 1 to 3 of the first block lose their bitmap bits; their bytes
  // stay in the file, and both readers still deliver them.
  patch(vhd, block0, std::string(1, static_cast<char>(0x8F)));
  EXPECT_TRUE(readVhd(vhd, VhdReading::LibvhdiOnly) == content_);
  EXPECT_TRUE(readVhd(vhd, VhdReading::WholeBlocks) == content_);

  // A block that the table places beyond the end of the file is an error,
  // not zeros.
  ASSERT_NE(bigEndianAt(file, table_at + 4 * 4, 4), 0xFFFFFFFFu) << "block 4 holds data";
  patch(vhd, table_at + 4 * 4, std::string("\x7f\x00\x00\x00", 4));
  std::string error;
  auto source = openVhdImage(vhd.string(), error, VhdReading::WholeBlocks);
  ASSERT_TRUE(source) << error;
  std::string block(2 * kMiB, '\0');
  EXPECT_FALSE(source->readAt(8 * kMiB, block.data(), block.size(), error));
  EXPECT_NE(error.find("ends inside block 4"), std::string::npos) << error;
}

TEST_F(VhdImages, StructuresItDoesNotTrustAreLeftToLibvhdi) {
  const fs::path vhd = convert("dynamic");
  // The footer copy at the start no longer matches its checksum; libvhdi
  // reads the one at the end.
  patch(vhd, 100, "x");
  std::string diagnostics;
  EXPECT_TRUE(readVhd(vhd, VhdReading::WholeBlocks, &diagnostics) == content_);
  EXPECT_NE(diagnostics.find("through libvhdi"), std::string::npos);
}

TEST(ImageFiles, FormatComesFromTheExtension) {
  EXPECT_EQ(imageFormatOf("/b/Image_C/x.raw"), ImageFormat::Raw);
  EXPECT_EQ(imageFormatOf("/b/Image_C/x.vhd"), ImageFormat::Vhd);
  EXPECT_EQ(imageFormatOf("/b/Image_C/X.VHD"), ImageFormat::Vhd);
  EXPECT_EQ(imageFormatOf("/b/dir.vhd/x"), ImageFormat::Unknown);
  EXPECT_EQ(imageFormatOf("/b/x.vhdx"), ImageFormat::Unknown);
  EXPECT_EQ(imageFormatOf("/b/x.img"), ImageFormat::Unknown);
}

TEST(ImageFiles, NonVhdDataNamedVhdIsRefused) {
  TempDir dir;
  const fs::path fake = dir.write("fake.vhd", std::string(4 * kMiB, 'x'));
  std::string error;
  EXPECT_FALSE(openImage(fake.string(), error));
  EXPECT_NE(error.find("not a readable VHD image"), std::string::npos) << error;
}

TEST(ImageFiles, RawImageReadsExactlyItsBytes) {
  TempDir dir;
  std::string bytes(3 * kMiB + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i % 253);
  }
  const fs::path raw = dir.write("x.raw", bytes);
  std::string error;
  auto source = openImage(raw.string(), error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->size(), bytes.size());
  EXPECT_TRUE(readAll(*source) == bytes);
  std::string tail(10, '\0');
  EXPECT_FALSE(source->readAt(bytes.size() - 5, tail.data(), tail.size(), error));
  EXPECT_NE(error.find("ended early"), std::string::npos);
}

}  // namespace
