// Address book rows as text, for comparing rows with expected text.
#pragma once

#include <cstdio>
#include <string>

#include "platform/wab.h"
#include "runtime/com_ptr.h"

namespace vorn_test {

// A string value with control characters and backslashes escaped, so that
// every value stays on one line.
inline std::string EscapedText(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// One line per property value: its tag's name and the value.
inline std::string RowText(const SRow& row) {
  std::string text;
  for (ULONG i = 0; i < row.cValues; ++i) {
    const SPropValue& value = row.lpProps[i];
    switch (value.ulPropTag) {
      case PR_ENTRYID:
        text += "PR_ENTRYID (" + std::to_string(value.Value.bin.cb) + " bytes)";
        break;
      case PR_OBJECT_TYPE:
        text += "PR_OBJECT_TYPE ";
        text += value.Value.l == static_cast<LONG>(MAPI_MAILUSER) ? std::string("MAPI_MAILUSER")
                                                                  : std::to_string(value.Value.l);
        break;
      case PR_DISPLAY_NAME_A:
        text += "PR_DISPLAY_NAME_A " + EscapedText(value.Value.lpszA);
        break;
      case PR_NICKNAME_A:
        text += "PR_NICKNAME_A " + EscapedText(value.Value.lpszA);
        break;
      case PR_EMAIL_ADDRESS_A:
        text += "PR_EMAIL_ADDRESS_A " + EscapedText(value.Value.lpszA);
        break;
      default: {
        char tag[16];
        std::snprintf(tag, sizeof tag, "0x%08X", value.ulPropTag);
        text += tag;
      }
    }
    text += "\n";
  }
  return text;
}

// Reads the whole personal address book as the session does (GetPAB,
// OpenEntry, GetContentsTable, GetRowCount, one QueryRows), frees what it was
// given and returns the rows as text, each after a "row N" line. A failing
// step gives "failed: <step> <status>".
inline std::string AddressBookText(IAddrBook* book, IWABObject* wab) {
  const auto failed = [](const char* step, HRESULT hr) {
    char text[64];
    std::snprintf(text, sizeof text, "failed: %s 0x%08X\n", step, static_cast<unsigned>(hr));
    return std::string(text);
  };
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  HRESULT hr = book->GetPAB(&cb, &id);
  if (hr != S_OK) return failed("GetPAB", hr);
  ULONG type = 0;
  ComPtr<IUnknown> object;
  hr = book->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, object.Put());
  wab->FreeBuffer(id);
  if (hr != S_OK) return failed("OpenEntry", hr);
  if (type != MAPI_ABCONT) return failed("OpenEntry type", static_cast<HRESULT>(type));
  ComPtr<IMAPITable> table;
  hr = static_cast<IABContainer*>(object.Get())->GetContentsTable(0, table.Put());
  if (hr != S_OK) return failed("GetContentsTable", hr);
  ULONG count = 0;
  hr = table->GetRowCount(0, &count);
  if (hr != S_OK) return failed("GetRowCount", hr);
  if (count == 0) return "";
  LPSRowSet rows = nullptr;
  hr = table->QueryRows(static_cast<LONG>(count), 0, &rows);
  if (hr != S_OK) return failed("QueryRows", hr);
  std::string text;
  const SRow* row = rows->aRow;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    text += "row " + std::to_string(i) + "\n" + RowText(row[i]);
    wab->FreeBuffer(row[i].lpProps);
  }
  wab->FreeBuffer(rows);
  return text;
}

}  // namespace vorn_test
