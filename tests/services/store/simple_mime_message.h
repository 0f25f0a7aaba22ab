// A small stand-in for the MIME library's message class, for store tests
// that must not depend on the real parser. It reads "Name: value" header
// lines up to the first empty line and records what the store asks of it.
// Address fields asked for with PDF_DISPLAYNAMES give, per comma-separated
// mailbox, the text before "<" (quotes removed), else the address; a Date
// field is given as FILETIME only when it is a plain decimal tick count; the
// field "X-Test-Attachments: N" makes GetAttachments list N bodies.
#pragma once

#include <string>
#include <vector>

#include "platform/mime.h"

namespace store_test {

constexpr CLSID CLSID_SimpleMimeMessage = CLSID_VornMimeMessage;

// Registers the stand-in as the process's class object for
// CLSID_VornMimeMessage for the object's lifetime.
class SimpleMimeRegistration {
 public:
  SimpleMimeRegistration();
  ~SimpleMimeRegistration();
  SimpleMimeRegistration(const SimpleMimeRegistration&) = delete;
  SimpleMimeRegistration& operator=(const SimpleMimeRegistration&) = delete;

  // "GetProp <name> <flags> <vt>" per call, across all messages.
  std::vector<std::string> calls() const;
  // Messages created so far.
  int creations() const;
  // While set, Load refuses every stream.
  void set_fail_loads(bool fail);

 private:
  unsigned long cookie_ = 0;
};

}  // namespace store_test
