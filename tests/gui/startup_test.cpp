// The program binary's start-up: the window needs a display, the screenshot does not.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QImage>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Result {
  int status;
  std::string out;
};

Result RunTandem(const std::string& envPrefix, const std::string& args) {
  std::string command = envPrefix + " '" TANDEM_BINARY "' " + args + " 2>&1";
  Result r{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buf[256];
  while (fgets(buf, sizeof buf, pipe)) r.out += buf;
  int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

const char* kNoDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";

TEST(Startup, WithoutADisplayPointsToHeadlessAndFails) {
  Result r = RunTandem(kNoDisplay, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("--headless"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

TEST(Startup, ScreenshotRendersTheWindowWithoutADisplay) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  std::string file = dir.filePath("window.png").toStdString();
  Result r = RunTandem(kNoDisplay, "--screenshot '" + file + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  QImage image(QString::fromStdString(file));
  ASSERT_FALSE(image.isNull());
  EXPECT_GE(image.width(), 385);
  EXPECT_LE(image.width(), 1366);
  EXPECT_LE(image.height(), 768);
}

TEST(Startup, ScreenshotIntoAnUnwritablePlaceFails) {
  Result r = RunTandem(kNoDisplay, "--screenshot /nonexistent-dir/x.png");
  EXPECT_EQ(r.status, 1) << r.out;
  Result missing = RunTandem(kNoDisplay, "--screenshot");
  EXPECT_NE(missing.status, 0) << missing.out;
}

}  // namespace
