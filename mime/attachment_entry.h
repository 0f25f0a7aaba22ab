// CAttachmentEntry: one cached attachment of the current message.
#pragma once

#include <string>

// Created only by CMailStore::LoadAttachments and owned by the attachment
// list, which deletes it when it is cleared.
class CAttachmentEntry {
 public:
  CAttachmentEntry() = default;
  virtual ~CAttachmentEntry() = default;
  CAttachmentEntry(const CAttachmentEntry&) = delete;
  CAttachmentEntry& operator=(const CAttachmentEntry&) = delete;

  // The display name the MIME model reports for the attachment's body; empty
  // when it reports an empty name.
  std::string name;
};
