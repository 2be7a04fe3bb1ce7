// Windows errors: the thread's last error and the system's message text for a code.
#include "platform/vrnErrors.h"

DWORD GetLastOSError() {
  return ::GetLastError();
}

UString FormatSystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  UString text;
  if (length != 0 && buffer != nullptr) {
    text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'.' || text.back() == u'\r' ||
                             text.back() == u'\n')) {
      text.pop_back();
    }
  }
  if (buffer != nullptr) {
    ::LocalFree(buffer);
  }
  return text;
}

UString SysErrorMessage(DWORD errorCode) {
  UString text = FormatSystemMessage(errorCode);
  return text.empty() ? u"System Error.  Code: " + IntToUStr(errorCode) : text;
}

void RaiseLastOSError() {
  RaiseOSError(::GetLastError());
}
