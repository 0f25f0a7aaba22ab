// The registry entries of the module's two classes and its type library.
#pragma once

#include <string>

#include "platform/types.h"

// Registers the type library of the module at `modulePath` from its own
// TYPELIB resource. S_OK or the failure of loading or registering it.
HRESULT RegisterModuleTypeLib(const std::string& modulePath);
// Removes the type library's registration (version 1.0, any locale).
HRESULT UnregisterModuleTypeLib();

// Writes the entries of the control class (with its ProgID) or the property
// page class. On failure nothing of that class stays written.
HRESULT RegisterControlClass(const std::string& modulePath);
HRESULT RegisterPropPageClass(const std::string& modulePath);
// Removes a class's entries: the control's with its ProgID, the page's
// without one. Entries already gone are not an error.
HRESULT UnregisterControlClass();
HRESULT UnregisterPropPageClass();
