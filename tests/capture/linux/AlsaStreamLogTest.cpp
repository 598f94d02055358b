// What an ALSA stream's thread met reaches the log only through its owner, once per kind.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/AlsaRecovery.h"
#include "tests/fakes/Host.h"

namespace {

TEST(AlsaStreamLogTest, TheOwnerLogsEachKindOnceAndTheStreamThreadNothing) {
  struct Case {
    std::vector<std::pair<long, bool>> failures;  // (error, xrun) in the order met
    int recoverRes;                               // 0: no failed recovery
    std::vector<std::string> lines;               // at level 3
  };
  const Case cases[] = {
      {{}, 0, {}},
      {{{-EPIPE, true}, {-EPIPE, true}, {-ESTRPIPE, true}},
       0,
       {"[hov] snd_pcm_writei failed, res:-32"}},
      {{{-EPIPE, true}, {-ENODEV, false}, {-EIO, false}},
       -5,
       {"[hov] snd_pcm_writei failed, res:-32", "[hov] snd_pcm_writei failed, res:-19",
        "[hov] snd_pcm_recover failed, res:-5"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    AlsaStreamLog failures("snd_pcm_writei");
    for (const std::pair<long, bool>& f : c.failures) {
      failures.Failed(f.first, f.second);
    }
    if (c.recoverRes != 0) {
      failures.RecoverFailed(c.recoverRes);
    }
    EXPECT_TRUE(log.Lines().empty());
    failures.Report();
    failures.Report();
    std::vector<std::string> lines;
    for (const LogLine& line : log.Lines()) {
      lines.push_back(line.level == 3 ? line.text : "level " + std::to_string(line.level));
    }
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
