// CMailStore: the contact catalogue (the cached contacts of the personal
// address book).

#include <climits>
#include <memory>
#include <new>

#include "store/mailstore.h"

namespace {

// Everything LoadContacts obtains from the address book, given back however
// the load ends: the table and the opened entry released, the entry
// identifier freed.
struct ContactLoad {
  explicit ContactLoad(IWABObject* wab) : wab(wab) {}
  ~ContactLoad() {
    table.Reset();
    entry.Reset();
    if (entryId) wab->FreeBuffer(entryId);
  }
  ContactLoad(const ContactLoad&) = delete;
  ContactLoad& operator=(const ContactLoad&) = delete;

  IWABObject* wab;
  ULONG cbEntryId = 0;
  LPENTRYID entryId = nullptr;
  ComPtr<IUnknown> entry;
  ComPtr<IMAPITable> table;
};

// Frees a row set and each row's property values.
void FreeRows(IWABObject* wab, LPSRowSet rows) {
  for (ULONG r = 0; r < rows->cRows; ++r) {
    if (rows->aRow[r].lpProps) wab->FreeBuffer(rows->aRow[r].lpProps);
  }
  wab->FreeBuffer(rows);
}

void CopyString8(const SPropValue& value, std::string* field) {
  if (value.Value.lpszA) {
    *field = value.Value.lpszA;
  } else {
    field->clear();
  }
}

}  // namespace

int32_t CMailStore::LoadContacts() {
  // Without an opened address book there is nothing to read; the entry alone
  // does not say that one is open.
  if (!wabOpen_ || !addressBook_ || !wabObject_) return 0;
  IWABObject* wab = wabObject_.Get();
  ContactLoad load(wab);

  if (addressBook_->GetPAB(&load.cbEntryId, &load.entryId) != S_OK) return 0;
  ULONG objectType = 0;
  if (addressBook_->OpenEntry(load.cbEntryId, load.entryId, nullptr, MAPI_BEST_ACCESS,
                              &objectType, load.entry.Put()) != S_OK ||
      !load.entry) {
    return 0;
  }
  if (objectType != MAPI_ABCONT) return 1;
  // Opened without an interface identifier, a container comes as its
  // IABContainer.
  auto* container = static_cast<IABContainer*>(load.entry.Get());
  if (container->GetContentsTable(0, load.table.Put()) != S_OK || !load.table) return 0;

  ULONG rowCount = 0;
  if (load.table->GetRowCount(0, &rowCount) != S_OK) return 0;
  if (rowCount == 0) {
    // Contacts deleted from the address book must not go on being listed.
    ClearContactList();
    return 0;
  }
  LPSRowSet rows = nullptr;
  const LONG wanted = rowCount > static_cast<ULONG>(INT32_MAX) ? INT32_MAX
                                                                : static_cast<LONG>(rowCount);
  const HRESULT queried = load.table->QueryRows(wanted, 0, &rows);
  if (queried != S_OK) {
    // A status other than S_OK is a failure even when rows came with it.
    if (rows) FreeRows(wab, rows);
    return 0;
  }
  if (!rows) return 0;

  ClearContactList();
  for (ULONG r = 0; r < rows->cRows; ++r) {
    SRow& row = rows->aRow[r];
    std::unique_ptr<CContactEntry> record(new (std::nothrow) CContactEntry);
    if (record) {
      newContact_ = record.get();
      try {
        const ULONG values = row.lpProps ? row.cValues : 0;
        for (ULONG v = 0; v < values; ++v) {
          const SPropValue& value = row.lpProps[v];
          switch (value.ulPropTag) {
            case PR_DISPLAY_NAME_A:
              CopyString8(value, &record->displayName);
              break;
            case PR_NICKNAME_A:
              CopyString8(value, &record->nickname);
              break;
            case PR_EMAIL_ADDRESS_A:
              CopyString8(value, &record->email);
              break;
            default:
              break;
          }
        }
        contacts_.AddTail(std::move(record));
      } catch (const std::bad_alloc&) {
        // The contact is left out; the other rows still come.
      }
      newContact_ = nullptr;
    }
  }
  FreeRows(wab, rows);
  return 1;
}

int32_t CMailStore::GetContactCount() const { return contacts_.GetCount(); }

std::string CMailStore::GetContactDisplayName(int32_t index) const {
  const CContactEntry* contact = contacts_.FindIndex(index);
  return contact ? contact->displayName : std::string();
}

std::string CMailStore::GetContactNickname(int32_t index) const {
  const CContactEntry* contact = contacts_.FindIndex(index);
  return contact ? contact->nickname : std::string();
}

std::string CMailStore::GetContactEmail(int32_t index) const {
  const CContactEntry* contact = contacts_.FindIndex(index);
  return contact ? contact->email : std::string();
}
