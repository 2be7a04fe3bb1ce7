// COM-style reference counting: IUnknown, GUIDs and the counted smart pointer.
//
// Objects that cross subsystem borders are reached through interfaces with GUIDs and
// freed by their last Release. On Windows IUnknown is the system's; on Linux it is
// declared here with the same three slots the 7-Zip library expects (no virtual
// destructor).
#pragma once

#include <atomic>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/vrnStrings.h"
#include "platform/vrnWinTypes.h"

#if defined(_WIN32)
#include <unknwn.h>
#else
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
#endif

// The IID of IUnknown, {00000000-0000-0000-C000-000000000046}.
inline constexpr GUID kIID_IUnknown = {0x00000000,
                                       0x0000,
                                       0x0000,
                                       {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// A new random GUID (version 4).
GUID CreateGuid();
// The 38-character braced, upper-case text of a GUID.
UString GuidToString(const GUID& guid);

// The IID of an interface type, and the interface it extends (void for IUnknown's
// direct descendants); found by TComPtr::Query and TInterfacedObject.
template <typename T>
struct TInterfaceId;
#define VRN_DECLARE_IID(Interface, Guid) \
  template <>                            \
  struct TInterfaceId<Interface> {       \
    static constexpr GUID Value = Guid;  \
    using Base = void;                   \
  }
#define VRN_DECLARE_IID_EXTENDS(Interface, BaseInterface, Guid) \
  template <>                                                   \
  struct TInterfaceId<Interface> {                              \
    static constexpr GUID Value = Guid;                         \
    using Base = BaseInterface;                                 \
  }

template <>
struct TInterfaceId<IUnknown> {
  static constexpr GUID Value = kIID_IUnknown;
  using Base = void;
};

// A counted reference to an interface: AddRef on copy, Release on reset or end.
template <typename T>
class TComPtr {
 public:
  TComPtr() = default;
  TComPtr(std::nullptr_t) {}
  // Takes a new counted reference to Object.
  TComPtr(T* object) : FObject(object) {
    if (FObject != nullptr) {
      FObject->AddRef();
    }
  }
  TComPtr(const TComPtr& other) : TComPtr(other.FObject) {}
  TComPtr(TComPtr&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TComPtr(const TComPtr<U>& other) : TComPtr(static_cast<T*>(other.Get())) {}
  ~TComPtr() { Reset(); }

  TComPtr& operator=(TComPtr other) noexcept {
    std::swap(FObject, other.FObject);
    return *this;
  }

  // Adopts a reference that the caller already counted (an out parameter's).
  static TComPtr Attach(T* object) {
    TComPtr result;
    result.FObject = object;
    return result;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(FObject, nullptr); }
  // Releases the reference, if any.
  void Reset() {
    if (T* object = std::exchange(FObject, nullptr)) {
      object->Release();
    }
  }
  // Releases the current reference and returns the slot for an out parameter.
  T** Receive() {
    Reset();
    return &FObject;
  }
  // Asks the object for another interface; empty when it has none.
  template <typename U>
  TComPtr<U> Query() const {
    TComPtr<U> result;
    if (FObject != nullptr) {
      FObject->QueryInterface(TInterfaceId<U>::Value, reinterpret_cast<void**>(result.Receive()));
    }
    return result;
  }

  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  bool operator==(const TComPtr& other) const { return FObject == other.FObject; }

 private:
  T* FObject = nullptr;
};

// Creates a reference-counted object and hands out its first counted reference.
template <typename T, typename... Args>
TComPtr<T> MakeCounted(Args&&... args) {
  return TComPtr<T>(new T(std::forward<Args>(args)...));
}

// Implements IUnknown for an object that offers the listed interfaces (each derived
// from IUnknown), and every interface they extend. The first interface answers for
// IUnknown. The object starts with no
// reference; MakeCounted or a TComPtr takes the first one, the last Release frees it.
template <typename... Interfaces>
class TInterfacedObject : public Interfaces... {
 public:
  TInterfacedObject() = default;
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;
  virtual ~TInterfacedObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (iid == kIID_IUnknown) {
      *object = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      (Answer<Interfaces, Interfaces>(iid, object) || ...);
    }
    if (*object == nullptr) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG count = --FRefCount;
    if (count == 0) {
      delete this;
    }
    return count;
  }

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

  // Answers Iid when it names Interface or an interface that Interface extends; Path is
  // the listed interface through which this object reaches it.
  template <typename Path, typename Interface>
  bool Answer(REFIID iid, void** object) {
    if (iid == TInterfaceId<Interface>::Value) {
      *object = static_cast<Interface*>(static_cast<Path*>(this));
      return true;
    }
    using Base = typename TInterfaceId<Interface>::Base;
    if constexpr (!std::is_void_v<Base>) {
      return Answer<Path, Base>(iid, object);
    } else {
      return false;
    }
  }

  std::atomic<ULONG> FRefCount{0};
};
