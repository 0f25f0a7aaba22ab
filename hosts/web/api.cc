#include "hosts/web/api.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <strings.h>
#include <utility>

#include "hosts/web/automation_thread.h"
#include "platform/automation.h"
#include "platform/control.h"
#include "platform/resource.h"
#include "runtime/pixels.h"

namespace vornweb {

using nlohmann::json;
using vorn_rt::MemberKind;

namespace {

constexpr size_t kMaxName = 512;
constexpr size_t kMaxArgs = 64;
constexpr int kMaxDepth = 8;  // objects a value may nest through

using VariantArray = vorn_rt::VariantArgs;

const char* TypeName(VARTYPE vt) {
  switch (vt & 0x0FFF) {
    case VT_EMPTY:
    case VT_VOID: return "void";
    case VT_I1: return "char";
    case VT_I2: return "short";
    case VT_I4: return "long";
    case VT_I8: return "hyper";
    case VT_INT: return "int";
    case VT_UI1: return "unsigned char";
    case VT_UI2: return "unsigned short";
    case VT_UI4: return "unsigned long";
    case VT_UI8: return "unsigned hyper";
    case VT_UINT: return "unsigned int";
    case VT_R4: return "float";
    case VT_R8: return "double";
    case VT_CY: return "CURRENCY";
    case VT_DATE: return "DATE";
    case VT_BSTR: return "BSTR";
    case VT_BOOL: return "BOOL";
    case VT_VARIANT: return "VARIANT";
    case VT_DISPATCH: return "IDispatch*";
    case VT_UNKNOWN: return "IUnknown*";
    case VT_ERROR: return "SCODE";
    case VT_HRESULT: return "HRESULT";
    case VT_PTR: return "pointer";
    case VT_USERDEFINED: return "user-defined";
    default: return "other";
  }
}

const char* KindName(MemberKind kind) {
  switch (kind) {
    case MemberKind::kGetter: return "get";
    case MemberKind::kSetter: return "put";
    default: return "method";
  }
}

int StatusOf(HRESULT hr) {
  if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND || hr == REGDB_E_CLASSNOTREG ||
      hr == CO_E_CLASSSTRING) {
    return 404;
  }
  if (hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND ||
      hr == DISP_E_PARAMNOTOPTIONAL || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE ||
      hr == DISP_E_NONAMEDARGS || hr == E_INVALIDARG) {
    return 400;
  }
  return 422;
}

// A request that cannot be answered with a result.
class Failure {
 public:
  Failure(int status, std::string message, std::string member = std::string(),
          HRESULT hr = S_OK)
      : status(status), message(std::move(message)), member(std::move(member)), hr(hr) {}
  json Body() const {
    json body{{"error", message}};
    if (!member.empty()) body["member"] = member;
    if (hr != S_OK) body["code"] = vorn_rt::HresultHex(hr);
    return body;
  }
  int status;
  std::string message;
  std::string member;
  HRESULT hr;
};

}  // namespace

namespace {

// The text a request gives under `key`, bounded; throws when it is missing.
const std::string& TextOf(const json& request, const char* key) {
  const auto found = request.find(key);
  if (found == request.end() || !found->is_string()) {
    throw Failure(400, std::string("\"") + key + "\" must be a string");
  }
  const std::string& text = found->get_ref<const std::string&>();
  if (text.empty() || text.size() > kMaxName) {
    throw Failure(400, std::string("\"") + key + "\" must hold 1 to " +
                                std::to_string(kMaxName) + " bytes");
  }
  return text;
}

int64_t NumberOf(const json& request, const char* key) {
  const auto found = request.find(key);
  if (found == request.end() || !found->is_number_integer()) {
    throw Failure(400, std::string("\"") + key + "\" must be a whole number");
  }
  return found->get<int64_t>();
}

}  // namespace

Api::Api(const ApiOptions& options, AutomationThread* thread)
    : options_(options), thread_(thread), lastDialogPoll_(Clock::now()) {}

ApiReply Api::Handle(const std::string& operation, const json& request) {
  try {
    if (!request.is_object()) throw Failure(400, "the request must be a JSON object");
    if (shutDown_) throw Failure(503, "the server is stopping");
    if (operation == "create") return Create(request);
    if (operation == "members") return Members(request);
    if (operation == "call") return ApiReply{200, json{{"result", Call(request)}}};
    if (operation == "batch") return Batch(request);
    if (operation == "release") return Release(request);
    if (operation == "dialogs") return Dialogs();
    if (operation == "close") return CloseDialog(request);
    if (operation == "draw") return Draw(request);
    if (operation == "mouse") return Mouse(request);
    if (operation == "verb") return Verb(request);
    if (operation == "listen") return Listen(request);
    if (operation == "events") {
      // This thread must not wait: the events come in on it.
      json now = request;
      now["wait"] = 0;
      return events_.Wait(now);
    }
    throw Failure(404, "no operation \"" + operation + "\"");
  } catch (const Failure& failure) {
    return ApiReply{failure.status, failure.Body()};
  } catch (const std::bad_alloc&) {
    return ApiReply{503, json{{"error", "out of memory"}}};
  } catch (const std::exception& e) {
    return ApiReply{500, json{{"error", std::string("internal error: ") + e.what()}}};
  }
}

// ---- Objects ------------------------------------------------------------------------

int64_t Api::Enter(IDispatch* dispatch) {
  ComPtr<IUnknown> identity;
  if (FAILED(dispatch->QueryInterface(IID_IUnknown, identity.PutVoid())) || !identity) {
    throw Failure(422, "the object does not answer IUnknown");
  }
  const auto known = byIdentity_.find(identity.Get());
  if (known != byIdentity_.end()) {
    objects_[known->second].lastUsed = Clock::now();
    return known->second;
  }
  if (objects_.size() >= options_.maxObjects) {
    throw Failure(429, "too many objects (" + std::to_string(options_.maxObjects) +
                           "); release some first");
  }
  const int64_t id = nextObject_++;
  Entry& entry = objects_[id];
  entry.dispatch = ComPtr<IDispatch>(dispatch);
  entry.identity = identity;
  entry.members = vorn_rt::DescribeMembers(dispatch);
  entry.lastUsed = Clock::now();
  byIdentity_[identity.Get()] = id;
  return id;
}

Api::Entry& Api::Find(const json& request, const char* key) {
  const int64_t id = NumberOf(request, key);
  const auto found = objects_.find(id);
  if (found == objects_.end()) throw Failure(404, "unknown object " + std::to_string(id));
  found->second.lastUsed = Clock::now();
  return found->second;
}

json Api::MemberList(const Entry& entry) const {
  json list = json::array();
  for (const vorn_rt::AutomationMember& m : entry.members) {
    json params = json::array();
    for (const vorn_rt::AutomationParam& p : m.paramList) {
      params.push_back({{"name", p.name}, {"type", TypeName(p.type)}, {"optional", p.optional}});
    }
    list.push_back({{"name", m.name},
                    {"dispid", m.dispid},
                    {"kind", KindName(m.kind)},
                    {"params", std::move(params)},
                    {"result", TypeName(m.result)}});
  }
  return list;
}

ApiReply Api::Create(const json& request) {
  const std::string& name = TextOf(request, "name");
  ComPtr<IDispatch> dispatch;
  const HRESULT hr = vorn_rt::CreateAutomationObject(name, dispatch.Put());
  if (FAILED(hr)) {
    throw Failure(StatusOf(hr), vorn_rt::DescribeFailure(name, hr, nullptr), name, hr);
  }
  const int64_t id = Enter(dispatch.Get());
  return ApiReply{201, json{{"object", id}, {"members", MemberList(objects_.at(id))}}};
}

ApiReply Api::Members(const json& request) {
  return ApiReply{200, json{{"members", MemberList(Find(request, "object"))}}};
}

ApiReply Api::Release(const json& request) {
  const int64_t id = NumberOf(request, "object");
  const auto found = objects_.find(id);
  if (found == objects_.end()) throw Failure(404, "unknown object " + std::to_string(id));
  // The entry leaves the table before the object goes: its destructor may
  // call back into the API through a dialog's nested loop.
  Entry gone = Remove(found);
  return ApiReply{};
}

Api::Entry Api::Remove(std::map<int64_t, Entry>::iterator found) {
  events_.Close(found->first);
  Entry gone = std::move(found->second);
  byIdentity_.erase(gone.identity.Get());
  objects_.erase(found);
  return gone;
}

void Api::Tick() {
  const Clock::time_point now = Clock::now();
  std::vector<Entry> expired;
  for (auto it = objects_.begin(); it != objects_.end();) {
    // A page that waits for an object's events still uses it.
    const Clock::time_point used = events_.LastAsked(it->first, it->second.lastUsed);
    if (it->second.busy == 0 && now - used >= options_.idleLimit) {
      expired.push_back(Remove(it++));
    } else {
      ++it;
    }
  }
  // `expired` releases the objects here, after the table is consistent.
}

void Api::Shutdown() {
  shutDown_ = true;
  events_.Stop();
  for (auto& dialog : dialogs_) dialog.second.closed = true;
  std::map<int64_t, Entry> objects;
  objects.swap(objects_);
  byIdentity_.clear();
}

// ---- Values ---------------------------------------------------------------------------

void Api::ToVariant(const json& value, VARIANT* out) {
  VariantInit(out);
  switch (value.type()) {
    case json::value_t::null:
      out->vt = VT_NULL;
      return;
    case json::value_t::boolean:
      out->vt = VT_BOOL;
      out->boolVal = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: {
      const double number = value.get<double>();
      if (std::trunc(number) == number && number >= -2147483648.0 && number <= 2147483647.0) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(number);
      } else {
        out->vt = VT_R8;
        out->dblVal = number;
      }
      return;
    }
    case json::value_t::string: {
      const std::string& text = value.get_ref<const std::string&>();
      BSTR bstr = VornSysAllocStringA(text.data(), static_cast<int>(text.size()));
      if (!bstr) throw std::bad_alloc();
      out->vt = VT_BSTR;
      out->bstrVal = bstr;
      return;
    }
    case json::value_t::object:
      if (value.size() == 1 && value.contains("object")) {
        const Entry& entry = Find(value, "object");
        out->vt = VT_DISPATCH;
        entry.dispatch.CopyTo(&out->pdispVal);
        return;
      }
      throw Failure(400, "an object argument must be {\"object\": N}");
    default:
      throw Failure(400, std::string("cannot pass ") + value.type_name());
  }
}

json Api::FromVariant(const VARIANT& value, int depth) {
  VARTYPE vt = value.vt;
  const bool byRef = (vt & VT_BYREF) != 0;
  vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
  if (byRef && !value.byref) throw Failure(422, "a reference result points nowhere");
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_VARIANT:
      if (!byRef || depth >= kMaxDepth) break;
      return FromVariant(*value.pvarVal, depth + 1);
    case VT_BOOL:
      return (byRef ? *value.pboolVal : value.boolVal) != VARIANT_FALSE;
    case VT_BSTR:
      return vorn_rt::Utf8OfBstr(byRef ? *value.pbstrVal : value.bstrVal);
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = vt == VT_DISPATCH
                              ? static_cast<IUnknown*>(byRef ? *value.ppdispVal : value.pdispVal)
                              : (byRef ? *value.ppunkVal : value.punkVal);
      if (!unknown) return nullptr;
      ComPtr<IDispatch> dispatch;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, dispatch.PutVoid())) || !dispatch) {
        throw Failure(422, "the object it returned cannot be called");
      }
      return json{{"object", Enter(dispatch.Get())}};
    }
    case VT_ERROR:
      return static_cast<int64_t>(byRef ? *value.plVal : value.scode);
    default:
      break;
  }
  VARIANT number;
  VariantInit(&number);
  if (FAILED(VariantChangeType(&number, &value, 0, VT_R8))) {
    throw Failure(422, "its value of type " + std::to_string(value.vt) + " has no JSON form");
  }
  const double d = number.dblVal;
  if (!std::isfinite(d)) return nullptr;  // JSON has no infinities
  if (std::trunc(d) == d && std::fabs(d) < 9007199254740992.0) return static_cast<int64_t>(d);
  return d;
}

// ---- Calls ---------------------------------------------------------------------------

json Api::Call(const json& call) {
  if (!call.is_object()) throw Failure(400, "a call must be a JSON object");
  const int64_t id = NumberOf(call, "object");
  const std::string& name = TextOf(call, "member");
  Entry& entry = Find(call, "object");

  // The member: from the type information when it lists the name (the kind
  // asked for, or the method, or else the getter), else by name.
  bool kindGiven = false;
  MemberKind kind = MemberKind::kMethod;
  if (const auto k = call.find("kind"); k != call.end()) {
    const std::string text = k->is_string() ? k->get<std::string>() : std::string();
    if (text == "method") {
      kind = MemberKind::kMethod;
    } else if (text == "get") {
      kind = MemberKind::kGetter;
    } else if (text == "put") {
      kind = MemberKind::kSetter;
    } else {
      throw Failure(400, name + ": \"kind\" must be \"method\", \"get\" or \"put\"", name);
    }
    kindGiven = true;
  }
  const vorn_rt::AutomationMember* member = nullptr;
  for (const vorn_rt::AutomationMember& m : entry.members) {
    if (strcasecmp(m.name.c_str(), name.c_str()) != 0) continue;
    if (kindGiven ? m.kind == kind
                  : (m.kind == MemberKind::kMethod ||
                     (m.kind == MemberKind::kGetter && !member))) {
      member = &m;
      if (kindGiven || m.kind == MemberKind::kMethod) break;
    }
  }
  vorn_rt::CallDetails details;
  if (member) {
    kind = member->kind;
    details.declared = member->params;
    details.optional = member->optional;
  }
  // The object's own name lookup decides the DISPID (a property's accessors
  // share one, whatever its type information lists); it is asked once.
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  DISPID dispid = DISPID_UNKNOWN;
  if (const auto known = entry.ids.find(key); known != entry.ids.end()) {
    dispid = known->second;
  } else {
    const HRESULT hr = vorn_rt::IdOfName(entry.dispatch.Get(), name, &dispid);
    if (FAILED(hr) && member) {
      dispid = member->dispid;
    } else if (FAILED(hr)) {
      throw Failure(StatusOf(hr), vorn_rt::DescribeFailure(name, hr, nullptr), name, hr);
    } else if (entry.ids.size() < 4096) {
      entry.ids.emplace(std::move(key), dispid);
    }
  }

  json none = json::array();
  const auto a = call.find("args");
  const json& args = a == call.end() ? none : *a;
  if (!args.is_array()) throw Failure(400, name + ": \"args\" must be an array", name);
  if (args.size() > kMaxArgs) {
    throw Failure(400, name + ": more than " + std::to_string(kMaxArgs) + " arguments", name);
  }
  if (kind == MemberKind::kSetter && args.size() != 1) {
    throw Failure(400, name + ": a property is set with one argument", name);
  }
  VariantArray values(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    try {
      ToVariant(args[i], &values[i]);
    } catch (const Failure& failure) {
      throw Failure(failure.status,
                    name + ": argument " + std::to_string(i + 1) + ": " + failure.message, name);
    }
  }
  details.argCount = static_cast<int>(args.size());

  // The object may leave the table while the call runs (a dialog's nested
  // loop serves other requests), so the call holds its own reference and
  // the entry is looked up again afterwards.
  ComPtr<IDispatch> dispatch = entry.dispatch;
  ++entry.busy;
  calling_.push_back(id);
  VARIANT result;
  VariantInit(&result);
  vorn_rt::CallFault fault;
  const HRESULT hr = vorn_rt::InvokeMember(dispatch.Get(), dispid, kind, values.data(),
                                           args.size(), &result, &fault, !member && !kindGiven);
  calling_.pop_back();
  if (const auto again = objects_.find(id); again != objects_.end()) {
    --again->second.busy;
    again->second.lastUsed = Clock::now();
  }
  if (FAILED(hr)) {
    VariantClear(&result);
    details.argument = fault.argument;
    throw Failure(StatusOf(hr == DISP_E_EXCEPTION ? fault.exception.scode : hr),
                  vorn_rt::DescribeFailure(name, hr,
                                           hr == DISP_E_EXCEPTION ? &fault.exception : nullptr,
                                           details),
                  name, hr == DISP_E_EXCEPTION && FAILED(fault.exception.scode)
                            ? fault.exception.scode
                            : hr);
  }
  try {
    json out = FromVariant(result);
    VariantClear(&result);
    return out;
  } catch (const Failure& failure) {
    VariantClear(&result);
    throw Failure(failure.status, name + ": the result cannot be used: " + failure.message, name);
  }
}

ApiReply Api::Batch(const json& request) {
  const auto calls = request.find("calls");
  if (calls == request.end() || !calls->is_array()) {
    throw Failure(400, "\"calls\" must be an array");
  }
  if (calls->size() > options_.maxBatch) {
    throw Failure(400, "a batch holds at most " + std::to_string(options_.maxBatch) + " calls");
  }
  json results = json::array();
  for (size_t i = 0; i < calls->size(); ++i) {
    try {
      results.push_back(Call((*calls)[i]));
    } catch (const Failure& failure) {
      json body = failure.Body();
      body["index"] = i;
      body["results"] = std::move(results);
      return ApiReply{failure.status, std::move(body)};
    }
  }
  return ApiReply{200, json{{"results", std::move(results)}}};
}

// ---- Dialogs ---------------------------------------------------------------------------

namespace {

constexpr COLORREF kDialogFace = RGB(192, 192, 192);

std::string Base64(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (n > 1) v |= uint32_t{bytes[i + 1]} << 8;
    if (n > 2) v |= bytes[i + 2];
    for (size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kDigits[(v >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

// Icon `name` drawn on the dialog's face in a `width` x `height` box, as
// {"width", "height", "rgba"}; null when it cannot be loaded.
json IconImage(HINSTANCE instance, LPCSTR name, int width, int height) {
  if (width < 1 || height < 1 || width > 256 || height > 256) return nullptr;
  HICON icon = LoadIconA(instance, name);
  if (!icon) return nullptr;
  HDC dc = VornCreateBitmapDC(width, height, kDialogFace);
  vorn_rt::Pixels pixels;
  const bool drawn = dc && DrawIcon(dc, 0, 0, icon) && vorn_rt::CopyDCPixels(dc, &pixels);
  if (dc) DeleteDC(dc);
  DestroyIcon(icon);
  if (!drawn) return nullptr;
  return json{{"width", width}, {"height", height}, {"rgba", Base64(pixels.rgba)}};
}

// The dialog as the page draws it: sizes in pixels, items below the caption.
json DescribeDialog(HINSTANCE instance, LPCSTR templateName) {
  json description{{"caption", ""}, {"items", json::array()}, {"face", "#c0c0c0"}};
  SIZE size{};
  if (VornGetDialogSize(instance, templateName, &size)) {
    description["width"] = size.cx;
    description["height"] = size.cy;
  }
  const int length = VornFormatDialogText(instance, templateName, nullptr, 0);
  if (length >= 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    VornFormatDialogText(instance, templateName, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    description["text"] = text;
  }
  HRSRC found = FindResourceA(instance, templateName, RT_DIALOG);
  const auto* t = static_cast<const DIALOG_TEMPLATE*>(LockResource(LoadResource(instance, found)));
  if (!t || SizeofResource(instance, found) != sizeof(DIALOG_TEMPLATE)) return description;
  const bool caption = (t->style & WS_CAPTION) == WS_CAPTION && t->caption && t->caption[0];
  if (caption) description["caption"] = t->caption;
  description["child"] = (t->style & WS_CHILD) != 0;
  description["captionHeight"] = caption ? kDialogCaptionHeight : 0;
  if ((t->style & DS_SETFONT) && t->faceName) {
    description["font"] = {{"face", t->faceName}, {"size", t->pointSize}};
  }
  for (UINT i = 0; t->items && i < t->itemCount; ++i) {
    const DIALOG_ITEM& item = t->items[i];
    RECT r{item.x, item.y, item.x + item.cx, item.y + item.cy};
    VornMapDialogRect(&r);
    const bool button = item.itemClass == DIALOG_BUTTON;
    const bool icon = !button && (item.style & 0xF) == SS_ICON;
    std::string text;
    if (!icon && item.text && !IS_INTRESOURCE(item.text)) text = item.text;
    const char* kind = button ? "button" : icon ? "icon" : "text";
    const char* align = (item.style & 0xF) == SS_CENTER ? "center"
                        : (item.style & 0xF) == SS_RIGHT ? "right"
                                                          : "left";
    json entry{{"kind", kind},
               {"id", item.id},
               {"x", r.left},
               {"y", r.top + (caption ? kDialogCaptionHeight : 0)},
               {"width", r.right - r.left},
               {"height", r.bottom - r.top},
               {"text", text}};
    if (button) entry["default"] = (item.style & 0xF) == BS_DEFPUSHBUTTON;
    if (icon) entry["image"] = IconImage(instance, item.text, r.right - r.left, r.bottom - r.top);
    if (!button && !icon) entry["align"] = align;
    description["items"].push_back(std::move(entry));
  }
  return description;
}

}  // namespace

INT_PTR Api::RunDialog(HINSTANCE instance, LPCSTR templateName) {
  if (!thread_->OnThread() || shutDown_) return IDCANCEL;
  const int64_t id = nextDialog_++;
  try {
    Dialog dialog;
    dialog.owner = calling_.empty() ? 0 : calling_.back();
    dialog.description = DescribeDialog(instance, templateName);
    dialog.opened = Clock::now();
    dialogs_.emplace(id, std::move(dialog));
  } catch (...) {
    return -1;
  }
  thread_->PumpUntil([&] {
    const Dialog& d = dialogs_.at(id);
    if (d.closed) return true;
    if (d.owner != 0 && objects_.find(d.owner) == objects_.end()) return true;
    const Clock::time_point seen = std::max(d.opened, lastDialogPoll_);
    return Clock::now() - seen >= options_.dialogTimeout;
  });
  const auto done = dialogs_.find(id);
  const INT_PTR result = done->second.closed && !shutDown_ ? done->second.result : IDCANCEL;
  dialogs_.erase(done);
  return result;
}

ApiReply Api::Dialogs() {
  lastDialogPoll_ = Clock::now();
  json list = json::array();
  for (const auto& [id, dialog] : dialogs_) {
    if (dialog.closed) continue;
    json entry = dialog.description;
    entry["dialog"] = id;
    entry["object"] = dialog.owner;
    list.push_back(std::move(entry));
  }
  return ApiReply{200, json{{"dialogs", std::move(list)}}};
}

ApiReply Api::CloseDialog(const json& request) {
  const int64_t id = NumberOf(request, "dialog");
  const auto found = dialogs_.find(id);
  if (found == dialogs_.end() || found->second.closed) {
    throw Failure(404, "no open dialog " + std::to_string(id));
  }
  INT_PTR result = IDOK;
  if (request.contains("result")) {
    const int64_t given = NumberOf(request, "result");
    if (given < std::numeric_limits<int>::min() || given > std::numeric_limits<int>::max()) {
      throw Failure(400, "\"result\" is out of range");
    }
    result = static_cast<INT_PTR>(given);
  }
  found->second.closed = true;
  found->second.result = result;
  return ApiReply{};
}

}  // namespace vornweb

// ---- The control on the page: drawing, mouse, verbs, events ---------------------

namespace vornweb {

namespace {

// An int member of `request` within [low, high]; `fallback` when it is absent.
int IntOf(const json& request, const char* key, int low, int high, int fallback) {
  if (!request.contains(key)) return fallback;
  const int64_t n = NumberOf(request, key);
  if (n < low || n > high) {
    throw Failure(400, std::string("\"") + key + "\" must lie between " + std::to_string(low) +
                           " and " + std::to_string(high));
  }
  return static_cast<int>(n);
}

int RequiredIntOf(const json& request, const char* key, int low, int high) {
  NumberOf(request, key);  // throws when it is missing
  return IntOf(request, key, low, high, 0);
}

// Pixels (96 to the inch) as HIMETRIC, 0.01 mm.
LONG PixelsToHimetric(int pixels) { return static_cast<LONG>((pixels * 2540LL + 48) / 96); }

// Mouse buttons and modifier keys as a mouse message's WPARAM bits.
WPARAM KeyStateOf(int buttons, int shift) {
  WPARAM state = 0;
  if (buttons & LEFT_BUTTON) state |= MK_LBUTTON;
  if (buttons & RIGHT_BUTTON) state |= MK_RBUTTON;
  if (buttons & MIDDLE_BUTTON) state |= MK_MBUTTON;
  if (shift & SHIFT_MASK) state |= MK_SHIFT;
  if (shift & CTRL_MASK) state |= MK_CONTROL;
  if (shift & ALT_MASK) state |= MK_ALT;
  return state;
}

}  // namespace

ApiReply Api::Draw(const json& request) {
  Entry& entry = Find(request, "object");
  const int width = RequiredIntOf(request, "width", 1, kMaxDrawSide);
  const int height = RequiredIntOf(request, "height", 1, kMaxDrawSide);
  std::string format = "png";
  if (request.contains("format")) format = TextOf(request, "format");
  if (format != "png" && format != "rgba") {
    throw Failure(400, "\"format\" must be \"png\" or \"rgba\"");
  }
  ComPtr<IViewObject> view;
  if (FAILED(entry.dispatch->QueryInterface(IID_IViewObject, view.PutVoid())) || !view) {
    throw Failure(404, "object " + std::to_string(NumberOf(request, "object")) +
                           " does not draw itself");
  }
  // The control is as large as the element that shows it, so that it knows
  // which clicks fall on it.
  ComPtr<IOleObject> ole;
  if (SUCCEEDED(entry.dispatch->QueryInterface(IID_IOleObject, ole.PutVoid())) && ole) {
    SIZEL extent{PixelsToHimetric(width), PixelsToHimetric(height)};
    ole->SetExtent(DVASPECT_CONTENT, &extent);
  }
  HDC dc = VornCreateBitmapDC(width, height, RGB(255, 255, 255));
  if (!dc) throw std::bad_alloc();
  const RECTL bounds{0, 0, width, height};
  const HRESULT hr =
      view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
  vorn_rt::Pixels pixels;
  const bool copied = SUCCEEDED(hr) && vorn_rt::CopyDCPixels(dc, &pixels);
  DeleteDC(dc);
  if (FAILED(hr)) throw Failure(422, "the object failed to draw itself", "", hr);
  if (!copied) throw std::bad_alloc();
  ApiReply reply;
  if (format == "rgba") {
    reply.contentType = "application/octet-stream";
    reply.data.assign(pixels.rgba.begin(), pixels.rgba.end());
  } else {
    reply.contentType = "image/png";
    if (!vorn_rt::EncodePng(pixels, &reply.data)) throw std::bad_alloc();
  }
  return reply;
}

ApiReply Api::Mouse(const json& request) {
  const int64_t id = NumberOf(request, "object");
  Entry& entry = Find(request, "object");
  const std::string& action = TextOf(request, "action");
  const int x = RequiredIntOf(request, "x", -32768, 32767);
  const int y = RequiredIntOf(request, "y", -32768, 32767);
  int buttons = IntOf(request, "buttons", 0, 7, 0);
  const int shift = IntOf(request, "shift", 0, 7, 0);
  UINT message = WM_MOUSEMOVE;
  if (action != "move") {
    const int button = RequiredIntOf(request, "button", 1, 4);
    const int which = button == LEFT_BUTTON ? 0 : button == RIGHT_BUTTON ? 1
                      : button == MIDDLE_BUTTON ? 2 : -1;
    if (which < 0) throw Failure(400, "\"button\" must be 1, 2 or 4");
    static const UINT kDown[] = {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN};
    static const UINT kUp[] = {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP};
    static const UINT kDouble[] = {WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK};
    if (action == "down") {
      message = kDown[which];
    } else if (action == "up") {
      message = kUp[which];
    } else if (action == "dblclick") {
      message = kDouble[which];
    } else {
      throw Failure(400, "\"action\" must be \"down\", \"up\", \"dblclick\" or \"move\"");
    }
    // The message's key state holds the button while it is down.
    buttons = action == "up" ? (buttons & ~button) : (buttons | button);
  }
  ComPtr<IVornControlWindow> window;
  if (FAILED(entry.dispatch->QueryInterface(IID_IVornControlWindow, window.PutVoid())) ||
      !window) {
    throw Failure(404, "object " + std::to_string(id) + " has no window to take the mouse");
  }
  ++entry.busy;
  calling_.push_back(id);
  LRESULT result = 0;
  const HRESULT hr =
      window->OnWindowMessage(message, KeyStateOf(buttons, shift), MAKELPARAM(x, y), &result);
  calling_.pop_back();
  if (const auto again = objects_.find(id); again != objects_.end()) --again->second.busy;
  if (FAILED(hr)) throw Failure(422, "the object failed to take the mouse message", "", hr);
  return ApiReply{200, json{{"handled", hr == S_OK}}};
}

ApiReply Api::Verb(const json& request) {
  const int64_t id = NumberOf(request, "object");
  Entry& entry = Find(request, "object");
  const int verb = RequiredIntOf(request, "verb", std::numeric_limits<int>::min(),
                                 std::numeric_limits<int>::max());
  ComPtr<IOleObject> ole;
  if (FAILED(entry.dispatch->QueryInterface(IID_IOleObject, ole.PutVoid())) || !ole) {
    throw Failure(404, "object " + std::to_string(id) + " has no verbs");
  }
  // As with a call, the object may leave the table while a dialog is open.
  ++entry.busy;
  calling_.push_back(id);
  const HRESULT hr = ole->DoVerb(verb, nullptr);
  calling_.pop_back();
  if (const auto again = objects_.find(id); again != objects_.end()) {
    --again->second.busy;
    again->second.lastUsed = Clock::now();
  }
  if (hr == OLEOBJ_S_INVALIDVERB) {
    throw Failure(404, "object " + std::to_string(id) + " has no verb " + std::to_string(verb),
                  "", hr);
  }
  if (FAILED(hr)) {
    throw Failure(StatusOf(hr), "verb " + std::to_string(verb) + ": " +
                                    vorn_rt::HresultMeaning(hr), "", hr);
  }
  return ApiReply{};
}

ApiReply Api::Listen(const json& request) {
  const int64_t id = NumberOf(request, "object");
  Entry& entry = Find(request, "object");
  if (!entry.events) {
    vorn_rt::EventInterface found;
    HRESULT hr = vorn_rt::FindEventInterface(entry.dispatch.Get(), &found);
    if (FAILED(hr)) {
      throw Failure(404, "object " + std::to_string(id) + " fires no events", "", hr);
    }
    json list = json::array();
    for (const auto& [dispid, name] : found.names) {
      list.push_back({{"name", name}, {"dispid", dispid}, {"params", found.params[dispid]}});
    }
    auto connection = std::make_unique<vorn_rt::EventConnection>();
    hr = connection->Connect(
        entry.dispatch.Get(), found,
        [this, id](const std::string& name, const VARIANT* args, size_t count) -> HRESULT {
          try {
            json values = json::array();
            for (size_t i = 0; i < count; ++i) {
              try {
                values.push_back(FromVariant(args[i]));
              } catch (const Failure&) {
                values.push_back(nullptr);  // a value JSON cannot carry
              }
            }
            events_.Add(id, name, std::move(values));
            return S_OK;
          } catch (...) {
            return E_OUTOFMEMORY;
          }
        });
    if (FAILED(hr)) {
      throw Failure(StatusOf(hr), "cannot connect to the events of object " +
                                      std::to_string(id), "", hr);
    }
    entry.events = std::move(connection);
    entry.eventList = std::move(list);
  }
  const uint64_t next = events_.Open(id);
  return ApiReply{200, json{{"events", entry.eventList}, {"after", next - 1}}};
}

// ---- The event log ---------------------------------------------------------------

uint64_t EventLog::Open(int64_t object) {
  std::lock_guard<std::mutex> lock(mutex_);
  return logs_[object].next;
}

void EventLog::Add(int64_t object, const std::string& name, json args) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = logs_.find(object);
    if (found == logs_.end()) return;
    Log& log = found->second;
    if (log.events.size() >= kMaxKept) {
      log.events.pop_front();
      ++log.lost;
    }
    log.events.push_back(Event{log.next++, name, std::move(args)});
  }
  changed_.notify_all();
}

void EventLog::Close(int64_t object) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.erase(object);
  }
  changed_.notify_all();
}

void EventLog::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    logs_.clear();
  }
  changed_.notify_all();
}

EventLog::Clock::time_point EventLog::LastAsked(int64_t object, Clock::time_point since) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = logs_.find(object);
  return found == logs_.end() ? since : std::max(since, found->second.asked);
}

ApiReply EventLog::Wait(const json& request) {
  try {
    if (!request.is_object()) throw Failure(400, "the request must be a JSON object");
    const int64_t object = NumberOf(request, "object");
    int64_t after = 0;
    if (request.contains("after")) after = NumberOf(request, "after");
    if (after < 0) throw Failure(400, "\"after\" must not be negative");
    const int wait = IntOf(request, "wait", 0, kMaxEventWait, 0);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(wait);

    std::unique_lock<std::mutex> lock(mutex_);
    auto unknown = [&] {
      return Failure(404, "no events are kept for object " + std::to_string(object) +
                              "; listen first");
    };
    if (stopped_) throw Failure(503, "the server is stopping");
    auto found = logs_.find(object);
    if (found == logs_.end()) throw unknown();
    found->second.asked = Clock::now();
    const uint64_t first = static_cast<uint64_t>(after) + 1;
    if (wait > 0 && found->second.next <= first && waiters_ < kMaxWaiters) {
      ++waiters_;
      changed_.wait_until(lock, until, [&] {
        found = logs_.find(object);
        return stopped_ || found == logs_.end() || found->second.next > first;
      });
      --waiters_;
      if (stopped_) throw Failure(503, "the server is stopping");
      if (found == logs_.end()) throw unknown();
      found->second.asked = Clock::now();
    }
    const Log& log = found->second;
    json list = json::array();
    uint64_t lost = 0;
    const uint64_t oldest = log.events.empty() ? log.next : log.events.front().seq;
    if (first < oldest) lost = oldest - first;
    for (const Event& e : log.events) {
      if (e.seq < first) continue;
      list.push_back({{"seq", e.seq}, {"name", e.name}, {"args", e.args}});
    }
    const uint64_t last = std::max<uint64_t>(static_cast<uint64_t>(after), log.next - 1);
    return ApiReply{200, json{{"events", std::move(list)}, {"after", last}, {"lost", lost}}};
  } catch (const Failure& failure) {
    return ApiReply{failure.status, failure.Body()};
  } catch (const std::bad_alloc&) {
    return ApiReply{503, json{{"error", "out of memory"}}};
  } catch (const std::exception& e) {
    return ApiReply{500, json{{"error", std::string("internal error: ") + e.what()}}};
  }
}

}  // namespace vornweb
