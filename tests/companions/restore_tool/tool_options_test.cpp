#include "tool_options.h"

#include <gtest/gtest.h>

namespace {

std::optional<ToolOptions> parse(const std::vector<std::string>& args, std::string* error = nullptr) {
  std::string message;
  auto options = parseToolOptions(args, message);
  if (error != nullptr) {
    *error = message;
  }
  EXPECT_EQ(options.has_value(), message.empty()) << message;
  return options;
}

TEST(ToolOptions, ReadsTheAgentsCommandLines) {
  // The agent's templates put two blanks after -o; the shell hands over the
  // same words either way.
  auto info = parse({"--mbr-info", "/mnt/a b/Image_C/x.vhd.mbr"});
  ASSERT_TRUE(info);
  EXPECT_EQ(info->operation, ToolOperation::MbrInfo);
  EXPECT_EQ(info->input, "/mnt/a b/Image_C/x.vhd.mbr");

  auto mbr = parse({"--restore-mbr", "mbr.dat", "-o", "/dev/loop3"});
  ASSERT_TRUE(mbr);
  EXPECT_EQ(mbr->operation, ToolOperation::RestoreMbr);
  EXPECT_EQ(mbr->input, "mbr.dat");
  EXPECT_EQ(mbr->output, "/dev/loop3");

  auto image = parse({"--restore-image", "x.raw", "-o", "/dev/loop3p2"});
  ASSERT_TRUE(image);
  EXPECT_EQ(image->operation, ToolOperation::RestoreImage);
  EXPECT_EQ(image->output, "/dev/loop3p2");

  auto progress = parse({"--image-download-progress"});
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->operation, ToolOperation::ImageDownloadProgress);
}

TEST(ToolOptions, ReadsCreateImageInAnyOrder) {
  auto create = parse({"-o", "/b/x.vhd", "--device-number", "0", "--create-image", "--partition", "2", "--disk", "/dev/loop1"});
  ASSERT_TRUE(create);
  EXPECT_EQ(create->operation, ToolOperation::CreateImage);
  EXPECT_EQ(create->disk, "/dev/loop1");
  EXPECT_EQ(create->partition, 2);
  EXPECT_EQ(create->device_number, 0);
  EXPECT_EQ(create->output, "/b/x.vhd");
}

TEST(ToolOptions, RefusesIncompleteOrMixedCommandLines) {
  std::string error;
  EXPECT_FALSE(parse({}, &error));
  EXPECT_FALSE(parse({"--restore-mbr", "mbr.dat"}, &error));
  EXPECT_NE(error.find("-o"), std::string::npos);
  EXPECT_FALSE(parse({"--restore-image", "x.raw", "-o"}, &error));
  EXPECT_FALSE(parse({"--restore-image", "", "-o", "/dev/loop0p1"}, &error));
  EXPECT_FALSE(parse({"--restore-image", "x.raw", "-o", "/dev/a", "-o", "/dev/b"}, &error));
  EXPECT_FALSE(parse({"--restore-image", "x.raw", "--restore-mbr", "y", "-o", "/dev/a"}, &error));
  EXPECT_FALSE(parse({"--mbr-info", "x.mbr", "-o", "/dev/a"}, &error));
  EXPECT_FALSE(parse({"--mbr-info", "x.mbr", "stray"}, &error));
  EXPECT_FALSE(parse({"--image-download-progress", "--disk", "/dev/a"}, &error));
}

TEST(ToolOptions, CreateImageNeedsSoundNumbers) {
  const std::vector<std::string> base = {"--create-image", "--disk", "/dev/loop1", "-o", "x.raw"};
  auto with = [&](std::string partition, std::string device) {
    auto args = base;
    args.insert(args.end(), {"--partition", partition, "--device-number", device});
    return args;
  };
  EXPECT_TRUE(parse(with("1", "7")));
  EXPECT_FALSE(parse(with("0", "7")));
  EXPECT_FALSE(parse(with("1x", "7")));
  EXPECT_FALSE(parse(with("1", "-1")));
  EXPECT_FALSE(parse(with("99999999999", "0")));
  EXPECT_FALSE(parse({"--create-image", "--disk", "/dev/loop1", "--partition", "1", "-o", "x.raw"}));
}

}  // namespace
