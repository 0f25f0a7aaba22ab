// Reads the input as a vCard file, with the usual limits and with tight ones,
// checks that every field is clean UTF-8, then lists the contacts through the
// address book's table and frees every row.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "services/addressbook/address_book.h"
#include "services/addressbook/text_decoding.h"
#include "services/addressbook/vcard.h"

namespace {

using vorn_wab::Contact;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckField(const std::string& text) {
  Check(vorn_wab::IsValidUtf8(text));
  Check(text.find('\0') == std::string::npos);
}

class FixedSource final : public vorn_wab::ContactSource {
 public:
  explicit FixedSource(const std::vector<Contact>& contacts) : contacts_(contacts) {}
  HRESULT Load(std::vector<Contact>* contacts) override {
    *contacts = contacts_;
    return S_OK;
  }

 private:
  const std::vector<Contact>& contacts_;
};

void ListThroughTable(const std::vector<Contact>& contacts) {
  auto pool = std::make_shared<vorn_wab::BufferPool>();
  IAddrBook* book = nullptr;
  IWABObject* wab = nullptr;
  Check(vorn_wab::CreateAddressBook(std::make_shared<FixedSource>(contacts), pool, &book, &wab) ==
        S_OK);
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  Check(book->GetPAB(&cb, &id) == S_OK);
  ULONG type = 0;
  IUnknown* object = nullptr;
  Check(book->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, &object) == S_OK);
  wab->FreeBuffer(id);
  IMAPITable* table = nullptr;
  Check(static_cast<IABContainer*>(object)->GetContentsTable(0, &table) == S_OK);
  size_t next = 0;
  for (;;) {
    LPSRowSet rows = nullptr;
    Check(table->QueryRows(7, 0, &rows) == S_OK);
    const ULONG count = rows->cRows;
    const SRow* row = rows->aRow;
    for (ULONG i = 0; i < count; ++i, ++next) {
      Check(next < contacts.size());
      for (ULONG v = 0; v < row[i].cValues; ++v) {
        const SPropValue& value = row[i].lpProps[v];
        if (value.ulPropTag == PR_DISPLAY_NAME_A) {
          Check(contacts[next].displayName == value.Value.lpszA);
        } else if (value.ulPropTag == PR_EMAIL_ADDRESS_A) {
          Check(contacts[next].email == value.Value.lpszA);
        } else if (value.ulPropTag == PR_NICKNAME_A) {
          Check(contacts[next].nickname == value.Value.lpszA);
        }
      }
      wab->FreeBuffer(row[i].lpProps);
    }
    wab->FreeBuffer(rows);
    if (count == 0) break;
  }
  Check(next == contacts.size());
  table->Release();
  object->Release();
  book->Release();
  wab->Release();
  Check(pool->Outstanding() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vorn_wab::VCardReader usual;
  static vorn_wab::VCardReader tight(vorn_wab::VCardLimits{96, 2048});
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (vorn_wab::VCardReader* reader : {&usual, &tight}) {
    std::vector<Contact> contacts;
    const vorn_wab::VCardReadStats stats = reader->Read(text, &contacts);
    Check(stats.cards == contacts.size());
    for (const Contact& contact : contacts) {
      CheckField(contact.displayName);
      CheckField(contact.nickname);
      CheckField(contact.email);
    }
    ListThroughTable(contacts);
  }
  return 0;
}
