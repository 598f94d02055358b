#include "tools/hov/LiveCommands.h"

#include <chrono>
#include <cstdio>

#include "hov/hov.h"
#include "tools/hov/HostLink.h"
#include "tools/hov/StopRequest.h"

namespace {
using Clock = HostLink::Clock;

// How long a status code may take: the worker runs each task within a pass or two, and opening
// a device takes well under a second; beyond this the library is taken to have failed.
constexpr std::chrono::seconds kStatusLimit(10);
// A result is due at the receive deadline; beyond it by this much the library has failed.
constexpr std::chrono::seconds kResultGrace(10);
// Stands for "no time limit" without overflowing the clock's arithmetic.
constexpr std::chrono::hours kForever(24 * 365 * 10);

Clock::time_point After(double seconds, Clock::time_point from) {
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Stops and uninitialises after a reception, as a host does: status 5 comes once the stop ran.
void StopReceiver(HostLink& link) {
  HovReceiveStop();
  if (link.WaitStatus({5}, Clock::now() + kStatusLimit) == 0) {
    std::fprintf(stderr, "hov receive: the library did not confirm the stop\n");
  }
  HovUninit();
}
}  // namespace

int RunSend(const SendOptions& options) {
  static HostLink link(options.verbose);
  StopRequest stop([] { link.RequestStop(); });
  link.Init();
  HovSendStart(options.key.c_str());
  int started = link.WaitStatus({6, 7}, Clock::now() + kStatusLimit);
  if (started != 6) {
    std::fprintf(stderr, "hov send: the sender did not start (%s)\n",
                 started == 7 ? "not a share key, or no playback device" : "no answer");
    HovUninit();
    return 4;
  }
  Clock::time_point start = Clock::now();
  Clock::time_point end = options.seconds > 0 ? After(options.seconds, start) : start + kForever;
  bool stopped = false;
  if (!options.thenKey.empty() && After(options.at, start) < end) {
    stopped = link.WaitStopRequest(After(options.at, start));
    if (!stopped) {
      HovSendUpdate(options.thenKey.c_str());
    }
  }
  if (!stopped) {
    link.WaitStopRequest(end);
  }
  HovSendStop();
  int code = link.WaitStatus({8}, Clock::now() + kStatusLimit);
  HovUninit();
  if (code != 8) {
    std::fprintf(stderr, "hov send: the library did not confirm the stop\n");
    return 4;
  }
  return 0;
}

int RunReceive(const ReceiveOptions& options) {
  static HostLink link(options.verbose);
  StopRequest stop([] { link.RequestStop(); });
  link.Init();
  Clock::time_point start = link.ReceiveStart(options.timeoutMs);
  int started = link.WaitStatus({3, 4}, Clock::now() + kStatusLimit);
  if (started != 3) {
    std::fprintf(stderr, "hov receive: the receiver did not start (%s)\n",
                 started == 4 ? "no capture device" : "no answer");
    HovUninit();
    return 4;
  }
  HostLink::Result result;
  Clock::time_point deadline =
      start + std::chrono::milliseconds(options.timeoutMs > 0 ? options.timeoutMs : 0) +
      kResultGrace;
  if (!link.WaitResult(deadline, &result)) {
    bool late = Clock::now() >= deadline;
    StopReceiver(link);
    std::fprintf(stderr, "hov receive: %s\n", late ? "no result from the library" : "interrupted");
    return late ? 4 : 130;
  }
  StopReceiver(link);

  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(result.at - start).count();
  if (options.json) {
    std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":null,\"ms\":%lld}\n", result.code,
                result.key.c_str(), ms);
  } else if (result.code == 0) {
    std::printf("%s\n", result.key.c_str());
  } else {
    std::fprintf(stderr, "hov receive: %s\n",
                 result.code == -2 ? "no share key heard (time-out)"
                                   : "the packet heard is not a share key");
  }
  std::fflush(stdout);
  switch (result.code) {
    case 0:
      return 0;
    case -2:
      return 2;
    case -3:
      return 3;
    default:
      return 4;
  }
}
