// CVornOutlookExpressCtrl: the control a host creates. It holds one
// CMailStore and publishes it through the dispatch interface
// _DVornOutlookExpress (see dispatch_table.h); it fires the five stock mouse
// events through a connection point, draws its label, persists its extent,
// and answers the embedding, property-page and class-information questions
// of a host.
//
// Objects are made with Create and live until their last reference is
// released. Nothing is thread-safe: every call comes from the thread that
// created the object. No exception leaves a method.
#pragma once

#include <vector>

#include "control/module_state.h"
#include "platform/control.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"
#include "store/mailstore.h"

class CVornOutlookExpressCtrl final : public IDispatch,
                                      public IProvideClassInfo,
                                      public IConnectionPointContainer,
                                      public IPersistStreamInit,
                                      public IOleObject,
                                      public ISpecifyPropertyPages,
                                      public IViewObject,
                                      public IVornControlWindow {
 public:
  // Creates a control and returns its `riid` interface (caller owns).
  // CLASS_E_NOAGGREGATION for a non-null `outer`.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  CVornOutlookExpressCtrl(const CVornOutlookExpressCtrl&) = delete;
  CVornOutlookExpressCtrl& operator=(const CVornOutlookExpressCtrl&) = delete;

  // ---- The members the dispatch table forwards to ---------------------------
  CMailStore& MailStore() { return store_; }
  // OpenSession, then RebuildFolderList, then LoadContacts (result ignored):
  // 1 when the first two succeeded, 0 at the first that failed.
  int32_t InitControl();
  // Runs the About dialog without a parent; its result is ignored.
  void AboutBox();
  // Draws the control within `bounds`: transparent background mode, a black
  // brush filling the bounds, red text colour, the label at the bounds'
  // top-left corner, the brush deleted.
  void OnDraw(HDC dc, const RECT& bounds);

  // ---- IUnknown ----------------------------------------------------------------
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // ---- IDispatch ---------------------------------------------------------------
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                        DISPID* dispids) override;
  HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  // ---- IProvideClassInfo -------------------------------------------------------
  HRESULT GetClassInfo(ITypeInfo** typeInfo) override;

  // ---- IConnectionPointContainer -------------------------------------------------
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  // ---- IPersistStreamInit ----------------------------------------------------------
  // The state is the version stamp kControlStateVersion and the extent:
  // three 32-bit little-endian values. Load accepts this version and older
  // ones; a newer or zero version, a negative extent, or fewer than twelve
  // bytes are refused and leave the control as it was.
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, BOOL clearDirty) override;
  HRESULT GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT InitNew() override;

  // ---- IOleObject ------------------------------------------------------------------
  HRESULT GetUserClassID(CLSID* clsid) override;
  HRESULT GetUserType(DWORD form, LPOLESTR* name) override;
  HRESULT GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT EnumVerbs(IEnumOLEVERB** verbs) override;
  // Edit (OLEIVERB_PRIMARY) activates the control; Properties
  // (OLEIVERB_PROPERTIES) shows its property pages.
  HRESULT DoVerb(LONG verb, HWND parent) override;
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT GetExtent(DWORD aspect, SIZEL* size) override;

  // ---- ISpecifyPropertyPages ---------------------------------------------------------
  HRESULT GetPages(CAUUID* pages) override;

  // ---- IViewObject -------------------------------------------------------------------
  HRESULT Draw(DWORD aspect, LONG index, void* aspectInfo, void* targetDevice, HDC targetDc,
               HDC dc, LPCRECTL bounds, LPCRECTL windowBounds,
               BOOL (*shouldContinue)(ULONG_PTR), ULONG_PTR continueArgument) override;

  // ---- IVornControlWindow --------------------------------------------------------------
  // Mouse messages fire the stock events: MouseDown, MouseMove and MouseUp
  // with the button (LEFT_BUTTON ...; for MouseMove every button held),
  // the shift state (SHIFT_MASK ...) and the coordinates; Click after a
  // left button went down and up again within the control; DblClick on a
  // left double click (whose button-up then fires no Click).
  HRESULT OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  bool active() const { return active_; }

 private:
  // The connection point of the event interface; part of the control, whose
  // reference count it shares.
  class EventPoint final : public IConnectionPoint {
   public:
    explicit EventPoint(CVornOutlookExpressCtrl* owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }
    HRESULT GetConnectionInterface(IID* iid) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT Unadvise(DWORD cookie) override;
    HRESULT EnumConnections(IEnumConnections** connections) override;

    // Calls `dispid` on every connected sink with `args` (in reverse order,
    // as automation passes them).
    void Fire(DISPID dispid, VARIANT* args, UINT count);

   private:
    struct Sink {
      DWORD cookie;
      ComPtr<IDispatch> sink;
    };
    CVornOutlookExpressCtrl* owner_;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
  };

  CVornOutlookExpressCtrl();
  ~CVornOutlookExpressCtrl();

  // The control's type library, loaded on first use.
  HRESULT TypeLib(ITypeLib** typeLib);
  HRESULT TypeInfoOf(REFGUID guid, ITypeInfo** typeInfo);
  void FireMouse(DISPID dispid, SHORT button, SHORT shift, LONG x, LONG y);
  bool Inside(LONG x, LONG y) const;

  ModuleUsageToken usage_;
  RefCount<> refs_;
  CMailStore store_;
  ComPtr<ITypeLib> typeLib_;
  EventPoint events_{this};
  SIZEL extent_;
  bool dirty_ = false;
  bool active_ = false;
  SHORT buttonsDown_ = 0;    // buttons that went down on the control
  bool afterDblClick_ = false;  // the next left button-up fires no Click
};
