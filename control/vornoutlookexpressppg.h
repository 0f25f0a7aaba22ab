// CVornOutlookExpressPropPage: the control's one property page, built on
// dialog 200 with the caption "General". It exchanges no data: applying it
// changes nothing.
#pragma once

#include <vector>

#include "control/module_state.h"
#include "platform/control.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

class CVornOutlookExpressPropPage final : public IPropertyPage {
 public:
  // Creates a page and returns its `riid` interface (caller owns).
  // CLASS_E_NOAGGREGATION for a non-null `outer`.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  CVornOutlookExpressPropPage(const CVornOutlookExpressPropPage&) = delete;
  CVornOutlookExpressPropPage& operator=(const CVornOutlookExpressPropPage&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT SetObjects(ULONG count, IUnknown** objects) override;
  // Title string 200 and the size of dialog 200 in pixels.
  HRESULT GetPageInfo(PROPPAGEINFO* info) override;
  // Runs dialog 200 modally.
  HRESULT Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  HRESULT Deactivate() override;
  HRESULT IsPageDirty() override;
  HRESULT Apply() override;

  ULONG objectCount() const { return static_cast<ULONG>(objects_.size()); }

 private:
  CVornOutlookExpressPropPage() = default;
  ~CVornOutlookExpressPropPage() = default;

  ModuleUsageToken usage_;
  RefCount<> refs_;
  std::vector<ComPtr<IUnknown>> objects_;
};
