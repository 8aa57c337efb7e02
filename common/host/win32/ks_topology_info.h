// IKsTopologyInfo, which mingw-w64 lacks (it has no vidcap.h), and the
// interface ids the extension-unit path asks for. Shared by the Windows host,
// which calls through it, and the test capture filter, which implements it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it relies on.
#include <ks.h>

// The vtable order is that of the Windows SDK and must not change: a COM call
// through a wrong slot is a silent crash. It is declared at global scope, as
// the SDK does: in an anonymous namespace, where nothing in the host
// implements it, GCC proves that no object of the type can exist and turns
// every call through it into a jump to nowhere.
struct IKsTopologyInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index,
                                                       KSTOPOLOGY_CONNECTION* info) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD nodeId, WCHAR* name, DWORD bufferSize,
                                                 DWORD* nameLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD nodeId, GUID* nodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD nodeId, REFIID iid, void** object) = 0;
};

namespace zemb::ks {

// Defined here rather than taken from a library so the value cannot depend on
// which import library happens to carry it.
constexpr GUID kIidIKsTopologyInfo = {
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kIidIKsControl = {
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

}  // namespace zemb::ks
