// Two engine stream adapters: an input stream that joins engine input streams end to
// end, and an output stream that forwards to another engine output stream.
//
// They are the defaults behind the callbacks' hooks for a further volume and for an
// extraction target handed in as a stream. The program's own callbacks replace both
// hooks, so the adapters stay small: they build on the engine's own stream interfaces,
// which both platforms have.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/qev7zUtils.h"

// An engine input stream on four overridable operations. It checks the engine's
// pointers, answers E_ABORT while Aborted, reads nothing for a size of 0, and turns
// every exception into a result.
class TQuorel7ZipBaseInStream : public TqevInterfacedObject<IInStream, IStreamGetSize> {
 public:
  // Reads through DoRead; E_POINTER for a nil Data.
  HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) noexcept override;
  // Moves the position through DoSeek; NewPosition may be nil.
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset,
                                 UInt32 seekOrigin,
                                 UInt64* newPosition) noexcept override;
  // The size from DoGetSize; E_POINTER for a nil Size.
  HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) noexcept override;

 protected:
  // True once the stream is to give up; every method then answers E_ABORT.
  virtual bool Aborted() { return false; }
  // Reads up to Size bytes (Size > 0) and returns the count. Raises EOleError(E_NOTIMPL)
  // here.
  virtual UInt32 DoRead(void* buffer, UInt32 size);
  // Moves the position (origin 0 begin, 1 current, 2 end) and returns it. Raises
  // EOleError(E_NOTIMPL) here.
  virtual UInt64 DoSeek(Int64 offset, UInt32 origin);
  // The stream's size. Raises EOleError(E_NOTIMPL) here.
  virtual UInt64 DoGetSize();
};

// One member of a joined input stream: the stream and its size, fixed when it joined.
struct TQuorelStreamData {
  TComPtr<IInStream> Stream;
  UInt64 Size = 0;
};

// A read-only input stream made of its members end to end.
class TQuorel7ZipInStream : public TQuorel7ZipBaseInStream {
 public:
  // Starts with First, sought to its beginning. Raises EInvalidPointer for a nil First.
  explicit TQuorel7ZipInStream(TComPtr<IInStream> first);

  // Appends a member. Raises EInvalidPointer for a nil Member, EOleError when its size
  // cannot be learned.
  void Add(TComPtr<IInStream> member);
  // The number of members.
  std::size_t Count() const { return FStreamDatas.size(); }
  // Member Index with its size.
  const TQuorelStreamData& StreamDatas(std::size_t index) const { return FStreamDatas.at(index); }
  // Member Index.
  IInStream* Streams(std::size_t index) const { return StreamDatas(index).Stream.Get(); }
  // The member that the last read or seek used.
  std::size_t CurrentIndex() const { return FCurrentIndex; }

 protected:
  // Reads from the current member and, at its end, on from the next ones.
  UInt32 DoRead(void* buffer, UInt32 size) override;
  // Finds the member that holds the position and seeks it there; a position beyond the
  // end lies in the last member.
  UInt64 DoSeek(Int64 offset, UInt32 origin) override;
  // The sum of the members' sizes.
  UInt64 DoGetSize() override;

 private:
  // The size of a member: IStreamGetSize when it has it, else by seeking to its end and
  // back.
  static UInt64 MemberSize(IInStream* member);

  std::vector<TQuorelStreamData> FStreamDatas;
  std::size_t FCurrentIndex = 0;
};

// An engine output stream on overridable operations. It answers E_ABORT while Aborted,
// accepts a write of 0 bytes without passing it on, reports S_FALSE when a non-empty
// write was not taken at all, and turns every exception into a result.
class TQuorel7ZipBaseOutStream : public TqevInterfacedObject<IOutStream> {
 public:
  // Writes through DoWrite.
  HRESULT STDMETHODCALLTYPE Write(const void* data,
                                  UInt32 size,
                                  UInt32* processedSize) noexcept override;
  // Moves the position through DoSeek; NewPosition may be nil.
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset,
                                 UInt32 seekOrigin,
                                 UInt64* newPosition) noexcept override;
  // Sets the size through DoSetSize.
  HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) noexcept override;

 protected:
  // True once the stream is to give up; every method then answers E_ABORT.
  virtual bool Aborted() { return false; }
  // Writes Size bytes (Size > 0) and returns the count taken; here all of them.
  virtual UInt32 DoWrite(const void* data, UInt32 size);
  // Moves the position and returns it. Raises EOleError(E_NOTIMPL) here.
  virtual UInt64 DoSeek(Int64 offset, UInt32 origin);
  // Sets the size. Raises EOleError(E_NOTIMPL) here.
  virtual void DoSetSize(UInt64 newSize);
};

// An output stream that forwards to a target; without one, writes vanish.
class TQuorel7ZipOutStream : public TQuorel7ZipBaseOutStream {
 public:
  // Forwards to Target (which may be nil); seeking and sizing need its IOutStream.
  explicit TQuorel7ZipOutStream(TComPtr<ISequentialOutStream> target);

 protected:
  UInt32 DoWrite(const void* data, UInt32 size) override;
  UInt64 DoSeek(Int64 offset, UInt32 origin) override;
  void DoSetSize(UInt64 newSize) override;

 private:
  TComPtr<ISequentialOutStream> FTarget;
  TComPtr<IOutStream> FSeekableTarget;
};
