// The joined input stream and the forwarding output stream. Member and target results
// pass through CheckSucceeded, so a failure below surfaces with its own code.
#include "engine/QuorelSevenZipEx.h"

#include "platform/vrnErrors.h"

namespace {

// Raises the error of an operation this stream does not offer.
[[noreturn]] void RaiseNotImplemented(const char16_t* operation) {
  throw EOleError(E_NOTIMPL, UString(operation) + u" is not implemented");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Input streams.

HRESULT TQuorel7ZipBaseInStream::Read(void* data, UInt32 size, UInt32* processedSize) noexcept {
  try {
    if (processedSize != nullptr) {
      *processedSize = 0;
    }
    if (data == nullptr) {
      throw EInvalidPointer();
    }
    if (Aborted()) {
      return E_ABORT;
    }
    if (size == 0) {
      return S_OK;
    }
    UInt32 done = DoRead(data, size);
    if (processedSize != nullptr) {
      *processedSize = done;
    }
    return S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

HRESULT TQuorel7ZipBaseInStream::Seek(Int64 offset,
                                      UInt32 seekOrigin,
                                      UInt64* newPosition) noexcept {
  try {
    if (Aborted()) {
      return E_ABORT;
    }
    UInt64 position = DoSeek(offset, seekOrigin);
    if (newPosition != nullptr) {
      *newPosition = position;
    }
    return S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

HRESULT TQuorel7ZipBaseInStream::GetSize(UInt64* size) noexcept {
  try {
    if (size == nullptr) {
      throw EInvalidPointer();
    }
    if (Aborted()) {
      return E_ABORT;
    }
    *size = DoGetSize();
    return S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

UInt32 TQuorel7ZipBaseInStream::DoRead(void*, UInt32) {
  RaiseNotImplemented(u"Read");
}

UInt64 TQuorel7ZipBaseInStream::DoSeek(Int64, UInt32) {
  RaiseNotImplemented(u"Seek");
}

UInt64 TQuorel7ZipBaseInStream::DoGetSize() {
  RaiseNotImplemented(u"GetSize");
}

TQuorel7ZipInStream::TQuorel7ZipInStream(TComPtr<IInStream> first) {
  if (!first) {
    throw EInvalidPointer();
  }
  first->Seek(0, 0, nullptr);  // a member that cannot seek shows it on the first read
  Add(std::move(first));
}

void TQuorel7ZipInStream::Add(TComPtr<IInStream> member) {
  if (!member) {
    throw EInvalidPointer();
  }
  UInt64 size = MemberSize(member.Get());
  FStreamDatas.push_back(TQuorelStreamData{std::move(member), size});
}

UInt64 TQuorel7ZipInStream::MemberSize(IInStream* member) {
  UInt64 size = 0;
  TComPtr<IStreamGetSize> getSize = TComPtr<IInStream>(member).Query<IStreamGetSize>();
  if (getSize) {
    CheckSucceeded(getSize->GetSize(&size));
    return size;
  }
  UInt64 position = 0;
  CheckSucceeded(member->Seek(0, 1, &position));
  CheckSucceeded(member->Seek(0, 2, &size));
  CheckSucceeded(member->Seek(static_cast<Int64>(position), 0, nullptr));
  return size;
}

UInt32 TQuorel7ZipInStream::DoRead(void* buffer, UInt32 size) {
  // A member may answer short before its end; only a read of 0 bytes moves on, so no
  // byte of a member is ever passed over.
  auto* bytes = static_cast<Byte*>(buffer);
  UInt32 total = 0;
  while (total < size) {
    UInt32 done = 0;
    CheckSucceeded(Streams(FCurrentIndex)->Read(bytes + total, size - total, &done));
    if (done > size - total) {
      throw EOleError(E_FAIL, u"A member stream read more than it was asked for");
    }
    total += done;
    if (done == 0) {
      if (FCurrentIndex + 1 >= Count()) {
        break;
      }
      ++FCurrentIndex;
      CheckSucceeded(Streams(FCurrentIndex)->Seek(0, 0, nullptr));
    }
  }
  return total;
}

UInt64 TQuorel7ZipInStream::DoSeek(Int64 offset, UInt32 origin) {
  switch (origin) {
    case 0:
      break;
    case 1: {
      UInt64 inMember = 0;
      CheckSucceeded(Streams(FCurrentIndex)->Seek(0, 1, &inMember));
      UInt64 before = 0;
      for (std::size_t i = 0; i < FCurrentIndex; ++i) {
        before += FStreamDatas[i].Size;
      }
      offset += static_cast<Int64>(before + inMember);
      break;
    }
    case 2:
      offset += static_cast<Int64>(DoGetSize());
      break;
    default:
      throw EOleError(STG_E_INVALIDFUNCTION, OleErrorMessage(STG_E_INVALIDFUNCTION));
  }
  std::size_t index = 0;
  UInt64 before = 0;
  while (offset >= 0 && static_cast<UInt64>(offset) >= FStreamDatas[index].Size &&
         index + 1 < Count()) {
    offset -= static_cast<Int64>(FStreamDatas[index].Size);
    before += FStreamDatas[index].Size;
    ++index;
  }
  CheckSucceeded(Streams(index)->Seek(offset, 0, nullptr));
  FCurrentIndex = index;
  return before + static_cast<UInt64>(offset);
}

UInt64 TQuorel7ZipInStream::DoGetSize() {
  UInt64 total = 0;
  for (const auto& member : FStreamDatas) {
    total += member.Size;
  }
  return total;
}

// ---------------------------------------------------------------------------------------
// Output streams.

HRESULT TQuorel7ZipBaseOutStream::Write(const void* data,
                                        UInt32 size,
                                        UInt32* processedSize) noexcept {
  try {
    if (processedSize != nullptr) {
      *processedSize = 0;
    }
    if (Aborted()) {
      return E_ABORT;
    }
    if (size == 0) {
      return S_OK;
    }
    if (data == nullptr) {
      throw EInvalidPointer();
    }
    UInt32 done = DoWrite(data, size);
    if (processedSize != nullptr) {
      *processedSize = done;
    }
    return done == 0 ? S_FALSE : S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

HRESULT TQuorel7ZipBaseOutStream::Seek(Int64 offset,
                                       UInt32 seekOrigin,
                                       UInt64* newPosition) noexcept {
  try {
    if (Aborted()) {
      return E_ABORT;
    }
    UInt64 position = DoSeek(offset, seekOrigin);
    if (newPosition != nullptr) {
      *newPosition = position;
    }
    return S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

HRESULT TQuorel7ZipBaseOutStream::SetSize(UInt64 newSize) noexcept {
  try {
    if (Aborted()) {
      return E_ABORT;
    }
    DoSetSize(newSize);
    return S_OK;
  } catch (...) {
    return ExceptionToResult(std::current_exception());
  }
}

UInt32 TQuorel7ZipBaseOutStream::DoWrite(const void*, UInt32 size) {
  return size;
}

UInt64 TQuorel7ZipBaseOutStream::DoSeek(Int64, UInt32) {
  RaiseNotImplemented(u"Seek");
}

void TQuorel7ZipBaseOutStream::DoSetSize(UInt64) {
  RaiseNotImplemented(u"SetSize");
}

TQuorel7ZipOutStream::TQuorel7ZipOutStream(TComPtr<ISequentialOutStream> target)
    : FTarget(std::move(target)), FSeekableTarget(FTarget.Query<IOutStream>()) {}

UInt32 TQuorel7ZipOutStream::DoWrite(const void* data, UInt32 size) {
  if (!FTarget) {
    return TQuorel7ZipBaseOutStream::DoWrite(data, size);
  }
  UInt32 done = 0;
  CheckSucceeded(FTarget->Write(data, size, &done));
  return done;
}

UInt64 TQuorel7ZipOutStream::DoSeek(Int64 offset, UInt32 origin) {
  if (!FSeekableTarget) {
    return TQuorel7ZipBaseOutStream::DoSeek(offset, origin);
  }
  UInt64 position = 0;
  CheckSucceeded(FSeekableTarget->Seek(offset, origin, &position));
  return position;
}

void TQuorel7ZipOutStream::DoSetSize(UInt64 newSize) {
  if (!FSeekableTarget) {
    TQuorel7ZipBaseOutStream::DoSetSize(newSize);
    return;
  }
  CheckSucceeded(FSeekableTarget->SetSize(newSize));
}
