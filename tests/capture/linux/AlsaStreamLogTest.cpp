// What an ALSA stream's thread met reaches the log only through its owner, once per kind.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/AlsaRecovery.h"
#include "tests/fakes/LogCapture.h"

namespace {

struct Failure {
  long error;
  bool xrun;
};

struct LogCase {
  const char* name;
  std::vector<Failure> failures;  // in the order the stream's thread met them
  int recoverRes;                 // 0: no failed recovery
  std::vector<std::string> lines;
};

class AlsaStreamLogTest : public testing::TestWithParam<LogCase> {};

TEST_P(AlsaStreamLogTest, TheOwnerLogsEachKindOnceAndTheStreamThreadNothing) {
  const LogCase& c = GetParam();
  LogCapture log;
  AlsaStreamLog failures("snd_pcm_writei");
  for (const Failure& f : c.failures) {
    failures.Failed(f.error, f.xrun);
  }
  if (c.recoverRes != 0) {
    failures.RecoverFailed(c.recoverRes);
  }
  EXPECT_TRUE(log.Lines().empty());
  failures.Report();
  failures.Report();
  std::vector<std::string> lines;
  for (const LogLine& line : log.Lines()) {
    EXPECT_EQ(line.level, 3);
    lines.push_back(line.text);
  }
  EXPECT_EQ(lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlsaStreamLogTest,
    testing::Values(LogCase{"Nothing", {}, 0, {}},
                    LogCase{"XrunsOnce",
                            {{-EPIPE, true}, {-EPIPE, true}, {-ESTRPIPE, true}},
                            0,
                            {"[hov] snd_pcm_writei failed, res:-32"}},
                    LogCase{"XrunThenFatal",
                            {{-EPIPE, true}, {-ENODEV, false}, {-EIO, false}},
                            -5,
                            {"[hov] snd_pcm_writei failed, res:-32",
                             "[hov] snd_pcm_writei failed, res:-19",
                             "[hov] snd_pcm_recover failed, res:-5"}}),
    [](const testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

}  // namespace
