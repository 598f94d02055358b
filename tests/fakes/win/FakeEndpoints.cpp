#include "tests/fakes/win/FakeEndpoints.h"

#include <audioclient.h>

#include "tests/fakes/win/FakeAudioClient.h"
#include "tests/fakes/win/TaskMemory.h"

const PROPERTYKEY kFakeContainerIdKey = {
    {0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2};
const PROPERTYKEY kFakeFriendlyNameKey = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
const PROPERTYKEY kFakeEnumeratorNameKey = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 24};
const GUID kBuiltInContainer = {
    0x00000000, 0x0000, 0x0000, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const GUID kUsbContainer = {
    0x5A3C1E7B, 0x42D1, 0x4C8E, {0x9F, 0x11, 0x0B, 0x2A, 0x6D, 0x73, 0x81, 0xC4}};

namespace {
bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b) {
  return IsEqualGUID(a.fmtid, b.fmtid) && a.pid == b.pid;
}
}  // namespace

void FakePropertyStore::AddGuid(const PROPERTYKEY& key, const GUID& value) {
  m_properties.push_back(Property{key, true, value, std::wstring()});
}

void FakePropertyStore::AddText(const PROPERTYKEY& key, const std::wstring& value) {
  m_properties.push_back(Property{key, false, GUID{}, value});
}

HRESULT FakePropertyStore::GetCount(DWORD* count) {
  *count = static_cast<DWORD>(m_properties.size());
  return S_OK;
}

HRESULT FakePropertyStore::GetAt(DWORD index, PROPERTYKEY* key) {
  if (index >= m_properties.size()) {
    return E_INVALIDARG;
  }
  *key = m_properties[index].key;
  return S_OK;
}

HRESULT FakePropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
  PropVariantInit(value);
  for (const Property& property : m_properties) {
    if (!SameKey(property.key, key)) {
      continue;
    }
    if (property.isGuid) {
      value->vt = VT_CLSID;
      value->puuid = static_cast<CLSID*>(AllocateTracked(sizeof(CLSID)));
      *value->puuid = property.guid;
    } else {
      value->vt = VT_LPWSTR;
      value->pwszVal = CopyTracked(property.text);
    }
    return S_OK;
  }
  return S_OK;  // a store without the property answers an empty value
}

FakeEndpoint::FakeEndpoint(const std::wstring& name, const std::wstring& enumerator, bool builtIn)
    : m_name(name) {
  store.AddText(kFakeFriendlyNameKey, name);
  store.AddGuid(kFakeContainerIdKey, builtIn ? kBuiltInContainer : kUsbContainer);
  store.AddText(kFakeEnumeratorNameKey, enumerator);
}

HRESULT FakeEndpoint::Activate(REFIID iid, DWORD context, PROPVARIANT* parameters, void** out) {
  ++activations;
  *out = nullptr;
  if (FAILED(activateResult)) {
    return activateResult;
  }
  if (!IsEqualIID(iid, __uuidof(IAudioClient2)) || context != CLSCTX_ALL || parameters != nullptr ||
      client == nullptr) {
    return E_NOINTERFACE;
  }
  client->AddRef();
  *out = static_cast<IAudioClient2*>(client);
  return S_OK;
}

HRESULT FakeEndpoint::OpenPropertyStore(DWORD access, IPropertyStore** out) {
  *out = nullptr;
  if (FAILED(openStoreResult)) {
    return openStoreResult;
  }
  if (access != STGM_READ) {
    return E_ACCESSDENIED;
  }
  store.AddRef();
  *out = &store;
  return S_OK;
}

HRESULT FakeEndpoint::GetId(LPWSTR* id) {
  *id = nullptr;
  if (FAILED(getIdResult)) {
    return getIdResult;
  }
  *id = CopyTracked(L"{0.0.1.00000000}." + m_name);
  return S_OK;
}

HRESULT FakeEndpoint::GetState(DWORD* state) {
  *state = DEVICE_STATE_ACTIVE;
  return S_OK;
}

HRESULT FakeEndpointCollection::GetCount(UINT* count) {
  *count = static_cast<UINT>(endpoints.size());
  return S_OK;
}

HRESULT FakeEndpointCollection::Item(UINT index, IMMDevice** device) {
  *device = nullptr;
  int call = ++m_itemCalls[index];
  auto failure = failItemFromCall.find(index);
  if (failure != failItemFromCall.end() && call >= failure->second) {
    return E_FAIL;
  }
  if (index >= endpoints.size()) {
    return E_INVALIDARG;
  }
  endpoints[index]->AddRef();
  *device = endpoints[index];
  return S_OK;
}

HRESULT FakeEnumerator::EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                           IMMDeviceCollection** devices) {
  *devices = nullptr;
  enumeratedCaptureActive = flow == eCapture && states == DEVICE_STATE_ACTIVE;
  if (FAILED(enumResult)) {
    return enumResult;
  }
  collection.AddRef();
  *devices = &collection;
  return S_OK;
}

HRESULT FakeEnumerator::GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) {
  *endpoint = nullptr;
  defaultAskedCaptureConsole = flow == eCapture && role == eConsole;
  if (defaultEndpoint == nullptr) {
    return E_NOTFOUND;
  }
  defaultEndpoint->AddRef();
  *endpoint = defaultEndpoint;
  return S_OK;
}
