// A fake list of capture endpoints: enumerator, collection, endpoints and their property
// stores, implementing what the capture code calls. Values handed out are tracked task memory.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <propsys.h>

#include <string>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

// Answers the container id (built in or not), the friendly name and the enumerator name.
class FakePropertyStore : public FakeUnknown<IPropertyStore> {
 public:
  GUID container{};
  std::wstring name;
  std::wstring enumerator;

  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    *count = 3;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    return index < 3 ? (*key = kKeys[index], S_OK) : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    PropVariantInit(value);
    auto is = [&](int i) {
      return IsEqualGUID(key.fmtid, kKeys[i].fmtid) && key.pid == kKeys[i].pid;
    };
    if (is(0)) {
      value->vt = VT_CLSID;
      value->puuid = static_cast<CLSID*>(AllocateTracked(sizeof(CLSID)));
      *value->puuid = container;
    } else if (is(1) || is(2)) {
      value->vt = VT_LPWSTR;
      value->pwszVal = CopyTracked(is(1) ? name : enumerator);
    }
    return S_OK;
  }
  HOV_FAKE_UNCALLED(SetValue, REFPROPERTYKEY, REFPROPVARIANT);
  HOV_FAKE_UNCALLED(Commit, void);

  // Container id, friendly name, enumerator name.
  static constexpr PROPERTYKEY kKeys[] = {
      {{0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2},
      {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14},
      {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 24}};
};

class FakeEndpoint : public FakeUnknown<IMMDevice> {
 public:
  // Test thread. A built-in endpoint carries the built-in container id.
  FakeEndpoint(const std::wstring& name, const std::wstring& enumerator, bool builtIn) {
    store.container = builtIn ? GUID{0, 0, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}
                              : GUID{0x5A3C1E7B, 0x42D1, 0x4C8E, {1, 2, 3, 4, 5, 6, 7, 8}};
    store.name = name;
    store.enumerator = enumerator;
  }

  FakePropertyStore store;
  IAudioClient2* client = nullptr;  // what Activate hands out
  HRESULT getIdResult = S_OK;
  HRESULT openStoreResult = S_OK;
  HRESULT activateResult = S_OK;

  HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void** out) override {
    return Hand(activateResult, client, out);
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** out) override {
    return Hand<IPropertyStore>(openStoreResult, &store, out);
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    *id = FAILED(getIdResult) ? nullptr : CopyTracked(L"{0.0.1.00000000}." + store.name);
    return getIdResult;
  }
  HOV_FAKE_UNCALLED(GetState, DWORD*);
};

class FakeEndpointCollection : public FakeUnknown<IMMDeviceCollection> {
 public:
  std::vector<FakeEndpoint*> endpoints;
  UINT failItem = ~0u;  // Item(failItem) fails with E_FAIL

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = static_cast<UINT>(endpoints.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    bool fails = index == failItem || index >= endpoints.size();
    return Hand<IMMDevice>(fails ? E_FAIL : S_OK, fails ? nullptr : endpoints[index], device);
  }
};

class FakeEnumerator : public FakeUnknown<IMMDeviceEnumerator> {
 public:
  FakeEndpointCollection collection;
  HRESULT enumResult = S_OK;
  FakeEndpoint* defaultEndpoint = nullptr;  // null: GetDefaultAudioEndpoint fails

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD,
                                               IMMDeviceCollection** devices) override {
    return Hand<IMMDeviceCollection>(enumResult, &collection, devices);
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** out) override {
    return Hand<IMMDevice>(defaultEndpoint ? S_OK : E_NOTFOUND, defaultEndpoint, out);
  }
  HOV_FAKE_UNCALLED(GetDevice, LPCWSTR, IMMDevice**);
  HOV_FAKE_UNCALLED(RegisterEndpointNotificationCallback, IMMNotificationClient*);
  HOV_FAKE_UNCALLED(UnregisterEndpointNotificationCallback, IMMNotificationClient*);
};
