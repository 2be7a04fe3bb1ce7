#include "platform/vrnErrors.h"

EvrnError::EvrnError(UString message)
    : FMessage(std::move(message)), FMessageUtf8(ToUtf8(FMessage)) {}

EFalseError::EFalseError()
    : EOleError(S_FALSE, u"Operation returned 0x00000001 (S_FALSE) where success was expected") {}

void RaiseOSError(DWORD errorCode) {
  throw EOSError(errorCode, SysErrorMessage(errorCode));
}
