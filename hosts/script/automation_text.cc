#include "hosts/script/automation_text.h"

#include <cstdio>

#include "platform/message_text.h"
#include "platform/runtime.h"

namespace vornhost {
namespace {

std::string Narrow(BSTR text) {
  if (!text) return std::string();
  int cb = 0;
  LPSTR narrow = VornSysStringToA(text, &cb);
  if (!narrow) return std::string();
  std::string result(narrow, static_cast<size_t>(cb));
  CoTaskMemFree(narrow);
  return result;
}

std::string Arguments(int count) {
  return std::to_string(count) + (count == 1 ? " argument" : " arguments");
}

}  // namespace

std::string HresultHex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string HresultMeaning(HRESULT hr) {
  char text[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(hr), 0, text, sizeof text, nullptr);
  if (length == 0) return "Unknown result code.";
  return std::string(text, length);
}

std::string DescribeFailure(const std::string& member, HRESULT hr, EXCEPINFO* exception,
                            const CallDetails& details) {
  if (exception) {
    if (exception->pfnDeferredFillIn) {
      exception->pfnDeferredFillIn(exception);
      exception->pfnDeferredFillIn = nullptr;
    }
    const std::string description = Narrow(exception->bstrDescription);
    const std::string source = Narrow(exception->bstrSource);
    const HRESULT code = exception->scode != 0 ? exception->scode : hr;
    std::string message = member + ": " + HresultHex(code) + " ";
    if (!description.empty()) {
      message += source.empty() ? description : source + ": " + description;
    } else {
      message += HresultMeaning(code);
    }
    return message;
  }
  std::string message = member + ": " + HresultHex(hr) + " " + HresultMeaning(hr);
  if (hr == DISP_E_BADPARAMCOUNT && details.declared >= 0 && details.argCount >= 0) {
    const int required = details.declared - details.optional;
    message += " " + member + " takes ";
    if (details.optional > 0) {
      message += std::to_string(required) + " to " + Arguments(details.declared);
    } else {
      message += Arguments(details.declared);
    }
    message += ", not " + std::to_string(details.argCount) + ".";
  } else if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && details.argument > 0) {
    message += " (argument " + std::to_string(details.argument) + ")";
  }
  return message;
}

void FreeExceptionInfo(EXCEPINFO* exception) {
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
  *exception = EXCEPINFO{};
}

}  // namespace vornhost
