#include "platform/vrnFiles.h"

#include "platform/vrnErrors.h"

void TFileStream::ReadBuffer(void* buffer, std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count) {
    std::uint32_t n = Read(static_cast<char*>(buffer) + done, count - done);
    if (n == 0) {
      throw EvrnError(u"Stream read error");
    }
    done += n;
  }
}
