#include "tests/fakes/win/FakeEndpoints.h"

#include <audioclient.h>

#include "tests/fakes/win/FakeAudioClient.h"

namespace {
// Container id, friendly name, enumerator name: the store's properties in that order.
const PROPERTYKEY kKeys[] = {
    {{0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2},
    {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14},
    {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 24}};
const GUID kBuiltInContainer = {0, 0, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const GUID kOtherContainer = {0x5A3C1E7B, 0x42D1, 0x4C8E, {1, 2, 3, 4, 5, 6, 7, 8}};
}  // namespace

HRESULT FakePropertyStore::GetCount(DWORD* count) {
  *count = 3;
  return S_OK;
}

HRESULT FakePropertyStore::GetAt(DWORD index, PROPERTYKEY* key) {
  if (index >= 3) {
    return E_INVALIDARG;
  }
  *key = kKeys[index];
  return S_OK;
}

HRESULT FakePropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
  PropVariantInit(value);
  for (int i = 0; i < 3; ++i) {
    if (!IsEqualGUID(key.fmtid, kKeys[i].fmtid) || key.pid != kKeys[i].pid) {
      continue;
    }
    if (i == 0) {
      value->vt = VT_CLSID;
      value->puuid = static_cast<CLSID*>(AllocateTracked(sizeof(CLSID)));
      *value->puuid = container;
    } else {
      value->vt = VT_LPWSTR;
      value->pwszVal = CopyTracked(i == 1 ? name : enumerator);
    }
  }
  return S_OK;
}

FakeEndpoint::FakeEndpoint(const std::wstring& name, const std::wstring& enumerator, bool builtIn) {
  store.container = builtIn ? kBuiltInContainer : kOtherContainer;
  store.name = name;
  store.enumerator = enumerator;
}

HRESULT FakeEndpoint::Activate(REFIID, DWORD, PROPVARIANT*, void** out) {
  *out = nullptr;
  if (FAILED(activateResult)) {
    return activateResult;
  }
  client->AddRef();
  *out = static_cast<IAudioClient2*>(client);
  return S_OK;
}

HRESULT FakeEndpoint::OpenPropertyStore(DWORD, IPropertyStore** out) {
  *out = nullptr;
  if (FAILED(openStoreResult)) {
    return openStoreResult;
  }
  store.AddRef();
  *out = &store;
  return S_OK;
}

HRESULT FakeEndpoint::GetId(LPWSTR* id) {
  *id = FAILED(getIdResult) ? nullptr : CopyTracked(L"{0.0.1.00000000}." + store.name);
  return getIdResult;
}

HRESULT FakeEndpointCollection::GetCount(UINT* count) {
  *count = static_cast<UINT>(endpoints.size());
  return S_OK;
}

HRESULT FakeEndpointCollection::Item(UINT index, IMMDevice** device) {
  *device = nullptr;
  if (index == failItem || index >= endpoints.size()) {
    return E_FAIL;
  }
  endpoints[index]->AddRef();
  *device = endpoints[index];
  return S_OK;
}

HRESULT FakeEnumerator::EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection** devices) {
  *devices = nullptr;
  if (FAILED(enumResult)) {
    return enumResult;
  }
  collection.AddRef();
  *devices = &collection;
  return S_OK;
}

HRESULT FakeEnumerator::GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** endpoint) {
  *endpoint = defaultEndpoint;
  if (defaultEndpoint == nullptr) {
    return E_NOTFOUND;
  }
  defaultEndpoint->AddRef();
  return S_OK;
}
