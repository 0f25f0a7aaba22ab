// Controls: the interfaces a host uses to place, draw, drive, persist and
// configure a control object, and those the control uses to fire events.
//
// Declarations only. The runtime implements OleCreatePropertyFrame; the
// interfaces are implemented by controls, property pages and event sinks.
// Several interfaces carry only the members this platform uses; each says so.
#pragma once

#include "platform/automation.h"
#include "platform/gdi.h"

constexpr IID IID_IConnectionPointContainer = MakeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IEnumConnectionPoints = MakeGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IConnectionPoint = MakeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IEnumConnections = MakeGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_ISpecifyPropertyPages = MakeGuid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IPropertyPage = MakeGuid("{B196B28D-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IOleObject = MakeGuid("{00000112-0000-0000-C000-000000000046}");
constexpr IID IID_IEnumOLEVERB = MakeGuid("{00000104-0000-0000-C000-000000000046}");
constexpr IID IID_IViewObject = MakeGuid("{0000010D-0000-0000-C000-000000000046}");
// Extension: the control window's message entry.
constexpr IID IID_IVornControlWindow = MakeGuid("{3F0C6B1E-7A52-4C0B-9E1D-5B8A2C7D4E91}");

constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHresult(0x80040200u);
constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHresult(0x80040201u);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHresult(0x80040202u);
constexpr HRESULT OLEOBJ_S_INVALIDVERB = MakeHresult(0x00040181u);
constexpr HRESULT OLE_E_NOCONNECTION = MakeHresult(0x80040004u);
constexpr HRESULT DV_E_DVASPECT = MakeHresult(0x8004006Bu);
constexpr HRESULT DV_E_LINDEX = MakeHresult(0x80040068u);

// ---------------------------------------------------------------------------
// Events: connection points.

struct IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;  // an added reference, owned by the receiver
  DWORD dwCookie;
};

// Enumerators: Next hands out up to `count` items (S_FALSE when fewer were
// left), Skip passes over items, Reset starts again, Clone copies the
// position.
struct IEnumConnections : IUnknown {
  virtual HRESULT Next(ULONG count, CONNECTDATA* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** copy) = 0;

 protected:
  ~IEnumConnections() = default;
};
VORN_INTERFACE_ID(IEnumConnections, IID_IEnumConnections);

struct IConnectionPoint : IUnknown {
  // The event interface this point fires.
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  // Connects a sink (which must answer the event interface or IDispatch;
  // CONNECT_E_CANNOTCONNECT otherwise); *cookie names the connection.
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  // Ends a connection; CONNECT_E_NOCONNECTION for an unknown cookie.
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;

 protected:
  ~IConnectionPoint() = default;
};
VORN_INTERFACE_ID(IConnectionPoint, IID_IConnectionPoint);

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT Next(ULONG count, IConnectionPoint** items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** copy) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};
VORN_INTERFACE_ID(IEnumConnectionPoints, IID_IEnumConnectionPoints);

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  // The point for event interface `iid`; CONNECT_E_NOCONNECTION when none.
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};
VORN_INTERFACE_ID(IConnectionPointContainer, IID_IConnectionPointContainer);

// ---------------------------------------------------------------------------
// Property pages.

// A counted array of GUIDs; pElems is allocated with CoTaskMemAlloc and
// freed by the receiver.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT GetPages(CAUUID* pages) = 0;

 protected:
  ~ISpecifyPropertyPages() = default;
};
VORN_INTERFACE_ID(ISpecifyPropertyPages, IID_ISpecifyPropertyPages);

// Strings are allocated with CoTaskMemAlloc and freed by the receiver.
struct PROPPAGEINFO {
  ULONG cb;
  LPOLESTR pszTitle;
  SIZE size;  // in pixels
  LPOLESTR pszDocString;
  LPOLESTR pszHelpFile;
  DWORD dwHelpContext;
};

// This platform's property page: the members a property frame calls. The
// page shows itself modally on Activate, since there are no windows.
struct IPropertyPage : IUnknown {
  // The objects whose properties the page shows (0 objects: none).
  virtual HRESULT SetObjects(ULONG count, IUnknown** objects) = 0;
  virtual HRESULT GetPageInfo(PROPPAGEINFO* info) = 0;
  // Shows the page; returns when the user is done with it.
  virtual HRESULT Activate(HWND parent, LPCRECT rect, BOOL modal) = 0;
  virtual HRESULT Deactivate() = 0;
  // S_OK when there are changes not yet applied, S_FALSE otherwise.
  virtual HRESULT IsPageDirty() = 0;
  virtual HRESULT Apply() = 0;

 protected:
  ~IPropertyPage() = default;
};
VORN_INTERFACE_ID(IPropertyPage, IID_IPropertyPage);

// Creates each page of `pages` (CoCreateInstance), gives it the objects,
// shows it modally, applies it when it is dirty, and releases it. `caption`
// (may be null) names the objects. Returns the first failure of creating a
// page or of its calls.
VORN_API HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption,
                                        ULONG objectCount, IUnknown** objects, ULONG pageCount,
                                        const CLSID* pages, LCID lcid, DWORD reserved,
                                        void* reserved2);

// ---------------------------------------------------------------------------
// Embedding: verbs, status, extent.

constexpr LONG OLEIVERB_PRIMARY = 0;
constexpr LONG OLEIVERB_SHOW = -1;
constexpr LONG OLEIVERB_OPEN = -2;
constexpr LONG OLEIVERB_HIDE = -3;
constexpr LONG OLEIVERB_UIACTIVATE = -4;
constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
constexpr LONG OLEIVERB_PROPERTIES = -7;

constexpr DWORD OLEVERBATTRIB_NEVERDIRTIES = 0x1;
constexpr DWORD OLEVERBATTRIB_ONCONTAINERMENU = 0x2;

struct OLEVERB {
  LONG lVerb;
  LPOLESTR lpszVerbName;  // CoTaskMemAlloc, freed by the receiver
  DWORD fuFlags;
  DWORD grfAttribs;
};

struct IEnumOLEVERB : IUnknown {
  virtual HRESULT Next(ULONG count, OLEVERB* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumOLEVERB** copy) = 0;

 protected:
  ~IEnumOLEVERB() = default;
};
VORN_INTERFACE_ID(IEnumOLEVERB, IID_IEnumOLEVERB);

// Miscellaneous status bits.
constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
constexpr DWORD OLEMISC_ONLYICONIC = 0x2;
constexpr DWORD OLEMISC_INSERTNOTREPLACE = 0x4;
constexpr DWORD OLEMISC_STATIC = 0x8;
constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
constexpr DWORD OLEMISC_CANLINKBYOLE1 = 0x20;
constexpr DWORD OLEMISC_ISLINKOBJECT = 0x40;
constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

constexpr DWORD DVASPECT_CONTENT = 1;

constexpr DWORD USERCLASSTYPE_FULL = 1;
constexpr DWORD USERCLASSTYPE_SHORT = 2;
constexpr DWORD USERCLASSTYPE_APPNAME = 3;

// This platform's embedding interface: the members hosts call.
struct IOleObject : IUnknown {
  virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
  // The class's name (CoTaskMemAlloc, freed by the caller).
  virtual HRESULT GetUserType(DWORD form, LPOLESTR* name) = 0;
  virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;
  virtual HRESULT EnumVerbs(IEnumOLEVERB** verbs) = 0;
  // Carries out `verb`; OLEOBJ_S_INVALIDVERB for one the object lacks.
  virtual HRESULT DoVerb(LONG verb, HWND parent) = 0;
  // The object's size in HIMETRIC units (0.01 mm).
  virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;

 protected:
  ~IOleObject() = default;
};
VORN_INTERFACE_ID(IOleObject, IID_IOleObject);

// This platform's view interface: drawing only.
struct IViewObject : IUnknown {
  // Draws aspect DVASPECT_CONTENT into `dc` within `bounds`. `index` is -1;
  // the other arguments may be null and are not used.
  virtual HRESULT Draw(DWORD aspect, LONG index, void* aspectInfo, void* targetDevice,
                       HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL windowBounds,
                       BOOL (*shouldContinue)(ULONG_PTR), ULONG_PTR continueArgument) = 0;

 protected:
  ~IViewObject() = default;
};
VORN_INTERFACE_ID(IViewObject, IID_IViewObject);

// ---------------------------------------------------------------------------
// Extension: the control window's messages. A host that shows a control
// forwards the mouse input over it here, with coordinates relative to the
// control's top-left corner.

typedef ULONG_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_MBUTTONDBLCLK = 0x0209;

// Key and button state in a mouse message's WPARAM.
constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_RBUTTON = 0x0002;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;
constexpr WPARAM MK_MBUTTON = 0x0010;
// Extension: the Alt key, which this platform reports with the message.
constexpr WPARAM MK_ALT = 0x1000;

// A mouse message's LPARAM: x in the low 16 bits, y in the high, signed.
constexpr LPARAM MAKELPARAM(int x, int y) {
  return static_cast<LPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(x)) |
                             (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16));
}

// Stock event arguments: Button and Shift.
constexpr SHORT LEFT_BUTTON = 1;
constexpr SHORT RIGHT_BUTTON = 2;
constexpr SHORT MIDDLE_BUTTON = 4;
constexpr SHORT SHIFT_MASK = 1;
constexpr SHORT CTRL_MASK = 2;
constexpr SHORT ALT_MASK = 4;

struct IVornControlWindow : IUnknown {
  // Handles one window message. S_OK when it was handled (*result, which may
  // be null, receives the message's result), S_FALSE when the control does
  // not handle that message.
  virtual HRESULT OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                  LRESULT* result) = 0;

 protected:
  ~IVornControlWindow() = default;
};
VORN_INTERFACE_ID(IVornControlWindow, IID_IVornControlWindow);
