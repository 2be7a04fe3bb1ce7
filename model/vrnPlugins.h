// Archive-format plug-ins and opening a file as an archive.
//
// At program start the engine binding registers one plug-in per supported format.
// OpenArchiveFile opens the file (deny-write on Windows), reads its head once, and
// offers it to the plug-ins in registration order until one recognises and opens it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model/vrnArchive.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"

// An archive format: recognises its files and opens them as archives.
class TvrnPlugin {
 public:
  virtual ~TvrnPlugin() = default;

  // True when the file is of this format. Buffer holds the head of the file (at most
  // 1 MiB); the plug-in may read Stream and may replace Buffer with a longer head read
  // from the file's start, which later plug-ins then see. The stream position is left
  // undefined.
  virtual bool CheckFormat(const UString& fileName,
                           TFileStream& stream,
                           std::vector<std::uint8_t>& buffer) = 0;
  // Creates this format's archive over Stream (taking it: Stream becomes empty) and
  // opens it; raises what Open raises, after freeing the archive and the stream.
  virtual TComPtr<IvrnArchive> OpenArchive(TvrnAbortFlag abortFlag,
                                           const UString& fileName,
                                           const UString& password,
                                           std::unique_ptr<TFileStream>& stream) = 0;
};

// Appends Plugin to the process-wide registry, which owns it from then on.
void RegisterPlugin(std::unique_ptr<TvrnPlugin> plugin);
// Frees the registered plug-ins, the last registered first.
void ReleasePlugins();

// How much of the file's head is read for the plug-ins.
inline constexpr std::uint32_t kArchiveHeadSize = 1048576;

// The outcome of OpenArchiveFile: the archive, or nil and the message of the last error
// a plug-in raised (empty when none did).
struct TvrnOpenResult {
  TComPtr<IvrnArchive> Archive;
  UString ErrorText;
};

// Opens FileName as an archive with the registered plug-ins. Raises "Cannot open file
// "<name>". <reason>" when the file itself cannot be opened or read.
TvrnOpenResult OpenArchiveFile(TvrnAbortFlag abortFlag,
                               const UString& fileName,
                               const UString& password);
