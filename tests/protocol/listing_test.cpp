#include "protocol/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(ClientListTest, NamesAreTrimmedAndListedOnce) {
  const auto clients = parseBackupclients("1|alpha\n|beta\n| alpha \nno bar here\n|\t\n7|gamma|x");
  EXPECT_EQ(clients, (std::vector<std::string>{"alpha", "beta", "gamma|x"}));
}

TEST(ClientListTest, StatusCharacterIsDropped) {
  // The first character is a status, even when it looks like part of a line.
  EXPECT_EQ(parseBackupclients("|first\n|second"), (std::vector<std::string>{"second"}));
  EXPECT_TRUE(parseBackupclients("1").empty());
  EXPECT_TRUE(parseBackupclients("").empty());
}

TEST(ImageListTest, ImagesWithLettersAndAssociatedImages) {
  const auto images = parseBackupimages("1#|9|9|orphan\n5|200|2017-07-14 02:40|C\n#|6|200|2017-07-14 02:41\n"
                                        "7|300|2017-07-15 01:00\n8|x|date|SYSVOL");
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0].image_id, 5);
  EXPECT_EQ(images[0].backup_time, 200);
  EXPECT_EQ(images[0].backup_date, "2017-07-14 02:40");
  EXPECT_EQ(images[0].letter, "C");
  ASSERT_EQ(images[0].associated.size(), 1u);
  EXPECT_EQ(images[0].associated[0].image_id, 6);
  EXPECT_EQ(images[0].associated[0].backup_date, "2017-07-14 02:41");
  EXPECT_EQ(images[0].associated[0].letter, "");
  EXPECT_EQ(images[1].image_id, 7);
  EXPECT_EQ(images[1].letter, "");
  EXPECT_EQ(images[2].backup_time, 0);  // malformed number reads as 0, line kept
  EXPECT_EQ(images[2].letter, "SYSVOL");
}

TEST(ImageListTest, LinesWithTwoOrFiveFieldsAreSkipped) {
  const auto images = parseBackupimages("1a|b\n1|2|3|4|5\n3|4|date");
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].image_id, 3);
}

TEST(ImageListTest, SortingPutsNewestFirstAndCopiesAreDeep) {
  std::vector<SImage> images(3);
  images[0].backup_time = 10;
  images[1].backup_time = 30;
  images[2].backup_time = 20;
  images[1].associated.push_back(images[0]);
  std::sort(images.begin(), images.end());
  EXPECT_EQ(images[0].backup_time, 30);
  EXPECT_EQ(images[1].backup_time, 20);
  EXPECT_EQ(images[2].backup_time, 10);

  SImage copy = images[0];
  copy.associated[0].backup_time = 99;
  EXPECT_EQ(images[0].associated[0].backup_time, 10);
}

}  // namespace
