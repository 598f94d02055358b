// A fake list of capture endpoints: enumerator, collection, endpoints and their property
// stores, implementing what the capture code calls. Values handed out are tracked task memory.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <mmdeviceapi.h>
#include <propsys.h>

#include <string>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

class FakeAudioClient;

// Answers the container id (built in or not), the friendly name and the enumerator name.
class FakePropertyStore : public FakeUnknown<IPropertyStore> {
 public:
  GUID container{};
  std::wstring name;
  std::wstring enumerator;

  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override;
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }
};

class FakeEndpoint : public FakeUnknown<IMMDevice> {
 public:
  // Test thread. A built-in endpoint carries the built-in container id.
  FakeEndpoint(const std::wstring& name, const std::wstring& enumerator, bool builtIn);

  FakePropertyStore store;
  FakeAudioClient* client = nullptr;  // what Activate hands out
  HRESULT getIdResult = S_OK;
  HRESULT openStoreResult = S_OK;
  HRESULT activateResult = S_OK;

  HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void** out) override;
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override;
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return E_NOTIMPL; }
};

class FakeEndpointCollection : public FakeUnknown<IMMDeviceCollection> {
 public:
  std::vector<FakeEndpoint*> endpoints;
  UINT failItem = ~0u;  // Item(failItem) fails with E_FAIL

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override;
};

class FakeEnumerator : public FakeUnknown<IMMDeviceEnumerator> {
 public:
  FakeEndpointCollection collection;
  HRESULT enumResult = S_OK;
  FakeEndpoint* defaultEndpoint = nullptr;  // null: GetDefaultAudioEndpoint fails

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD,
                                               IMMDeviceCollection** devices) override;
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** out) override;
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
};
