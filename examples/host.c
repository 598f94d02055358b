/* A small host program: the library driven through its seven exports, as an application would.
 *
 * It starts the library, listens for a share key for a few seconds, sends one for half a second
 * and stops again, printing every status code, failure log line and result the library gives.
 *
 * Usage: host [TIMEOUT_MS [KEY]]   (defaults: 3000 ms, ABCDEF)
 * Exit status: 0 when the library answered every call, 1 when it did not answer in time. */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif
#include <hov/hov.h>

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(int ms) {
  Sleep((DWORD)ms);
}
#else
#include <time.h>
static void SleepMs(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

/* Set by the callbacks (library threads), read by the main thread. */
static atomic_int g_status;  /* the last status code, 0 after the main thread clears it */
static atomic_int g_results; /* reception results delivered */
static int g_resultCode;     /* written before g_results is raised */
static char g_key[8];

static const char* StatusText(int code) {
  switch (code) {
    case 1:
      return "library ready";
    case 3:
      return "receiver started";
    case 4:
      return "receiver not started";
    case 5:
      return "receiver stopped";
    case 6:
      return "sender started";
    case 7:
      return "sender not started";
    case 8:
      return "sender stopped";
    default:
      return "unknown";
  }
}

/* The calling thread for status 1, the library's worker thread for 3 to 8. */
static void HOV_CALL OnStatus(int code) {
  printf("status %d: %s\n", code, StatusText(code));
  fflush(stdout);
  atomic_store(&g_status, code);
}

/* Any library thread. Progress lines (level 2) are many; failures and notices are shown. */
static void HOV_CALL OnLog(int level, const char* line) {
  if (level >= 3) {
    fprintf(stderr, "log %d: %s\n", level, line);
  }
}

/* The library's worker thread, once per reception: 0 with the key, -2 time-out, -3 bad packet. */
static void HOV_CALL OnReceive(int code, const char* shareKey) {
  g_resultCode = code;
  strncpy(g_key, shareKey, sizeof g_key - 1);
  atomic_fetch_add(&g_results, 1);
}

/* A simple wait: polls what the callbacks set, every 10 ms for up to limitMs. */
static int WaitForStatus(int limitMs) {
  for (int waited = 0; atomic_load(&g_status) == 0 && waited < limitMs; waited += 10) {
    SleepMs(10);
  }
  return atomic_exchange(&g_status, 0);
}

static int WaitForResult(int limitMs) {
  for (int waited = 0; atomic_load(&g_results) == 0 && waited < limitMs; waited += 10) {
    SleepMs(10);
  }
  return atomic_load(&g_results) > 0;
}

int main(int argc, char** argv) {
  int timeoutMs = argc > 1 ? atoi(argv[1]) : 3000;
  const char* key = argc > 2 ? argv[2] : "ABCDEF";
  int ok = 1;

  HovInit(OnStatus, OnLog); /* status 1 arrives before it returns */
  atomic_store(&g_status, 0);

  /* Receive: status 3 (then one result) or 4. */
  HovReceiveStart(timeoutMs, OnReceive);
  int status = WaitForStatus(5000);
  if (status == 3) {
    if (!WaitForResult(timeoutMs + 5000)) {
      printf("no reception result\n");
      ok = 0;
    } else if (g_resultCode == 0) {
      printf("received %s\n", g_key);
    } else if (g_resultCode == -2) {
      printf("no key within %d ms\n", timeoutMs);
    } else {
      printf("a packet was heard but it is not a share key\n");
    }
  } else if (status != 4) {
    ok = 0;
  }
  HovReceiveStop();
  ok &= WaitForStatus(5000) == 5;

  /* Send: status 6 (then play for half a second) or 7; the stop gives status 8. */
  HovSendStart(key);
  status = WaitForStatus(5000);
  if (status == 6) {
    printf("sending %s\n", key);
    SleepMs(500);
  } else if (status != 7) {
    ok = 0;
  }
  HovSendStop();
  ok &= WaitForStatus(5000) == 8;

  HovUninit();
  printf("%s\n", ok ? "done" : "the library did not answer in time");
  return ok ? 0 : 1;
}
