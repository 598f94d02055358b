// The wave-out functions that playback calls, reached through one table so that tests can put
// their own device in place of the system's. Every entry starts as the system function.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

struct WaveOutApi {
  decltype(&::waveOutOpen) open = &::waveOutOpen;
  decltype(&::waveOutPrepareHeader) prepareHeader = &::waveOutPrepareHeader;
  decltype(&::waveOutWrite) write = &::waveOutWrite;
  decltype(&::waveOutReset) reset = &::waveOutReset;
  decltype(&::waveOutUnprepareHeader) unprepareHeader = &::waveOutUnprepareHeader;
  decltype(&::waveOutClose) close = &::waveOutClose;
};

// Any thread. The table in use; tests replace entries while no device is open and put the
// saved table back afterwards.
WaveOutApi& WaveOutFunctions();
