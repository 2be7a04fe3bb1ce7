// The program's error family.
//
// Failures are raised as exceptions carrying a message for the user. They are turned
// into values exactly once, at the three boundaries: file-system callbacks (NTSTATUS,
// vfs/vrnDrivo), methods the 7-Zip engine calls (HRESULT) and the tops of worker
// threads (a failed flag and one error text).
#pragma once

#include <exception>
#include <string>

#include "platform/vrnStrings.h"

// Base of every error the program raises; carries the user-readable message.
class EvrnError : public std::exception {
 public:
  explicit EvrnError(UString message);
  // The message as the user sees it.
  const UString& Message() const { return FMessage; }
  // The message in UTF-8, for std::exception users.
  const char* what() const noexcept override { return FMessageUtf8.c_str(); }

 private:
  UString FMessage;
  std::string FMessageUtf8;
};

// The silent cancellation that code raises to stop an operation.
class EAbort : public EvrnError {
 public:
  EAbort() : EvrnError(u"Operation aborted") {}
};

// A memory allocation failed.
class EOutOfMemory : public EvrnError {
 public:
  EOutOfMemory() : EvrnError(u"Out of memory") {}
};

// An operating-system call failed; carries the Windows error code.
class EOSError : public EvrnError {
 public:
  EOSError(DWORD errorCode, UString message)
      : EvrnError(std::move(message)), FErrorCode(errorCode) {}
  DWORD ErrorCode() const { return FErrorCode; }

 private:
  DWORD FErrorCode;
};

// An OLE/COM call failed; carries the HRESULT.
class EOleError : public EvrnError {
 public:
  EOleError(HRESULT errorCode, UString message)
      : EvrnError(std::move(message)), FErrorCode(errorCode) {}
  HRESULT ErrorCode() const { return FErrorCode; }

 private:
  HRESULT FErrorCode;
};

// A call that answered S_FALSE where S_OK was required.
class EFalseError : public EOleError {
 public:
  EFalseError();
};

// An argument was out of range or malformed.
class EArgumentError : public EvrnError {
 public:
  using EvrnError::EvrnError;
};

// A nil or foreign pointer was given where an object was required.
class EInvalidPointer : public EvrnError {
 public:
  EInvalidPointer() : EvrnError(u"Invalid pointer operation") {}
};

// A list index was out of bounds, or a list exceeded its capacity.
class EListError : public EvrnError {
 public:
  using EvrnError::EvrnError;
};

// Opening an archive failed in a way a wrong password explains.
class EPossibleInvalidPassword : public EvrnError {
 public:
  using EvrnError::EvrnError;
};

// The calling thread's last operating-system error as a Windows error code. On Linux
// errno is translated to the nearest Windows code.
DWORD GetLastOSError();
// The system's text for a Windows error code (Linux: the text of the matching errno).
UString SysErrorMessage(DWORD errorCode);
// Raises EOSError for ErrorCode with the system's text.
[[noreturn]] void RaiseOSError(DWORD errorCode);
// Raises EOSError for the calling thread's last error.
[[noreturn]] void RaiseLastOSError();
#if defined(_WIN32)
// The system's own text for a message code (a Win32 error or an HRESULT); empty when
// the system has none.
UString FormatSystemMessage(DWORD code);
#else
// The Windows error code that stands for a POSIX errno value.
DWORD Win32ErrorFromErrno(int error);
#endif
