#include "platform/vrnErrors.h"

EvrnError::EvrnError(UString message)
    : FMessage(std::move(message)), FMessageUtf8(ToUtf8(FMessage)) {}

EFalseError::EFalseError()
    : EOleError(S_FALSE,
                u"The data is damaged, incomplete or of a kind that cannot be read "
                u"(result 0x00000001, S_FALSE)") {}

void RaiseOSError(DWORD errorCode) {
  throw EOSError(errorCode, SysErrorMessage(errorCode));
}
