#include "model/vrnPlugins.h"

#include <algorithm>

namespace {

std::vector<std::unique_ptr<TvrnPlugin>>& Registry() {
  static std::vector<std::unique_ptr<TvrnPlugin>> registry;
  return registry;
}

}  // namespace

void RegisterPlugin(std::unique_ptr<TvrnPlugin> plugin) {
  Registry().push_back(std::move(plugin));
}

void ReleasePlugins() {
  auto& registry = Registry();
  while (!registry.empty()) {
    registry.pop_back();
  }
}

TvrnOpenResult OpenArchiveFile(TvrnAbortFlag abortFlag,
                               const UString& fileName,
                               const UString& password) {
  TvrnOpenResult result;
  std::unique_ptr<TFileStream> stream;
  try {
    stream = std::make_unique<TFileStream>(OpenFileDenyWrite(fileName));
  } catch (const EOSError& e) {
    throw EOSError(e.ErrorCode(), u"Cannot open file \"" + fileName + u"\". " + e.Message());
  }
  std::uint64_t size = stream->Size();
  if (size == 0) {
    return result;  // no plug-in is asked about an empty file
  }
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kArchiveHeadSize)));
  stream->ReadBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()));

  for (const auto& plugin : Registry()) {
    if (abortFlag != nullptr && *abortFlag) {
      break;
    }
    try {
      stream->Seek(0, 0);
      if (!plugin->CheckFormat(fileName, *stream, buffer)) {
        continue;
      }
      stream->Seek(0, 0);
      result.Archive = plugin->OpenArchive(abortFlag, fileName, password, stream);
      break;
    } catch (const EvrnError& e) {
      result.ErrorText = e.Message();
    } catch (const std::exception& e) {
      result.ErrorText = FromUtf8(e.what());
    }
    if (!stream) {
      break;  // the plug-in took the file and failed with it: nothing is left to offer
    }
  }
  return result;
}
