// CContactEntry: one cached contact of the personal address book.
#pragma once

#include <string>

// Created only by CMailStore::LoadContacts and owned by the contact list,
// which deletes it when it is cleared. Every field is empty when the row did
// not carry the property as an 8-bit string.
class CContactEntry {
 public:
  CContactEntry() = default;
  virtual ~CContactEntry() = default;
  CContactEntry(const CContactEntry&) = delete;
  CContactEntry& operator=(const CContactEntry&) = delete;

  std::string displayName;  // PR_DISPLAY_NAME_A
  std::string nickname;     // PR_NICKNAME_A
  std::string email;        // PR_EMAIL_ADDRESS_A
};
