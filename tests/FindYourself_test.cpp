#include "FindYourself.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "test_util.h"

namespace {

// Programs, directories and links under a temporary directory T, with the
// current directory T/home/u. "$" in names and results stands for T.
class FindYourself : public ::testing::Test {
 protected:
  testutil::TempDir tmp;
  std::string T, savedPath;
  std::optional<testutil::ChangeDir> cwd;
  bool hadPath = false;

  void SetUp() override {
    T = tmp.path();
    program("opt/k/bin/prog", 0700);
    program("home/u/prog", 0700);
    program("home/u/bin/prog", 0700);
    program("noexec/prog", 0655);     // group and other may, the owner not
    program("ownerexec/prog", 0100);  // only the owner may
    program("nox/prog", 0644);        // nobody may, root neither
    std::filesystem::create_directories(tmp / "usr/bin");
    std::filesystem::create_directories(tmp / "dirs/prog");
    std::filesystem::create_directories(tmp / "usr/local/bin");
    link(T + "/opt/k/bin/prog", "usr/local/bin/prog");
    link("../../../opt/k/bin/prog", "usr/local/bin/rprog");
    std::filesystem::create_directories(tmp / "chain");
    link("b", "chain/a");
    link("../opt/k/bin/prog", "chain/b");
    std::filesystem::create_directories(tmp / "cycle");
    link("prog", "cycle/prog");
    // A target the kernel resolves but that is too long to join to the
    // link's directory within the system's limit.
    std::string far;
    while (far.size() < 4070) far += "./";
    std::filesystem::create_directories(tmp / "longlink");
    link(far + "../opt/k/bin/prog", "longlink/prog");

    cwd.emplace(tmp / "home/u");
    setCurDirectory((tmp / "home/u").c_str());
    const char* path = getenv("PATH");
    hadPath = path != nullptr;
    if (hadPath) savedPath = path;
    if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
  }
  void TearDown() override {
    cwd.reset();
    if (hadPath)
      setenv("PATH", savedPath.c_str(), 1);
    else
      unsetenv("PATH");
  }

  void program(const std::string& rel, mode_t mode) {
    testutil::writeText(tmp / rel, "#!/bin/sh\n");
    ASSERT_EQ(chmod((tmp / rel).c_str(), mode), 0);
  }
  void link(const std::string& target, const std::string& rel) { tmp.link(target, rel); }
  std::string expand(const std::string& s) const { return tmp.expand(s); }
  void setPath(const char* path) {
    if (path == nullptr)
      unsetenv("PATH");
    else
      setenv("PATH", expand(path).c_str(), 1);
  }
};

struct Found {
  const char* command;
  const char* path;  // PATH, "$" expanded; null: absent
  const char* runDirectory;
  const char* commandName;
};

TEST_F(FindYourself, FindsTheProgramFile) {
  const Found rows[] = {
      {"$/opt/k/bin/prog", nullptr, "$/opt/k/bin", "prog"},
      {"bin/prog", nullptr, "$/home/u/bin", "prog"},
      {"./bin/prog", nullptr, "$/home/u/./bin", "prog"},
      {"../u/prog", nullptr, "$/home/u/../u", "prog"},
      {"prog", "$/usr/bin:$/opt/k/bin", "$/opt/k/bin", "prog"},
      {"prog", nullptr, "$/home/u", "prog"},
      {"prog", "", "$/home/u", "prog"},
      {"prog", ".", "$/home/u", "prog"},
      {"prog", "bin", "$/home/u/bin", "prog"},
      {"prog", ":$/opt/k/bin", "$/home/u/", "prog"},
      {"prog", "$/usr/bin::$/opt/k/bin", "$/home/u/", "prog"},
      {"prog", "$/usr/bin:", "$/home/u/", "prog"},  // ":" at the end, too
      {"prog", "$/dirs:$/nox:$/opt/k/bin", "$/opt/k/bin", "prog"},
      {"prog", "$/ownerexec", "$/ownerexec", "prog"},
      {"prog", "$/usr/local/bin", "$/opt/k/bin", "prog"},
      {"rprog", "$/usr/local/bin", "$/usr/local/bin/../../../opt/k/bin", "rprog"},
      {"a", "$/chain", "$/chain/../opt/k/bin", "a"},
      {"$/chain/a", nullptr, "$/chain/../opt/k/bin", "a"},
      {"prog", "$/cycle:$/longlink:$/opt/k/bin", "$/opt/k/bin", "prog"},
  };
  for (const Found& row : rows) {
    setPath(row.path);
    initFindRunDirectory(expand(row.command).c_str());
    EXPECT_EQ(getRunDirectory(), expand(row.runDirectory))
        << row.command << " with PATH " << (row.path ? row.path : "(absent)");
    EXPECT_STREQ(getCommandName(), row.commandName) << row.command;
    EXPECT_EQ(getCurDirectory(), tmp / "home/u");
  }
}

TEST_F(FindYourself, OverlongPathAndElementsArePassedOver) {
  const std::string longAbsolute = "/" + std::string(5000, 'x');
  const std::string longRelative(4100, 'y');
  for (const std::string& first : {longAbsolute, longRelative}) {
    setenv("PATH", (first + ":" + T + "/opt/k/bin").c_str(), 1);
    initFindRunDirectory("prog");
    EXPECT_EQ(getRunDirectory(), T + "/opt/k/bin");
  }
}

// Execute permission as the kernel grants it to this process: the owner
// needs the owner bit, root any execute bit.
TEST_F(FindYourself, TakesWhatTheCallerMayExecute) {
  const bool root = geteuid() == 0;
  setPath("$/noexec:$/ownerexec");
  initFindRunDirectory("prog");
  EXPECT_EQ(getRunDirectory(), T + (root ? "/noexec" : "/ownerexec"));
}

TEST_F(FindYourself, RecordedCurrentDirectoryStands) {
  setPath(nullptr);
  initFindRunDirectory("prog");
  ASSERT_EQ(chdir(T.c_str()), 0);
  EXPECT_EQ(getCurDirectory(), T + "/home/u");
  setCurDirectory((tmp / "opt/k").c_str());
  EXPECT_EQ(getCurDirectory(), T + "/opt/k");
  setCurDirectory(getCurDirectory());  // its own string back
  EXPECT_EQ(getCurDirectory(), T + "/opt/k");
  initFindRunDirectory("bin/prog");  // joined to the recorded directory
  EXPECT_EQ(getRunDirectory(), T + "/opt/k/bin");
}

TEST_F(FindYourself, FailuresEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    const char* command;
    const char* path;
  } rows[] = {
      {"", nullptr},           {"nope", nullptr},
      {"prog", "$/usr/bin"},   {"prog", "$/dirs"},  // a directory
      {"prog", "$/nox"},                            // no execute bit at all
      {"$/nox/prog", nullptr}, {"prog", "$/cycle"},
      {"prog", "$/longlink"},  {"$/usr/bin/prog", nullptr},
      {"bin/nope", nullptr},
  };
  for (const auto& row : rows) {
    setPath(row.path);
    EXPECT_EXIT(initFindRunDirectory(expand(row.command).c_str()), ::testing::ExitedWithCode(1),
                "^initFindRunDirectory\\(\\) failed\n$")
        << row.command;
  }
}

TEST(FindYourselfUninitialised, AccessorsEndTheProcess) {
  // Each death test starts the test program afresh, so the module has not
  // been initialised there whatever ran before in this process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(getRunDirectory(), ::testing::ExitedWithCode(1),
              "^getRunDirectory\\(\\) called without initFindRunDirectory\\(\\) "
              "being called first\n$");
  EXPECT_EXIT(getCommandName(), ::testing::ExitedWithCode(1),
              "^getCommandName\\(\\) called without initFindRunDirectory\\(\\) "
              "being called first\n$");
}

}  // namespace
