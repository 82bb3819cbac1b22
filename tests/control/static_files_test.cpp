// The web page's files: what is served from the folder, and that nothing
// outside it ever is.
#include "control/static_files.h"

#include "common/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class StaticFiles : public ::testing::Test {
protected:
  void SetUp() override {
    dir.write("ui/index.html", "<!doctype html>page");
    dir.write("ui/app/main.js", "export {};");
    dir.write("ui/style.css", "body{}");
    dir.write("ui/notes.txt", "not a page file");
    dir.write("secret.html", "outside");
    dir.write("ui-other/index.html", "a sibling folder sharing the prefix");
    root = dir.path() / "ui";
  }

  StaticReply get(const std::string& target) { return serveStaticFile(root, "GET", target); }

  TempDir dir;
  std::filesystem::path root;
};

TEST_F(StaticFiles, ServesThePageAndItsFilesWithFixedTypes) {
  StaticReply index = get("/");
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.body, "<!doctype html>page");
  EXPECT_EQ(index.contentType, "text/html; charset=utf-8");
  EXPECT_EQ(get("/index.html?token=abc").body, index.body);

  const StaticReply script = get("/app/main.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
  EXPECT_EQ(get("/style.css").contentType, "text/css; charset=utf-8");
  EXPECT_EQ(get("/%61pp/main.js").body, "export {};");
}

TEST_F(StaticFiles, HeadTellsTheSizeWithoutTheBody) {
  const StaticReply head = serveStaticFile(root, "HEAD", "/style.css");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.size, 6u);
  EXPECT_TRUE(head.body.empty());
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "get"}) {
    EXPECT_EQ(serveStaticFile(root, method, "/").status, 405) << method;
  }
}

TEST_F(StaticFiles, NothingOutsideTheFolderIsReached) {
  std::filesystem::create_symlink(dir.path() / "secret.html", root / "link-out.html");
  std::filesystem::create_symlink(dir.path(), root / "up");
  std::filesystem::create_symlink(root / "style.css", root / "link-in.css");
  for (const std::string target :
       {"/../secret.html", "/%2e%2e/secret.html", "/%2E%2E%2Fsecret.html", "/app/../../secret.html",
        "/..%2fsecret.html", "/.%2e/secret.html", "/./index.html", "//secret.html", "/..\\secret.html",
        "/%5c..%5csecret.html", "/index.html%00.css", "/%zz", "index.html"}) {
    const StaticReply reply = get(target);
    EXPECT_NE(reply.status, 200) << target;
    EXPECT_TRUE(reply.body.empty()) << target;
  }
  EXPECT_EQ(get("/link-out.html").status, 404);
  EXPECT_EQ(get("/up/secret.html").status, 404);
  EXPECT_EQ(get("/up/ui-other/index.html").status, 404);
  EXPECT_EQ(get("/link-in.css").body, "body{}");
}

TEST_F(StaticFiles, UnknownKindsMissingFilesFoldersAndBigFilesAreNotServed) {
  EXPECT_EQ(get("/notes.txt").status, 404);
  EXPECT_EQ(get("/missing.js").status, 404);
  EXPECT_EQ(get("/app").status, 404);
  EXPECT_EQ(get("/app/").status, 400);
  std::filesystem::create_directory(root / "folder.js");
  EXPECT_EQ(get("/folder.js").status, 404);

  dir.write("ui/big.js", std::string(2000, 'x'));
  EXPECT_EQ(serveStaticFile(root, "GET", "/big.js", 1999).status, 404);
  EXPECT_EQ(serveStaticFile(root, "GET", "/big.js", 2000).body.size(), 2000u);

  EXPECT_EQ(serveStaticFile(dir.path() / "no-ui", "GET", "/").status, 404);
}

}  // namespace
