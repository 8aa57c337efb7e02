// The Windows host's COM side: the system device enumerator, the video input
// monikers, their property bags and filters, and kernel streaming's topology
// and node controls, each wrapped in the portable interface of host.h.
#include "common/host/win32/ks_topology_info.h"
#include "common/host/win32/win32_parts.h"

namespace zemb::win32 {
namespace {

using ks::kIidIKsControl;
using ks::kIidIKsTopologyInfo;

// Owns one COM reference.
template <typename T>
class ComRef {
 public:
  explicit ComRef(T* object = nullptr) : object_(object) {}
  ~ComRef() {
    if (object_ != nullptr) object_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  T* object_;
};

// Asks for a COM object through `call` and hands it over to a wrapper. The
// HRESULT stays the call's own, with one exception: a plain S_OK without an
// object becomes E_POINTER, so that S_OK always comes with an object. A
// broken callee that returns an object with a failure still has it released.
template <typename Wrapper, typename Interface, typename Base, typename Call>
HResult Fetch(std::unique_ptr<Base>* out, Call call) {
  if (out == nullptr) return kHrPointer;
  out->reset();
  Interface* raw = nullptr;
  const HRESULT hr = call(&raw);
  if (raw == nullptr) return hr == S_OK ? kHrPointer : hr;
  auto wrapper = std::make_unique<Wrapper>(raw);
  if (SUCCEEDED(hr)) *out = std::move(wrapper);
  return hr;
}

// The out-pointer of the calls that take an interface id.
template <typename Interface>
void** AsVoid(Interface** raw) {
  return reinterpret_cast<void**>(raw);
}

// --- COM wrappers -----------------------------------------------------------

class Win32KsControl final : public KsControl {
 public:
  explicit Win32KsControl(IKsControl* control) : control_(control) {}

  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (property == nullptr) return kHrPointer;
    ULONG returned = 0;
    HRESULT hr = control_->KsProperty(static_cast<PKSPROPERTY>(const_cast<void*>(property)),
                                      propertyLength, data, dataLength, &returned);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return hr;
  }

 private:
  ComRef<IKsControl> control_;
};

class Win32KsTopologyInfo final : public KsTopologyInfo {
 public:
  explicit Win32KsTopologyInfo(IKsTopologyInfo* topology) : topology_(topology) {}

  HResult get_NumNodes(uint32_t* count) override {
    if (count == nullptr) return kHrPointer;
    DWORD n = 0;
    HRESULT hr = topology_->get_NumNodes(&n);
    if (SUCCEEDED(hr)) *count = n;
    return hr;
  }

  HResult get_NodeType(uint32_t index, Guid* nodeType) override {
    if (nodeType == nullptr) return kHrPointer;
    GUID type = {};
    HRESULT hr = topology_->get_NodeType(index, &type);
    if (SUCCEEDED(hr)) *nodeType = FromGuid(type);
    return hr;
  }

  HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) override {
    return Fetch<Win32KsControl, IKsControl>(control, [&](IKsControl** raw) {
      return topology_->CreateNodeInstance(index, kIidIKsControl, AsVoid(raw));
    });
  }

 private:
  ComRef<IKsTopologyInfo> topology_;
};

class Win32VideoFilter final : public VideoFilter {
 public:
  explicit Win32VideoFilter(IBaseFilter* filter) : filter_(filter) {}

  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    return Fetch<Win32KsTopologyInfo, IKsTopologyInfo>(topology, [&](IKsTopologyInfo** raw) {
      return filter_->QueryInterface(kIidIKsTopologyInfo, AsVoid(raw));
    });
  }

 private:
  ComRef<IBaseFilter> filter_;
};

class Win32PropertyBag final : public PropertyBag {
 public:
  explicit Win32PropertyBag(IPropertyBag* bag) : bag_(bag) {}

  // A property that is there but not a string fails with
  // DISP_E_TYPEMISMATCH.
  HResult ReadString(std::wstring_view name, std::wstring* value) override {
    if (value == nullptr) return kHrPointer;
    const std::wstring terminated(name);
    VARIANT variant;
    VariantInit(&variant);
    HRESULT hr = bag_->Read(terminated.c_str(), &variant, nullptr);
    if (SUCCEEDED(hr)) {
      if (variant.vt != VT_BSTR) {
        hr = DISP_E_TYPEMISMATCH;
      } else if (variant.bstrVal == nullptr) {
        value->clear();
      } else {
        value->assign(variant.bstrVal, SysStringLen(variant.bstrVal));
      }
    }
    VariantClear(&variant);
    return hr;
  }

 private:
  ComRef<IPropertyBag> bag_;
};

class Win32VideoMoniker final : public VideoMoniker {
 public:
  explicit Win32VideoMoniker(IMoniker* moniker) : moniker_(moniker) {}

  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    return Fetch<Win32PropertyBag, IPropertyBag>(bag, [&](IPropertyBag** raw) {
      return moniker_->BindToStorage(nullptr, nullptr, IID_IPropertyBag, AsVoid(raw));
    });
  }

  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    return Fetch<Win32VideoFilter, IBaseFilter>(filter, [&](IBaseFilter** raw) {
      return moniker_->BindToObject(nullptr, nullptr, IID_IBaseFilter, AsVoid(raw));
    });
  }

 private:
  ComRef<IMoniker> moniker_;
};

class Win32MonikerEnumerator final : public MonikerEnumerator {
 public:
  explicit Win32MonikerEnumerator(IEnumMoniker* enumerator) : enumerator_(enumerator) {}

  HResult Next(std::unique_ptr<VideoMoniker>* moniker) override {
    return Fetch<Win32VideoMoniker, IMoniker>(moniker, [&](IMoniker** raw) {
      ULONG fetched = 0;
      return enumerator_->Next(1, raw, &fetched);
    });
  }

 private:
  ComRef<IEnumMoniker> enumerator_;
};

class Win32SystemDeviceEnumerator final : public SystemDeviceEnumerator {
 public:
  explicit Win32SystemDeviceEnumerator(ICreateDevEnum* devEnum) : devEnum_(devEnum) {}

  HResult CreateClassEnumerator(const Guid& category,
                                std::unique_ptr<MonikerEnumerator>* enumerator,
                                uint32_t flags) override {
    return Fetch<Win32MonikerEnumerator, IEnumMoniker>(enumerator, [&](IEnumMoniker** raw) {
      return devEnum_->CreateClassEnumerator(ToGuid(category), raw, flags);
    });
  }

 private:
  ComRef<ICreateDevEnum> devEnum_;
};

}  // namespace

HResult CreateDeviceEnumerator(std::unique_ptr<SystemDeviceEnumerator>* enumerator) {
  return Fetch<Win32SystemDeviceEnumerator, ICreateDevEnum>(enumerator, [](ICreateDevEnum** raw) {
    return CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                            IID_ICreateDevEnum, AsVoid(raw));
  });
}

}  // namespace zemb::win32
