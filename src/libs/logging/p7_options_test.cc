// The logger's pure pieces (option parsing, escaping) and its behaviour
// before LoggerInit. This binary never calls LoggerInit, so the process-wide logger stays in its
// initial state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "p7.h"
#include "p7_internal.h"
#include "temp_dir.h"

namespace {

using P7::internal::ApplyOptions;
using P7::internal::Options;
using P7::internal::ResolveOptions;
using P7::internal::SinkKind;
using std::chrono::seconds;

// One field of the options, by its option key, as text.
std::string Field(const Options& o, const std::string& key) {
  if (key == "Sink") return std::to_string(static_cast<int>(o.sink));
  if (key == "Dir") return o.dir;
  if (key == "Roll") return std::to_string(o.roll.count());
  if (key == "Files") return std::to_string(o.max_files);
  if (key == "FSize") return std::to_string(o.max_file_bytes);
  return std::to_string(o.verbosity);
}

TEST(P7Options, TokensApplyInOrderAndBadOnesAreIgnored) {
  const Options d;
  const std::string kConsole = std::to_string(static_cast<int>(SinkKind::kConsole));
  const std::string kNull = std::to_string(static_cast<int>(SinkKind::kNull));
  const struct {
    const char* text;
    const char* key;  // the field that is checked; all others must keep their defaults
    std::string want;
  } cases[] = {
      {"/P7.Sink=Console", "Sink", kConsole},
      {"/P7.Sink=null", "Sink", kNull},
      {"/P7.Sink=Console /P7.Sink=Bogus", "Sink", kConsole},
      {"/P7.Sink=Console /P7.Sink=Null", "Sink", kNull},
      {"/P7.Dir=/a//b/c", "Dir", "/a//b/c"},
      {"/P7.Dir=", "Dir", ""},
      {"/P7.Roll=24hr", "Roll", "86400"},
      {"/P7.Roll=5min", "Roll", "300"},
      {"/P7.Roll=5 /P7.Roll=hr /P7.Roll=0min /P7.Roll=-1hr /P7.Roll=2days", "Roll", "86400"},
      {"/P7.Files=7", "Files", "7"},
      {"/P7.Files=0 /P7.Files=abc /P7.Files=-2 /P7.Files=4x", "Files", "3"},
      {"/P7.FSize=1", "FSize", "1048576"},
      {"/P7.FSize=0.5", "FSize", "524288"},
      {"/P7.FSize=0 /P7.FSize=-1 /P7.FSize=1MB /P7.FSize=nan", "FSize", "10485760"},
      {"/P7.Trc.Verb=0", "Trc.Verb", "0"},
      {"/P7.Trc.Verb=5", "Trc.Verb", "5"},
      {"/P7.Trc.Verb=6 /P7.Trc.Verb=-1 /P7.Trc.Verb= /P7.Trc.Verb=2.5", "Trc.Verb", "2"},
      {"/P7.Bogus=1 P7.Files=4 /X7.Files=4 /P7.Files /P7.Files=5", "Files", "5"},
      {" \t/P7.Sink=Null\n/P7.Trc.Verb=4  ", "Trc.Verb", "4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Options o;
    ApplyOptions(c.text, &o);
    for (const char* key : {"Sink", "Dir", "Roll", "Files", "FSize", "Trc.Verb"}) {
      if (std::string(key) == c.key) {
        EXPECT_EQ(Field(o, key), c.want) << key;
      } else if (std::string(c.text).find(std::string("/P7.") + key + "=") == std::string::npos) {
        EXPECT_EQ(Field(o, key), Field(d, key)) << key;
      }
    }
  }
}

TEST(P7Options, EnvironmentTextComesAfterTheProgramsAndWins) {
  const std::string program = "/P7.Sink=FileTxt /P7.Dir=/srv/log /P7.Files=3 /P7.Trc.Verb=2";
  const Options o = ResolveOptions(program, "/P7.Sink=Console /P7.Trc.Verb=0 /P7.Files=bad");
  EXPECT_EQ(o.sink, SinkKind::kConsole);
  EXPECT_EQ(o.verbosity, 0);
  EXPECT_EQ(o.max_files, 3);  // malformed override keeps the program's value
  EXPECT_EQ(o.dir, "/srv/log");

  const Options no_env = ResolveOptions(program, nullptr);
  EXPECT_EQ(no_env.sink, SinkKind::kFileTxt);
  EXPECT_EQ(no_env.verbosity, 2);
}

TEST(P7Escape, ControlCharactersBecomeVisibleEscapes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain text", "plain text"},
      {"a\nb", "a\\nb"},
      {"a\r\nINFO forged", "a\\r\\nINFO forged"},
      {"\tx", "\\tx"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"back\\slash", "back\\slash"},
      {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(P7::internal::EscapeControl(c.in), c.out) << c.out;
  }
}

TEST(P7BeforeInit, WritesInfoAndAboveToStandardError) {
  ASSERT_NE(P7::getTrace(), nullptr);
  testsupport::TempDir tmp;
  const std::string out = tmp.file("stderr");
  const int saved = ::dup(STDERR_FILENO);
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
  SKV_LOG(P7::kDebug, "hidden %d", 1);
  SKV_LOG(P7::kInfo, "shown %d", 2);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  const std::string text = testsupport::ReadFile(out);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\S+ \S+ INFO p7_options_test\.cc:\d+ \w+: shown 2
)"))) << text;
}

}  // namespace
