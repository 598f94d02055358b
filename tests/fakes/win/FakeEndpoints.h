// A fake list of capture endpoints: enumerator, collection, endpoints and their property
// stores, implementing what the capture code calls. Values handed out are tracked task memory.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <mmdeviceapi.h>
#include <propsys.h>

#include <map>
#include <string>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

class FakeAudioClient;

// The property keys and container ids that the endpoint choice looks at.
extern const PROPERTYKEY kFakeContainerIdKey;
extern const PROPERTYKEY kFakeFriendlyNameKey;
extern const PROPERTYKEY kFakeEnumeratorNameKey;
extern const GUID kBuiltInContainer;  // {00000000-0000-0000-FFFF-FFFFFFFFFFFF}
extern const GUID kUsbContainer;      // any other container

class FakePropertyStore : public FakeUnknown<IPropertyStore> {
 public:
  // Test thread, before use. Properties in store order; a value is a GUID or a text.
  void AddGuid(const PROPERTYKEY& key, const GUID& value);
  void AddText(const PROPERTYKEY& key, const std::wstring& value);
  void Clear() { m_properties.clear(); }

  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override;
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

 private:
  struct Property {
    PROPERTYKEY key;
    bool isGuid;
    GUID guid;
    std::wstring text;
  };
  std::vector<Property> m_properties;
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
  int activations = 0;

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters,
                                     void** out) override;
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override;
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override;

 private:
  std::wstring m_name;
};

class FakeEndpointCollection : public FakeUnknown<IMMDeviceCollection> {
 public:
  std::vector<FakeEndpoint*> endpoints;
  // Item(i) fails with E_FAIL from its n-th call on (1 = every call).
  std::map<UINT, int> failItemFromCall;

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override;

 private:
  std::map<UINT, int> m_itemCalls;
};

class FakeEnumerator : public FakeUnknown<IMMDeviceEnumerator> {
 public:
  FakeEndpointCollection collection;
  HRESULT enumResult = S_OK;
  FakeEndpoint* defaultEndpoint = nullptr;  // null: GetDefaultAudioEndpoint fails
  bool enumeratedCaptureActive = false;     // EnumAudioEndpoints asked for active capture
  bool defaultAskedCaptureConsole = false;  // GetDefaultAudioEndpoint asked capture, console

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                               IMMDeviceCollection** devices) override;
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                    IMMDevice** endpoint) override;
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
};
