#include "services/store/header_fields.h"

#include <cstring>

#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/text.h"
#include "services/store/memory_stream.h"

namespace vorn_store {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimLeft(text);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

struct CharsetCodePage {
  const char* name;
  DWORD codePage;
};

// Charset names as they appear in mail (lower case), with their code pages.
constexpr CharsetCodePage kCharsets[] = {
    {"utf-8", 65001},         {"utf8", 65001},           {"us-ascii", 20127},
    {"ascii", 20127},         {"iso-8859-1", 28591},     {"iso8859-1", 28591},
    {"iso_8859-1", 28591},    {"latin1", 28591},         {"l1", 28591},
    {"iso-8859-2", 28592},    {"iso-8859-3", 28593},     {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},    {"iso-8859-6", 28596},     {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},    {"iso-8859-9", 28599},     {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},   {"windows-1250", 1250},    {"windows-1251", 1251},
    {"windows-1252", 1252},   {"cp1252", 1252},          {"windows-1253", 1253},
    {"windows-1254", 1254},   {"windows-1255", 1255},    {"windows-1256", 1256},
    {"windows-1257", 1257},   {"windows-1258", 1258},    {"koi8-r", 20866},
    {"koi8-u", 21866},        {"shift_jis", 932},        {"shift-jis", 932},
    {"sjis", 932},            {"euc-jp", 51932},         {"iso-2022-jp", 50220},
    {"gb2312", 936},          {"gbk", 936},              {"gb18030", 54936},
    {"big5", 950},            {"euc-kr", 51949},         {"ks_c_5601-1987", 949},
    {"iso-2022-kr", 50225},   {"utf-16", 1200},          {"utf-16le", 1200},
    {"utf-16be", 1201},       {"utf-7", 65000},          {"tis-620", 874},
    {"windows-874", 874},     {"ibm850", 850},           {"cp850", 850},
    {"ibm437", 437},          {"cp437", 437},
};

// Reads one text field; empty when it is absent or cannot be read.
std::string TextProp(IMimePropertySet* props, LPCSTR name, DWORD flags, bool* present = nullptr) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  std::string text;
  HRESULT hr = props->GetProp(name, flags, &value);
  if (SUCCEEDED(hr) && value.vt == VT_LPSTR && value.pszVal) {
    text = value.pszVal;
    if (present) *present = true;
  }
  PropVariantClear(&value);
  return text;
}

}  // namespace

std::string NormaliseSubject(std::string_view subject) {
  static constexpr std::string_view kPrefixes[] = {"re:", "fwd:", "fw:"};
  std::string_view rest = TrimLeft(subject);
  for (bool removed = true; removed;) {
    removed = false;
    for (std::string_view prefix : kPrefixes) {
      if (vorn_rt::StartsWithNoCase(rest, prefix)) {
        rest = TrimLeft(rest.substr(prefix.size()));
        removed = true;
        break;
      }
    }
  }
  return std::string(rest);
}

DWORD CodePageFromCharset(std::string_view charset) {
  std::string name = vorn_rt::AsciiLowered(Trim(charset));
  for (const CharsetCodePage& entry : kCharsets) {
    if (name == entry.name) return entry.codePage;
  }
  // "cp" or "windows-" followed by a number names that code page.
  for (std::string_view prefix : {std::string_view("windows-"), std::string_view("cp")}) {
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
      DWORD number = 0;
      size_t i = prefix.size();
      for (; i < name.size() && i < prefix.size() + 5; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) break;
        number = number * 10 + static_cast<DWORD>(name[i] - '0');
      }
      if (i == name.size() && number >= 437 && number <= 1258) return number;
    }
  }
  return 0;
}

IMSGPRIORITY PriorityFromFields(const char* xPriority, const char* importance) {
  if (xPriority) {
    std::string_view value = TrimLeft(xPriority);
    if (!value.empty() && value.front() >= '1' && value.front() <= '5' &&
        (value.size() == 1 || !std::isdigit(static_cast<unsigned char>(value[1])))) {
      char digit = value.front();
      if (digit <= '2') return IMSG_PRI_HIGH;
      if (digit == '3') return IMSG_PRI_NORMAL;
      return IMSG_PRI_LOW;
    }
  }
  if (importance) {
    std::string value = vorn_rt::AsciiLowered(Trim(importance));
    if (value == "high") return IMSG_PRI_HIGH;
    if (value == "low") return IMSG_PRI_LOW;
  }
  return IMSG_PRI_NORMAL;
}

HRESULT DeriveHeaderFields(std::shared_ptr<const std::string> raw,
                           IClassFactory* mimeMessageClass, HeaderFields* fields) {
  *fields = HeaderFields();
  ComPtr<IClassFactory> factory;
  if (mimeMessageClass) {
    factory = ComPtr<IClassFactory>(mimeMessageClass);
  } else {
    HRESULT hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                                  IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
  }
  ComPtr<IPersistStreamInit> persist;
  HRESULT hr = factory->CreateInstance(nullptr, IID_IPersistStreamInit, persist.PutVoid());
  if (FAILED(hr)) return hr;
  if (!persist) return E_NOINTERFACE;
  ComPtr<IStream> stream;
  ComPtr<IMimeMessage> message;
  if (FAILED(MemoryStream::CreateReader(std::move(raw), stream.Put())) ||
      FAILED(persist->Load(stream.Get())) || FAILED(persist.As(&message)) || !message) {
    return S_FALSE;
  }
  ReadHeaderFields(message.Get(), fields);
  return S_OK;
}

void ReadHeaderFields(IMimeMessage* message, HeaderFields* fields) {
  *fields = HeaderFields();
  HBODY root = HBODY_NULL;
  ComPtr<IMimePropertySet> props;
  if (SUCCEEDED(message->GetBody(IBL_ROOT, HBODY_NULL, &root)) &&
      SUCCEEDED(message->BindToObject(root, IID_IMimePropertySet, props.PutVoid())) && props) {
    fields->subject = TextProp(props.Get(), "Subject", 0);
    fields->normalSubject = NormaliseSubject(fields->subject);
    fields->displayFrom = TextProp(props.Get(), "From", PDF_DISPLAYNAMES);
    fields->displayTo = TextProp(props.Get(), "To", PDF_DISPLAYNAMES);

    PROPVARIANT date;
    PropVariantInit(&date);
    date.vt = VT_FILETIME;
    if (SUCCEEDED(props->GetProp("Date", 0, &date)) && date.vt == VT_FILETIME) {
      uint64_t ticks = (static_cast<uint64_t>(date.filetime.dwHighDateTime) << 32) |
                       date.filetime.dwLowDateTime;
      // Keep only instants a FILETIME can be turned back into fields from.
      if (ticks < (uint64_t{1} << 63)) fields->sent = ticks;
    }
    PropVariantClear(&date);

    bool hasXPriority = false;
    bool hasImportance = false;
    std::string xPriority = TextProp(props.Get(), "X-Priority", 0, &hasXPriority);
    std::string importance = TextProp(props.Get(), "Importance", 0, &hasImportance);
    fields->priority = PriorityFromFields(hasXPriority ? xPriority.c_str() : nullptr,
                                          hasImportance ? importance.c_str() : nullptr);

    fields->language = CodePageFromCharset(TextProp(props.Get(), PIDSTR_MAIN_CHARSET, 0));
  }

  ULONG count = 0;
  LPHBODY bodies = nullptr;
  if (SUCCEEDED(message->GetAttachments(&count, &bodies))) fields->hasAttachment = count > 0;
  CoTaskMemFree(bodies);
}

}  // namespace vorn_store
