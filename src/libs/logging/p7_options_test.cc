#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "p7_internal.h"

namespace {

using P7::internal::Options;
using P7::internal::SinkKind;
using namespace std::chrono_literals;

Options Parsed(const char* text) {
  Options o;
  P7::internal::ApplyOptions(text, &o);
  return o;
}

auto Tie(const Options& o) {
  return std::tie(o.sink, o.dir, o.roll, o.max_files, o.max_file_bytes, o.verbosity);
}

// Bad values, unknown keys and malformed tokens change nothing; a later good token wins.
TEST(P7Options, TokensApplyInOrderAndBadOnesAreIgnored) {
  for (const char* bad : {"/P7.Sink=Bogus /P7.Dir=", "/P7.Bogus=1 P7.Files=4 /X7.Files=4 /P7.Files",
                          "/P7.Roll=5 /P7.Roll=hr /P7.Roll=0min /P7.Roll=-1hr /P7.Roll=2days",
                          "/P7.Files=0 /P7.Files=abc /P7.Files=-2 /P7.Files=4x /P7.Files=100001",
                          "/P7.FSize=0 /P7.FSize=-1 /P7.FSize=1MB /P7.FSize=nan",
                          "/P7.Trc.Verb=6 /P7.Trc.Verb=-1 /P7.Trc.Verb= /P7.Trc.Verb=2.5"}) {
    EXPECT_TRUE(Tie(Parsed(bad)) == Tie(Options{})) << bad;
  }
  EXPECT_EQ(Parsed("/P7.Sink=Console /p7.SINK=null").sink, SinkKind::kNull);
  EXPECT_EQ(Parsed("/P7.Roll=2hr").roll, 2h);
  EXPECT_EQ(Parsed("/P7.Files=7 /p7.files=100000").max_files, 100000);
  EXPECT_EQ(Parsed("/P7.FSize=0.5").max_file_bytes, 524288u);
  EXPECT_EQ(Parsed(" \t/P7.Sink=Null\n/P7.Trc.Verb=5  ").verbosity, 5);
  // $KESTOVA_LOG comes after the program's text, so the operator's options win.
  const Options o = P7::internal::ResolveOptions("/P7.Sink=Null /P7.Files=4", "/P7.Sink=Console");
  EXPECT_EQ(o.sink, SinkKind::kConsole);
  EXPECT_EQ(o.max_files, 4);
}

}  // namespace
