// Test capture filter: an in-process COM server that stands in for the
// kernel-streaming proxy of the Zemb camera. The real Windows build of the
// tools finds it through the system device enumerator (video input
// category), binds it, asks it for IKsTopologyInfo and sends its nodes'
// IKsControl the extension-unit requests, which go to the simulated firmware
// (sim_unit.h) over the state folder named by the "StateFolder" value of the
// class's registry key.
//
// Two classes: the Zemb camera (the extension unit on one device-specific
// node, a second device-specific node that is not it), and a camera whose
// device-specific nodes know no extension unit, so the tools must pass it
// over. Only what the tools use is implemented; the rest declines.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they rely on.
#include <ks.h>
#include <ksproxy.h>
#include <strmif.h>
// After strmif.h, whose types it would otherwise declare again.
#include <ksmedia.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "common/host/win32/ks_topology_info.h"
#include "tests/wine/sim_unit.h"

namespace {

// {2F605CC9-BDD4-41B7-92BE-C0386CEC2CB7}
constexpr GUID kClsidZembCamera = {
    0x2F605CC9, 0xBDD4, 0x41B7, {0x92, 0xBE, 0xC0, 0x38, 0x6C, 0xEC, 0x2C, 0xB7}};
// {2E6EDC79-31FC-4D2A-84B5-7B2FC194E014}
constexpr GUID kClsidOtherCamera = {
    0x2E6EDC79, 0x31FC, 0x4D2A, {0x84, 0xB5, 0x7B, 0x2F, 0xC1, 0x94, 0xE0, 0x14}};

using zemb::ks::kIidIKsControl;
using zemb::ks::kIidIKsTopologyInfo;

constexpr GUID kNodeDevSpecific = {STATIC_KSNODETYPE_DEV_SPECIFIC};
constexpr GUID kNodeCameraTerminal = {
    0xDFF229E1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kNodeProcessingUnit = {
    0xDFF229E5, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

constexpr HRESULT kSetNotFound = static_cast<HRESULT>(0x80070492);  // ERROR_SET_NOT_FOUND

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// One loaded device, shared by a filter and the node controls it handed out.
class Unit {
 public:
  explicit Unit(ZembSimUnit* unit) : unit_(unit) {}
  ~Unit() { ZembSimUnitClose(unit_); }
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;
  ZembSimUnit* get() const { return unit_; }

 private:
  ZembSimUnit* unit_;
};

// The "StateFolder" value under HKCR\CLSID\{clsid}.
std::string StateFolder(const GUID& clsid) {
  wchar_t text[64];
  if (StringFromGUID2(clsid, text, 64) == 0) return {};
  std::string key = "CLSID\\";
  for (const wchar_t* p = text; *p != 0; ++p) key += static_cast<char>(*p);
  char folder[MAX_PATH] = {};
  DWORD size = sizeof folder;
  if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "StateFolder", RRF_RT_REG_SZ, nullptr, folder,
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  return folder;
}

// The reference count every object here keeps, and the count of live
// objects DllCanUnloadNow answers from.
class Counted {
 protected:
  Counted() { ++g_objects; }
  virtual ~Counted() { --g_objects; }
  ULONG Up() { return ++refs_; }
  ULONG Down() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// IUnknown of an object with one interface besides IUnknown.
template <typename Interface, const GUID& kIid>
class OneInterface : public Interface, public Counted {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != kIid) return E_NOINTERFACE;
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return Up(); }
  STDMETHODIMP_(ULONG) Release() override { return Down(); }
};

// Hands a new object (null: out of memory) to the caller as interface iid;
// the creator's own reference goes.
HRESULT HandOver(IUnknown* created, REFIID iid, void** object) {
  if (created == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

class NodeControl final : public OneInterface<IKsControl, kIidIKsControl> {
 public:
  // `unit` null: a node that answers no property set of the device.
  NodeControl(std::shared_ptr<Unit> unit, DWORD node) : unit_(std::move(unit)), node_(node) {}

  // The KSP_NODE names its node itself; the firmware refuses one that is
  // not the extension unit, as the real device does.
  STDMETHODIMP KsProperty(PKSPROPERTY property, ULONG propertyLength, LPVOID data, ULONG dataLength,
                          ULONG* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (property == nullptr) return E_POINTER;
    if (!unit_) return kSetNotFound;
    uint32_t returned = 0;
    const HRESULT hr =
        ZembSimUnitXuProperty(unit_->get(), property, propertyLength, data, dataLength, &returned);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return hr;
  }
  STDMETHODIMP KsMethod(PKSMETHOD, ULONG, LPVOID, ULONG, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP KsEvent(PKSEVENT, ULONG, LPVOID, ULONG, ULONG*) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<Unit> unit_;
  DWORD node_;
};

struct Node {
  GUID type;
  bool device;  // its property requests reach the firmware
};

class CaptureFilter final : public IBaseFilter, public IKsTopologyInfo, public Counted {
 public:
  CaptureFilter(const GUID& clsid, std::shared_ptr<Unit> unit)
      : clsid_(clsid), unit_(std::move(unit)) {
    if (unit_) {
      // A camera terminal, a processing unit, a device-specific node that is
      // not the extension unit, then the extension unit where the device
      // says it is.
      const DWORD xu = ZembSimUnitXuNodeId(unit_->get());
      const DWORD count = xu + 1 > 4 ? xu + 1 : 4;
      for (DWORD i = 0; i < count; ++i) {
        if (i == xu) {
          nodes_[i] = {kNodeDevSpecific, true};
        } else if (i == 0) {
          nodes_[i] = {kNodeCameraTerminal, false};
        } else if (i == 1) {
          nodes_[i] = {kNodeDevSpecific, true};
        } else {
          nodes_[i] = {kNodeProcessingUnit, false};
        }
      }
      nodeCount_ = count;
    } else {
      nodes_[0] = {kNodeCameraTerminal, false};
      nodes_[1] = {kNodeDevSpecific, false};
      nodes_[2] = {kNodeDevSpecific, false};
      nodeCount_ = 3;
    }
  }
  static constexpr DWORD kMaxNodes = 64;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IBaseFilter || iid == IID_IMediaFilter ||
        iid == IID_IPersist) {
      *object = static_cast<IBaseFilter*>(this);
    } else if (iid == kIidIKsTopologyInfo) {
      *object = static_cast<IKsTopologyInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return Up(); }
  STDMETHODIMP_(ULONG) Release() override { return Down(); }

  // IPersist, IMediaFilter, IBaseFilter: no graph ever runs this filter.
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
  }
  STDMETHODIMP Stop() override { return E_NOTIMPL; }
  STDMETHODIMP Pause() override { return E_NOTIMPL; }
  STDMETHODIMP Run(REFERENCE_TIME) override { return E_NOTIMPL; }
  STDMETHODIMP GetState(DWORD, FILTER_STATE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetSyncSource(IReferenceClock*) override { return E_NOTIMPL; }
  STDMETHODIMP GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
  STDMETHODIMP EnumPins(IEnumPins**) override { return E_NOTIMPL; }
  STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
  STDMETHODIMP QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
  STDMETHODIMP JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  // IKsTopologyInfo
  STDMETHODIMP get_NumCategories(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Category(DWORD, GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP get_NumConnections(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP get_ConnectionInfo(DWORD, KSTOPOLOGY_CONNECTION*) override { return E_NOTIMPL; }
  STDMETHODIMP get_NodeName(DWORD, WCHAR*, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP get_NumNodes(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = nodeCount_;
    return S_OK;
  }
  STDMETHODIMP get_NodeType(DWORD node, GUID* type) override {
    if (type == nullptr) return E_POINTER;
    if (node >= nodeCount_) return E_INVALIDARG;
    *type = nodes_[node].type;
    return S_OK;
  }
  STDMETHODIMP CreateNodeInstance(DWORD node, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (node >= nodeCount_) return E_INVALIDARG;
    return HandOver(new (std::nothrow) NodeControl(nodes_[node].device ? unit_ : nullptr, node),
                    iid, object);
  }

 private:
  GUID clsid_;
  std::shared_ptr<Unit> unit_;
  Node nodes_[kMaxNodes] = {};
  DWORD nodeCount_ = 0;
};

class ClassFactory final : public OneInterface<IClassFactory, IID_IClassFactory> {
 public:
  explicit ClassFactory(const GUID& clsid) : clsid_(clsid) {}

  // The Zemb camera is there only while a device is plugged into its state
  // folder; binding it otherwise fails, as binding an unplugged camera does.
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    std::shared_ptr<Unit> unit;
    if (clsid_ == kClsidZembCamera) {
      ZembSimUnit* raw = ZembSimUnitOpen(StateFolder(clsid_).c_str());
      if (raw == nullptr) return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
      unit = std::make_shared<Unit>(raw);
    }
    return HandOver(
        static_cast<IBaseFilter*>(new (std::nothrow) CaptureFilter(clsid_, std::move(unit))), iid,
        object);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }

 private:
  GUID clsid_;
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != kClsidZembCamera && clsid != kClsidOtherCamera) return CLASS_E_CLASSNOTAVAILABLE;
  return HandOver(new (std::nothrow) ClassFactory(clsid), iid, object);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
