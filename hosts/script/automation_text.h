// The messages of failed automation calls, as a script sees them:
//   "GetFolderName: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of
//    parameters. GetFolderName takes 1 argument, not 2."
// The meaning of a result code comes from the runtime's table of the codes
// the platform declares (FormatMessageA); a member that raised an exception
// gives its own description.
#pragma once

#include <string>

#include "platform/automation.h"

namespace vornhost {

// "0x8002000E": the code as 8 upper-case hexadecimal digits.
std::string HresultHex(HRESULT hr);

// "DISP_E_BADPARAMCOUNT: Invalid number of parameters.", or "Unknown result
// code." for a code the platform does not declare.
std::string HresultMeaning(HRESULT hr);

// What is known about the call that failed, for a more precise message.
struct CallDetails {
  int argCount = -1;  // arguments given, -1 when unknown
  int declared = -1;  // parameters the type information declares, -1 when unknown
  int optional = 0;   // of which optional
  int argument = 0;   // 1-based position of the argument at fault, 0 for none
};

// The message for member `member` failing with `hr`. `exception` (may be
// null) is the EXCEPINFO of a DISP_E_EXCEPTION failure: its code and
// description then take the place of the generic ones.
std::string DescribeFailure(const std::string& member, HRESULT hr, EXCEPINFO* exception,
                            const CallDetails& details = CallDetails());

// Frees the strings of an EXCEPINFO and zeroes it.
void FreeExceptionInfo(EXCEPINFO* exception);

}  // namespace vornhost
