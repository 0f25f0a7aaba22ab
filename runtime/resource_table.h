// ResourceTableRegistration: hands a library's resource table to the runtime
// for as long as the library is loaded. Declare one static object per
// library, in the file that defines the table:
//
//   const RESOURCE_ENTRY kResources[] = {...};
//   const ResourceTableRegistration kRegistration(kResources, std::size(kResources));
#pragma once

#include "platform/resource.h"

class ResourceTableRegistration {
 public:
  ResourceTableRegistration(const RESOURCE_ENTRY* entries, UINT count)
      : entries_(entries), registered_(VornRegisterResources(entries, count) != FALSE) {}
  ~ResourceTableRegistration() {
    if (registered_) VornUnregisterResources(entries_);
  }
  ResourceTableRegistration(const ResourceTableRegistration&) = delete;
  ResourceTableRegistration& operator=(const ResourceTableRegistration&) = delete;

  bool registered() const { return registered_; }

 private:
  const RESOURCE_ENTRY* entries_;
  bool registered_;
};
