#include "platform/vrnCom.h"

#include <random>

GUID CreateGuid() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uint64_t high = generator();
  std::uint64_t low = generator();
  GUID guid;
  guid.Data1 = static_cast<std::uint32_t>(high >> 32);
  guid.Data2 = static_cast<std::uint16_t>(high >> 16);
  guid.Data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) {
    guid.Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  guid.Data4[0] = static_cast<std::uint8_t>((guid.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return guid;
}

UString GuidToString(const GUID& guid) {
  auto hex = [](unsigned long long value, int digits) {
    return HexToUStr(value, digits).substr(2);
  };
  UString text =
      u"{" + hex(guid.Data1, 8) + u"-" + hex(guid.Data2, 4) + u"-" + hex(guid.Data3, 4) + u"-";
  for (int i = 0; i < 8; ++i) {
    if (i == 2) {
      text += u"-";
    }
    text += hex(guid.Data4[i], 2);
  }
  return text + u"}";
}
