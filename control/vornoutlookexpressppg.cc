#include "control/vornoutlookexpressppg.h"

#include <new>
#include <string>

#include "control/identifiers.h"
#include "control/resources.h"
#include "platform/codepage.h"
#include "platform/dialog.h"
#include "platform/runtime.h"

HRESULT CVornOutlookExpressPropPage::Create(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* page = new (std::nothrow) CVornOutlookExpressPropPage();
  if (!page) return E_OUTOFMEMORY;
  const HRESULT hr = page->QueryInterface(riid, ppv);
  page->Release();
  return hr;
}

HRESULT CVornOutlookExpressPropPage::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceAs<IPropertyPage>(this, riid, ppv);
}

ULONG CVornOutlookExpressPropPage::AddRef() { return refs_.AddRef(); }

ULONG CVornOutlookExpressPropPage::Release() {
  return refs_.Release([this] { delete this; });
}

HRESULT CVornOutlookExpressPropPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count > 0 && !objects) return E_POINTER;
  try {
    std::vector<ComPtr<IUnknown>> held;
    for (ULONG i = 0; i < count; ++i) held.emplace_back(objects[i]);
    objects_ = std::move(held);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CVornOutlookExpressPropPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  *info = PROPPAGEINFO{};
  info->cb = sizeof *info;
  SIZE size{};
  if (!VornGetDialogSize(ControlResourceModule(),
                         MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), &size)) {
    return E_FAIL;
  }
  info->size = size;
  try {
    const std::string title = LoadResourceString(IDS_VORNOUTLOOKEXPRESS_PPG_CAPTION);
    const int units = MultiByteToWideChar(CP_ACP, 0, title.c_str(), -1, nullptr, 0);
    info->pszTitle = static_cast<LPOLESTR>(CoTaskMemAlloc(static_cast<size_t>(units) * 2));
    if (!info->pszTitle) return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_ACP, 0, title.c_str(), -1, info->pszTitle, units);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVornOutlookExpressPropPage::Activate(HWND parent, LPCRECT, BOOL) {
  const INT_PTR result = DialogBoxA(ControlResourceModule(),
                                    MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), parent);
  return result == -1 ? E_FAIL : S_OK;
}

HRESULT CVornOutlookExpressPropPage::Deactivate() { return S_OK; }

HRESULT CVornOutlookExpressPropPage::IsPageDirty() { return S_FALSE; }

// The page's data exchange holds nothing but the framework's closing step.
HRESULT CVornOutlookExpressPropPage::Apply() { return S_OK; }
