// Which receiver a receive session runs: the environment variable HOV_RECEIVER, read afresh at
// every start ("robust" chooses the robust receiver; anything else, or nothing, the design's).
#pragma once

// Any thread. True when HOV_RECEIVER holds exactly "robust" now (on Windows as the process
// environment has it, so SetEnvironmentVariable takes effect at once).
bool RobustReceiverChosen();
