// A loadable library with plain exports and no class objects, for the loader
// tests and for activation of a library that lacks DllGetClassObject.

#include "platform/types.h"

VORN_EXPORT int VornTestPlainAnswer() { return 42; }

extern "C" __attribute__((visibility("default"))) int vornTestPlainValue;
int vornTestPlainValue = 7;
