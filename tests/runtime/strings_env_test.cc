// Environment expansion: set and unset variables, empty and unclosed references, and output
// areas too small for the expansion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "qm7/runtime/strings.h"

namespace {

// Sets or unsets a variable for one test and puts the old state back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

TEST(ExpandEnv, SetAndUnsetVariables) {
  char out[32];
  {
    ScopedEnv home("HOME", "/h");
    EXPECT_EQ(ExpandEnvironmentStringsA("x%HOME%y", out, sizeof out), 4);
    EXPECT_STREQ(out, "x/hy");
  }
  {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(ExpandEnvironmentStringsA("x%HOME%y", out, sizeof out), 2);
    EXPECT_STREQ(out, "xy");
  }
}

TEST(ExpandEnv, EmptyUnclosedAndRepeatedReferences) {
  ScopedEnv a("QM7_TEST_A", "1");
  ScopedEnv b("QM7_TEST_B", "22");
  ScopedEnv empty("QM7_TEST_EMPTY", "");
  char out[64];
  EXPECT_EQ(ExpandEnvironmentStringsA("100%%", out, sizeof out), 3);  // "%%" yields nothing
  EXPECT_STREQ(out, "100");
  EXPECT_EQ(ExpandEnvironmentStringsA("%QM7_TEST_A%%QM7_TEST_B%", out, sizeof out), 3);
  EXPECT_STREQ(out, "122");
  EXPECT_EQ(ExpandEnvironmentStringsA("<%QM7_TEST_EMPTY%>", out, sizeof out), 2);
  EXPECT_STREQ(out, "<>");
  EXPECT_EQ(ExpandEnvironmentStringsA("a%QM7_TEST_B", out, sizeof out), 3);  // runs to the end
  EXPECT_STREQ(out, "a22");
  EXPECT_EQ(ExpandEnvironmentStringsA("a%", out, sizeof out), 1);
  EXPECT_STREQ(out, "a");
  EXPECT_EQ(ExpandEnvironmentStringsA("", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(ExpandEnv, TooSmallOutputIsCutAndTerminated) {
  ScopedEnv home("HOME", "/home/someone");
  char out[16];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(ExpandEnvironmentStringsA("x%HOME%y", out, 6), 5);
  EXPECT_EQ(std::string(out, 7), std::string("x/hom\0#", 7));

  std::memset(out, '#', sizeof out);
  EXPECT_EQ(ExpandEnvironmentStringsA("abcdef", out, 3), 2);  // plain characters are cut too
  EXPECT_EQ(std::string(out, 4), std::string("ab\0#", 4));

  std::memset(out, '#', sizeof out);
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", out, 1), 0);
  EXPECT_EQ(std::string(out, 2), std::string("\0#", 2));

  std::memset(out, '#', sizeof out);
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", out, 0), 0);
  EXPECT_EQ(out[0], '#');

  std::memset(out, '#', sizeof out);
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", out, 8), 3);
  EXPECT_EQ(std::string(out, 9), std::string("abc\0\0\0\0\0#", 9));  // logSize bytes cleared
}

TEST(ExpandEnv, InputBeyond2047CharactersIsIgnored) {
  const std::string input(3000, 'a');
  std::string out(4096, '#');
  EXPECT_EQ(ExpandEnvironmentStringsA(input.c_str(), out.data(), 4096), 2047);
  EXPECT_EQ(std::strlen(out.c_str()), 2047u);

  // A long name is looked up whole; an unset one vanishes without harm.
  const std::string long_ref = "x%" + std::string(200, 'N') + "%y";
  EXPECT_EQ(ExpandEnvironmentStringsA(long_ref.c_str(), out.data(), 4096), 2);
  EXPECT_STREQ(out.c_str(), "xy");
}

}  // namespace
