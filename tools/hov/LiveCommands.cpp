#include "tools/hov/LiveCommands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "hov/hov.h"
#include "tools/hov/CoreLog.h"
#include "tools/hov/HostLink.h"
#include "tools/hov/LiveStatus.h"
#include "tools/hov/StopRequest.h"

namespace {
using Clock = HostLink::Clock;

// How long a status code may take: the worker runs each task within a pass or two, and opening
// a device takes well under a second; beyond this the library is taken to have failed.
constexpr std::chrono::seconds kStatusLimit(10);
// A result is due at the receive deadline; beyond it by this much the library has failed.
constexpr std::chrono::seconds kResultGrace(10);
// The library's receiver decodes the first 2.7 s of what it captures (ten staggered decoder
// windows) and then waits for its deadline; a key that starts playing later is only heard by
// a receiver started again. hov receive therefore listens in windows of this length, each a
// receiver of its own, until its time limit.
constexpr int kListenWindowMs = 3000;
// Stands for "no time limit" without overflowing the clock's arithmetic.

Clock::time_point After(double seconds, Clock::time_point from) {
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The live status of a command that drives the exports: the elapsed time and what the host has
// been told so far. The exports hand the host no samples, so unlike hov record these commands
// have no input level and no decoder count to show.
class ExportStatus {
 public:
  // Main thread. command names the line; the clock starts now.
  ExportStatus(const char* command, bool verbose)
      : m_command(command),
        m_begin(Clock::now()),
        // --verbose writes log lines on stderr, which a line redrawn in place would garble.
        m_line(!verbose, [this] { return Text(); }) {}

  // Main thread. What the command is doing now (a static text).
  void Set(const char* phase) { m_phase = phase; }
  // Main thread. Clears the line before the command writes its own.
  void Stop() { m_line.Stop(); }

 private:
  // Drawing thread.
  std::string Text() const {
    char text[160];
    double seconds = std::chrono::duration<double>(Clock::now() - m_begin).count();
    std::snprintf(text, sizeof text, "%s  %5.1f s  %s", m_command, seconds, m_phase.load());
    return text;
  }

  const char* const m_command;
  const Clock::time_point m_begin;
  std::atomic<const char*> m_phase{"starting"};
  LiveStatus m_line;  // last: its thread reads the fields above
};

// Stops the receiver as a host does: status 5 comes once the stop ran.
void StopReceiver(HostLink& link, const char* command) {
  HovReceiveStop();
  if (link.WaitStatus({5}, Clock::now() + kStatusLimit) == 0) {
    std::fprintf(stderr, "%s: the library did not confirm the receiver's stop\n", command);
  }
}

// Stops the sender as a host does; false when status 8 did not come.
bool StopSender(HostLink& link, const char* command) {
  HovSendStop();
  if (link.WaitStatus({8}, Clock::now() + kStatusLimit) == 0) {
    std::fprintf(stderr, "%s: the library did not confirm the sender's stop\n", command);
    return false;
  }
  return true;
}

// Starts the receiver; 3 when it listens, otherwise stops the status line and says why.
int StartReceiver(HostLink& link, int timeoutMs, const char* command, ExportStatus& status,
                  Clock::time_point* start) {
  *start = link.ReceiveStart(timeoutMs);
  int started = link.WaitStatus({3, 4}, Clock::now() + kStatusLimit);
  if (started != 3) {
    status.Stop();
    std::fprintf(stderr, "%s: the receiver did not start (%s)\n", command,
                 started == 4 ? "no capture device" : "no answer");
  }
  return started;
}

// Waits for the reception result: 0 with it, 4 when the library gave none in time, 130 when
// the user stopped the command first.
int AwaitResult(HostLink& link, int timeoutMs, Clock::time_point start, HostLink::Result* result) {
  Clock::time_point deadline =
      start + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0) + kResultGrace;
  if (link.WaitResult(deadline, result)) {
    return 0;
  }
  return Clock::now() >= deadline ? 4 : 130;
}

long long Milliseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The exit status of a reception result other than a key: 2 time-out, 3 undecodable.
int FailureStatus(int code) {
  return code == -2 ? 2 : code == -3 ? 3 : 4;
}

// The receiver the library runs at HovReceiveStart, chosen through its environment variable;
// without --receiver, the one the environment already names (design when it names none).
void ChooseReceiver(std::string& name) {
  if (name.empty()) {
    const char* set = std::getenv("HOV_RECEIVER");
    name = set != nullptr && std::strcmp(set, "robust") == 0 ? "robust" : "design";
  }
#ifdef _WIN32
  SetEnvironmentVariableA("HOV_RECEIVER", name.c_str());
#else
  setenv("HOV_RECEIVER", name.c_str(), 1);
#endif
}

void PrintFailure(const char* command, int code) {
  std::fprintf(
      stderr, "%s: %s\n", command,
      code == -2 ? "no share key heard (time-out)" : "the packet heard is not a share key");
}
}  // namespace

int RunSend(const SendOptions& options) {
  RouteSoundSystemLog(options.verbose);
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
  Clock::time_point end =
      options.seconds > 0 ? After(options.seconds, start) : start + kUntilStopped;
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
  bool confirmed = StopSender(link, "hov send");
  HovUninit();
  return confirmed ? 0 : 4;
}

int RunReceive(const ReceiveOptions& options) {
  RouteSoundSystemLog(options.verbose);
  static HostLink link(options.verbose);
  StopRequest stop([] { link.RequestStop(); });
  ExportStatus status("hov receive", options.verbose);
  std::string receiver = options.receiver;
  ChooseReceiver(receiver);
  link.Init();
  status.Set("starting the receiver");
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  Clock::time_point first;
  HostLink::Result result;
  int waited = 0;
  for (int round = 0;; ++round) {
    long long left = Milliseconds(Clock::now(), end);
    // The robust receiver listens for the whole time; the design's hears only keys that start
    // in its first seconds, so it is started again.
    const long long listen = receiver == "robust" ? left : kListenWindowMs;
    int window = static_cast<int>(std::max(0LL, std::min<long long>(listen, left)));
    Clock::time_point start;
    if (StartReceiver(link, window, "hov receive", status, &start) != 3) {
      HovUninit();
      return 4;
    }
    if (round == 0) {
      first = start;
    }
    status.Set("listening");
    waited = AwaitResult(link, window, start, &result);
    // A time-out of one window is the end only when the command's own time is up.
    if (waited != 0 || result.code != -2 || Clock::now() >= end) {
      break;
    }
    link.ForgetResult();
  }
  Clock::time_point start = first;
  status.Stop();
  StopReceiver(link, "hov receive");
  HovUninit();
  if (waited != 0) {
    std::fprintf(stderr, "hov receive: %s\n",
                 waited == 4 ? "no result from the library" : "interrupted");
    return waited;
  }

  long long ms = Milliseconds(start, result.at);
  if (options.json) {
    std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":null,\"ms\":%lld}\n", result.code,
                result.key.c_str(), ms);
  } else if (result.code == 0) {
    std::printf("%s\n", result.key.c_str());
  } else {
    PrintFailure("hov receive", result.code);
  }
  std::fflush(stdout);
  return result.code == 0 ? 0 : FailureStatus(result.code);
}

int RunLoopback(const LoopbackOptions& options) {
  RouteSoundSystemLog(options.verbose);
  static HostLink link(options.verbose);
  StopRequest stop([] { link.RequestStop(); });
  ExportStatus status("hov loopback", options.verbose);
  std::string receiver = options.receiver;
  ChooseReceiver(receiver);
  link.Init();
  status.Set("starting the sender");
  HovSendStart(options.key.c_str());
  int sending = link.WaitStatus({6, 7}, Clock::now() + kStatusLimit);
  if (sending != 6) {
    status.Stop();
    std::fprintf(stderr, "hov loopback: the sender did not start (%s)\n",
                 sending == 7 ? "not a share key, or no playback device" : "no answer");
    HovUninit();
    return 4;
  }
  status.Set("sending; starting the receiver");
  Clock::time_point start;
  if (StartReceiver(link, options.timeoutMs, "hov loopback", status, &start) != 3) {
    StopSender(link, "hov loopback");
    HovUninit();
    return 4;
  }
  status.Set("sending and listening");
  HostLink::Result result;
  int waited = AwaitResult(link, options.timeoutMs, start, &result);
  status.Stop();
  StopReceiver(link, "hov loopback");
  StopSender(link, "hov loopback");
  HovUninit();
  if (waited != 0) {
    std::fprintf(stderr, "hov loopback: %s\n",
                 waited == 4 ? "no result from the library" : "interrupted");
    return waited;
  }

  long long ms = Milliseconds(start, result.at);
  if (options.json) {
    std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":null,\"ms\":%lld,\"sent\":\"%s\"}\n",
                result.code, result.key.c_str(), ms, options.key.c_str());
  } else if (result.code == 0) {
    std::printf("%s received in %lld ms\n", result.key.c_str(), ms);
  } else {
    PrintFailure("hov loopback", result.code);
  }
  std::fflush(stdout);
  if (result.code != 0) {
    return FailureStatus(result.code);
  }
  if (result.key != options.key) {
    std::fprintf(stderr, "hov loopback: sent %s but received %s\n", options.key.c_str(),
                 result.key.c_str());
    return 5;
  }
  return 0;
}
