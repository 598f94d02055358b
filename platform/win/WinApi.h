// The system functions that the Windows backends call, reached through one table so that tests
// can put their own devices in place of the system's. Every entry starts as the system
// function. Methods of audio objects are reached through the objects themselves; a test that
// replaces coCreateInstance hands out objects of its own.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <mmsystem.h>
#include <objbase.h>
#include <propidl.h>

struct WinApi {
  decltype(&::waveOutOpen) waveOutOpen = &::waveOutOpen;
  decltype(&::waveOutPrepareHeader) waveOutPrepareHeader = &::waveOutPrepareHeader;
  decltype(&::waveOutWrite) waveOutWrite = &::waveOutWrite;
  decltype(&::waveOutReset) waveOutReset = &::waveOutReset;
  decltype(&::waveOutUnprepareHeader) waveOutUnprepareHeader = &::waveOutUnprepareHeader;
  decltype(&::waveOutClose) waveOutClose = &::waveOutClose;

  decltype(&::waveInOpen) waveInOpen = &::waveInOpen;
  decltype(&::waveInPrepareHeader) waveInPrepareHeader = &::waveInPrepareHeader;
  decltype(&::waveInAddBuffer) waveInAddBuffer = &::waveInAddBuffer;
  decltype(&::waveInStart) waveInStart = &::waveInStart;
  decltype(&::waveInReset) waveInReset = &::waveInReset;
  decltype(&::waveInUnprepareHeader) waveInUnprepareHeader = &::waveInUnprepareHeader;
  decltype(&::waveInClose) waveInClose = &::waveInClose;

  decltype(&::CoInitializeEx) coInitializeEx = &::CoInitializeEx;
  decltype(&::CoUninitialize) coUninitialize = &::CoUninitialize;
  decltype(&::CoCreateInstance) coCreateInstance = &::CoCreateInstance;
  decltype(&::CoTaskMemFree) coTaskMemFree = &::CoTaskMemFree;
  decltype(&::PropVariantClear) propVariantClear = &::PropVariantClear;

  decltype(&::CreateEventA) createEventA = &::CreateEventA;
  decltype(&::CreateEventExA) createEventExA = &::CreateEventExA;
  decltype(&::CloseHandle) closeHandle = &::CloseHandle;
};

// Any thread. The table in use; tests replace entries while no device is open and put the
// saved table back afterwards.
WinApi& WinFunctions();
