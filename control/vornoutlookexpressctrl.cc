#include "control/vornoutlookexpressctrl.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "control/dispatch_table.h"
#include "control/enumerator.h"
#include "control/identifiers.h"
#include "control/module_state.h"
#include "control/resources.h"
#include "control/type_library.h"
#include "platform/codepage.h"
#include "platform/dialog.h"
#include "platform/failure_reason.h"
#include "platform/runtime.h"
#include "runtime/text.h"

namespace {

// A UTF-8 text as a NUL-terminated UTF-16 string in task memory (caller
// frees with CoTaskMemFree); null when out of memory.
LPOLESTR TaskString(const std::string& text) {
  const int units = text.empty() ? 0
                                 : MultiByteToWideChar(CP_ACP, 0, text.data(),
                                                       static_cast<int>(text.size()), nullptr, 0);
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((static_cast<size_t>(units) + 1) * 2));
  if (!out) return nullptr;
  if (units > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out, units);
  }
  out[units] = 0;
  return out;
}

// `text` as UTF-8; "" for null or when memory runs out.
std::string Narrow(const OLECHAR* text) {
  try {
    return vorn_rt::Utf16ToUtf8(text);
  } catch (...) {
    return std::string();
  }
}

// True when UTF-8 text carries `text` exactly: it holds no NUL character
// and no unpaired surrogate.
bool IsExactText(BSTR text) {
  const UINT length = SysStringLen(text);
  for (UINT i = 0; i < length; ++i) {
    if (text[i] == 0) return false;
  }
  return length == 0 || WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, text,
                                            static_cast<int>(length), nullptr, 0, nullptr,
                                            nullptr) > 0;
}

// ---- Enumerator traits ----------------------------------------------------------

struct Verb {
  LONG verb;
  const char* name;
};

struct VerbTraits {
  using Stored = Verb;
  static HRESULT Copy(const Verb& v, OLEVERB* out) {
    out->lVerb = v.verb;
    out->lpszVerbName = TaskString(v.name);
    out->fuFlags = 0;
    out->grfAttribs = OLEVERBATTRIB_ONCONTAINERMENU;
    return out->lpszVerbName ? S_OK : E_OUTOFMEMORY;
  }
  static void Clear(OLEVERB* v) {
    CoTaskMemFree(v->lpszVerbName);
    v->lpszVerbName = nullptr;
  }
};
using VerbEnumerator = Enumerator<IEnumOLEVERB, OLEVERB, VerbTraits>;

struct Connection {
  ComPtr<IUnknown> sink;
  DWORD cookie;
};
struct ConnectionTraits {
  using Stored = Connection;
  static HRESULT Copy(const Connection& c, CONNECTDATA* out) {
    c.sink.CopyTo(&out->pUnk);
    out->dwCookie = c.cookie;
    return S_OK;
  }
  static void Clear(CONNECTDATA* c) {
    if (c->pUnk) c->pUnk->Release();
    c->pUnk = nullptr;
  }
};
using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA, ConnectionTraits>;

struct PointTraits {
  using Stored = ComPtr<IConnectionPoint>;
  static HRESULT Copy(const ComPtr<IConnectionPoint>& p, IConnectionPoint** out) {
    p.CopyTo(out);
    return S_OK;
  }
  static void Clear(IConnectionPoint** p) {
    if (*p) (*p)->Release();
    *p = nullptr;
  }
};
using PointEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*, PointTraits>;

// The verbs of the control: the framework's Edit and Properties.
constexpr Verb kVerbs[] = {
    {OLEIVERB_PRIMARY, kVerbEditName},
    {OLEIVERB_PROPERTIES, kVerbPropertiesName},
};

// Reads exactly `cb` bytes; false when the stream ends or fails first.
bool ReadAll(IStream* stream, void* data, ULONG cb) {
  auto* p = static_cast<BYTE*>(data);
  while (cb > 0) {
    ULONG got = 0;
    if (FAILED(stream->Read(p, cb, &got)) || got == 0 || got > cb) return false;
    p += got;
    cb -= got;
  }
  return true;
}

// HIMETRIC (0.01 mm) to pixels at 96 pixels per inch.
LONG HimetricToPixels(LONG himetric) {
  return static_cast<LONG>((static_cast<int64_t>(himetric) * 96 + 1270) / 2540);
}

constexpr LONG kMaxExtent = 10000000;  // 100 m

}  // namespace

// ---- Life -------------------------------------------------------------------------

CVornOutlookExpressCtrl::CVornOutlookExpressCtrl() : extent_{kDefaultExtentX, kDefaultExtentY} {}

CVornOutlookExpressCtrl::~CVornOutlookExpressCtrl() = default;

HRESULT CVornOutlookExpressCtrl::Create(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* ctrl = new (std::nothrow) CVornOutlookExpressCtrl();
  if (!ctrl) return E_OUTOFMEMORY;
  const HRESULT hr = ctrl->QueryInterface(riid, ppv);
  ctrl->Release();
  return hr;
}

HRESULT CVornOutlookExpressCtrl::QueryInterface(REFIID riid, void** ppv) {
  IDispatch* dispatch = this;
  IPersistStreamInit* persist = this;
  return QueryInterfaceFrom({{IID_IUnknown, dispatch},
                             {IID_IDispatch, dispatch},
                             {DIID__DVornOutlookExpress, dispatch},
                             {IID_IProvideClassInfo, static_cast<IProvideClassInfo*>(this)},
                             {IID_IConnectionPointContainer,
                              static_cast<IConnectionPointContainer*>(this)},
                             {IID_IPersistStreamInit, persist},
                             {IID_IPersist, static_cast<IPersist*>(persist)},
                             {IID_IOleObject, static_cast<IOleObject*>(this)},
                             {IID_ISpecifyPropertyPages, static_cast<ISpecifyPropertyPages*>(this)},
                             {IID_IViewObject, static_cast<IViewObject*>(this)},
                             {IID_IVornControlWindow, static_cast<IVornControlWindow*>(this)}},
                            riid, ppv);
}

ULONG CVornOutlookExpressCtrl::AddRef() { return refs_.AddRef(); }

ULONG CVornOutlookExpressCtrl::Release() {
  return refs_.Release([this] { delete this; });
}

// ---- The dispatch methods ------------------------------------------------------------

int32_t CVornOutlookExpressCtrl::InitControl() {
  // The components below say why they fail; a host that shows it hears of
  // the failure through the thread's failure handler.
  VornSetFailureReason(nullptr);
  if (store_.OpenSession() == 0 || store_.RebuildFolderList() == 0) {
    VornReportFailure("InitControl");
    return 0;
  }
  store_.LoadContacts();
  return 1;
}

void CVornOutlookExpressCtrl::AboutBox() {
  DialogBoxA(ControlResourceModule(), MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS), nullptr);
}

void CVornOutlookExpressCtrl::OnDraw(HDC dc, const RECT& bounds) {
  SetBkMode(dc, TRANSPARENT);
  HBRUSH brush = CreateSolidBrush(RGB(0, 0, 0));
  FillRect(dc, &bounds, brush);
  SetTextColor(dc, RGB(255, 0, 0));
  TextOutA(dc, bounds.left, bounds.top, kLabelText, static_cast<int>(std::strlen(kLabelText)));
  DeleteObject(brush);
}

// ---- IDispatch ----------------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::TypeLib(ITypeLib** typeLib) {
  if (!typeLib_) {
    HRESULT hr = LoadControlTypeLib(typeLib_.Put());
    if (FAILED(hr)) return hr;
  }
  typeLib_.CopyTo(typeLib);
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::TypeInfoOf(REFGUID guid, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  ComPtr<ITypeLib> lib;
  HRESULT hr = TypeLib(lib.Put());
  if (FAILED(hr)) return hr;
  return lib->GetTypeInfoOfGuid(guid, typeInfo);
}

HRESULT CVornOutlookExpressCtrl::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return TypeInfoOf(DIID__DVornOutlookExpress, typeInfo);
}

HRESULT CVornOutlookExpressCtrl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                               DISPID* dispids) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !dispids || count == 0) return E_INVALIDARG;
  try {
    for (UINT i = 0; i < count; ++i) dispids[i] = DISPID_UNKNOWN;
    const DispatchMember* member = names[0] ? FindDispatchMember(Narrow(names[0])) : nullptr;
    if (!member) return DISP_E_UNKNOWNNAME;
    dispids[0] = member->dispid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
      const std::string param = Narrow(names[i]);
      bool found = false;
      for (UINT p = 0; names[i] && p < member->paramCount; ++p) {
        const char* name = member->params[p].name;
        if (vorn_rt::EqualNoCase(param, name)) {
          dispids[i] = static_cast<DISPID>(p);
          found = true;
          break;
        }
      }
      if (!found) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CVornOutlookExpressCtrl::Invoke(DISPID dispid, REFIID riid, LCID, WORD flags,
                                        DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                        UINT* argError) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_INVALIDARG;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  const DispatchMember* member = FindDispatchMember(dispid);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  // Methods answer a call or a property read (how some scripts call a method
  // without arguments), never a property write.
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) ||
      (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
    return DISP_E_MEMBERNOTFOUND;
  }
  if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != member->paramCount) return DISP_E_BADPARAMCOUNT;
  try {
    DispatchArgs args;
    for (UINT i = 0; i < member->paramCount; ++i) {
      // Arguments arrive last first.
      const UINT position = params->cArgs - 1 - i;
      VARIANT value;
      VariantInit(&value);
      const VARTYPE vt = member->params[i].type.vt;
      if (FAILED(VariantChangeType(&value, &params->rgvarg[position], 0, vt))) {
        if (argError) *argError = position;
        return DISP_E_TYPEMISMATCH;
      }
      if (vt == VT_BSTR) {
        args.altered[i] = !IsExactText(value.bstrVal);
        int cb = 0;
        LPSTR text = VornSysStringToA(value.bstrVal, &cb);
        VariantClear(&value);
        if (!text) return E_OUTOFMEMORY;
        args.texts[i].assign(text, static_cast<size_t>(cb));
        CoTaskMemFree(text);
      } else {
        args.longs[i] = value.lVal;
      }
    }
    VARIANT out;
    VariantInit(&out);
    // The control stays alive through the call even if a sink or the host
    // lets go of it meanwhile.
    ComPtr<IDispatch> hold(static_cast<IDispatch*>(this));
    const HRESULT hr = member->call(*this, args, &out);
    if (FAILED(hr)) return hr;
    if (result) {
      VariantClear(result);
      *result = out;
    } else {
      VariantClear(&out);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// ---- IProvideClassInfo ----------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::GetClassInfo(ITypeInfo** typeInfo) {
  return TypeInfoOf(CLSID_VornOutlookExpress, typeInfo);
}

// ---- Events ------------------------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (!points) return E_POINTER;
  try {
    return PointEnumerator::Make({ComPtr<IConnectionPoint>(&events_)}, points);
  } catch (...) {
    *points = nullptr;
    return E_OUTOFMEMORY;
  }
}

HRESULT CVornOutlookExpressCtrl::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (!(iid == DIID__DVornOutlookExpressEvents)) return CONNECT_E_NOCONNECTION;
  *point = &events_;
  AddRef();
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::EventPoint::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceAs<IConnectionPoint>(this, riid, ppv);
}

HRESULT CVornOutlookExpressCtrl::EventPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID__DVornOutlookExpressEvents;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::EventPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = owner_;
  owner_->AddRef();
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  ComPtr<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(DIID__DVornOutlookExpressEvents, dispatch.PutVoid())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, dispatch.PutVoid()))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  try {
    sinks_.push_back(Sink{nextCookie_, dispatch});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *cookie = nextCookie_++;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::EventPoint::Unadvise(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->cookie == cookie) {
      // The sink is released after it has left the list, in case its
      // destruction calls back into the control.
      ComPtr<IDispatch> gone = std::move(it->sink);
      sinks_.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT CVornOutlookExpressCtrl::EventPoint::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  try {
    std::vector<Connection> items;
    for (const Sink& s : sinks_) {
      items.push_back(Connection{ComPtr<IUnknown>(s.sink.Get()), s.cookie});
    }
    return ConnectionEnumerator::Make(std::move(items), connections);
  } catch (...) {
    *connections = nullptr;
    return E_OUTOFMEMORY;
  }
}

void CVornOutlookExpressCtrl::EventPoint::Fire(DISPID dispid, VARIANT* args, UINT count) {
  // A sink may advise or unadvise while it handles the event: fire to the
  // sinks connected when the event began.
  std::vector<ComPtr<IDispatch>> targets;
  try {
    for (const Sink& s : sinks_) targets.push_back(s.sink);
  } catch (...) {
    return;
  }
  for (const ComPtr<IDispatch>& target : targets) {
    DISPPARAMS params{args, nullptr, count, 0};
    target->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                   nullptr, nullptr);
  }
}

void CVornOutlookExpressCtrl::FireMouse(DISPID dispid, SHORT button, SHORT shift, LONG x,
                                        LONG y) {
  VARIANT args[4];  // y, x, Shift, Button: last first
  for (VARIANT& a : args) VariantInit(&a);
  args[0].vt = VT_I4;
  args[0].lVal = y;
  args[1].vt = VT_I4;
  args[1].lVal = x;
  args[2].vt = VT_I2;
  args[2].iVal = shift;
  args[3].vt = VT_I2;
  args[3].iVal = button;
  events_.Fire(dispid, args, 4);
}

bool CVornOutlookExpressCtrl::Inside(LONG x, LONG y) const {
  return x >= 0 && y >= 0 && x < HimetricToPixels(extent_.cx) && y < HimetricToPixels(extent_.cy);
}

HRESULT CVornOutlookExpressCtrl::OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                                 LRESULT* result) {
  if (result) *result = 0;
  const LONG x = static_cast<SHORT>(lParam & 0xFFFF);
  const LONG y = static_cast<SHORT>((lParam >> 16) & 0xFFFF);
  const SHORT shift = static_cast<SHORT>(((wParam & MK_SHIFT) ? SHIFT_MASK : 0) |
                                         ((wParam & MK_CONTROL) ? CTRL_MASK : 0) |
                                         ((wParam & MK_ALT) ? ALT_MASK : 0));
  SHORT button = 0;
  switch (message) {
    case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_LBUTTONDBLCLK: button = LEFT_BUTTON; break;
    case WM_RBUTTONDOWN: case WM_RBUTTONUP: case WM_RBUTTONDBLCLK: button = RIGHT_BUTTON; break;
    case WM_MBUTTONDOWN: case WM_MBUTTONUP: case WM_MBUTTONDBLCLK: button = MIDDLE_BUTTON; break;
    default: break;
  }
  // Keep the control alive while sinks run.
  ComPtr<IDispatch> hold(static_cast<IDispatch*>(this));
  switch (message) {
    case WM_MOUSEMOVE: {
      const SHORT held = static_cast<SHORT>(((wParam & MK_LBUTTON) ? LEFT_BUTTON : 0) |
                                            ((wParam & MK_RBUTTON) ? RIGHT_BUTTON : 0) |
                                            ((wParam & MK_MBUTTON) ? MIDDLE_BUTTON : 0));
      FireMouse(DISPID_MOUSEMOVE, held, shift, x, y);
      return S_OK;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      buttonsDown_ = static_cast<SHORT>(buttonsDown_ | button);
      if (button == LEFT_BUTTON) afterDblClick_ = false;
      FireMouse(DISPID_MOUSEDOWN, button, shift, x, y);
      return S_OK;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
      const bool wasDown = (buttonsDown_ & button) != 0;
      buttonsDown_ = static_cast<SHORT>(buttonsDown_ & ~button);
      FireMouse(DISPID_MOUSEUP, button, shift, x, y);
      if (button == LEFT_BUTTON) {
        const bool click = wasDown && !afterDblClick_ && Inside(x, y);
        afterDblClick_ = false;
        if (click) events_.Fire(DISPID_CLICK, nullptr, 0);
      }
      return S_OK;
    }
    case WM_LBUTTONDBLCLK:
      buttonsDown_ = static_cast<SHORT>(buttonsDown_ | button);
      afterDblClick_ = true;
      events_.Fire(DISPID_DBLCLICK, nullptr, 0);
      return S_OK;
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK:
      // Only the left button double-clicks; another button goes down again.
      buttonsDown_ = static_cast<SHORT>(buttonsDown_ | button);
      FireMouse(DISPID_MOUSEDOWN, button, shift, x, y);
      return S_OK;
    default:
      return S_FALSE;
  }
}

// ---- Persistence ----------------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_VornOutlookExpress;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT CVornOutlookExpressCtrl::Load(IStream* stream) {
  if (!stream) return E_POINTER;
  DWORD state[3];
  if (!ReadAll(stream, state, sizeof state)) return STG_E_READFAULT;
  const DWORD version = state[0];
  const LONG cx = static_cast<LONG>(state[1]);
  const LONG cy = static_cast<LONG>(state[2]);
  if (version == 0 || version > kControlStateVersion) return E_FAIL;
  if (cx < 0 || cy < 0 || cx > kMaxExtent || cy > kMaxExtent) return E_FAIL;
  extent_ = SIZEL{cx, cy};
  dirty_ = false;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::Save(IStream* stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  const DWORD state[3] = {kControlStateVersion, static_cast<DWORD>(extent_.cx),
                          static_cast<DWORD>(extent_.cy)};
  ULONG written = 0;
  const HRESULT hr = stream->Write(state, sizeof state, &written);
  if (FAILED(hr)) return hr;
  if (written != sizeof state) return STG_E_MEDIUMFULL;
  if (clearDirty) dirty_ = false;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = 3 * sizeof(DWORD);
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::InitNew() {
  extent_ = SIZEL{kDefaultExtentX, kDefaultExtentY};
  dirty_ = false;
  return S_OK;
}

// ---- Embedding ------------------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::GetUserClassID(CLSID* clsid) { return GetClassID(clsid); }

HRESULT CVornOutlookExpressCtrl::GetUserType(DWORD, LPOLESTR* name) {
  if (!name) return E_POINTER;
  try {
    *name = TaskString(LoadResourceString(IDS_VORNOUTLOOKEXPRESS));
  } catch (...) {
    *name = nullptr;
  }
  return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVornOutlookExpressCtrl::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (!status) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kControlMiscStatus : 0;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::EnumVerbs(IEnumOLEVERB** verbs) {
  if (!verbs) return E_POINTER;
  try {
    return VerbEnumerator::Make({std::begin(kVerbs), std::end(kVerbs)}, verbs);
  } catch (...) {
    *verbs = nullptr;
    return E_OUTOFMEMORY;
  }
}

HRESULT CVornOutlookExpressCtrl::DoVerb(LONG verb, HWND parent) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
      active_ = true;
      return S_OK;
    case OLEIVERB_PROPERTIES: {
      IUnknown* self = static_cast<IDispatch*>(this);
      const CLSID page = CLSID_VornOutlookExpressPropPage;
      return OleCreatePropertyFrame(parent, 0, 0, nullptr, 1, &self, 1, &page,
                                    LOCALE_USER_DEFAULT, 0, nullptr);
    }
    default:
      return OLEOBJ_S_INVALIDVERB;
  }
}

HRESULT CVornOutlookExpressCtrl::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  if (size->cx < 0 || size->cy < 0 || size->cx > kMaxExtent || size->cy > kMaxExtent) {
    return E_INVALIDARG;
  }
  if (size->cx != extent_.cx || size->cy != extent_.cy) dirty_ = true;
  extent_ = *size;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  *size = extent_;
  return S_OK;
}

HRESULT CVornOutlookExpressCtrl::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (!pages->pElems) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->pElems[0] = CLSID_VornOutlookExpressPropPage;
  pages->cElems = 1;
  return S_OK;
}

// ---- Drawing ---------------------------------------------------------------------------------

HRESULT CVornOutlookExpressCtrl::Draw(DWORD aspect, LONG, void*, void*, HDC, HDC dc,
                                      LPCRECTL bounds, LPCRECTL, BOOL (*)(ULONG_PTR),
                                      ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!bounds || !dc) return E_INVALIDARG;
  if (GetBkMode(dc) == 0) return E_INVALIDARG;  // not a device context
  OnDraw(dc, *bounds);
  return S_OK;
}
