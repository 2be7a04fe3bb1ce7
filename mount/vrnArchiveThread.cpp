// The archive-open thread: one call of the plug-in registry's OpenArchiveFile on its own
// thread, with any failure turned into the one text the user sees.
#include "mount/vrnArchiveThread.h"

#include <exception>

#include "model/vrnPlugins.h"
#include "platform/vrnErrors.h"

namespace {

// "Cannot open file '<name>' as archive", the text of every open that found no archive.
UString CannotOpenText(const UString& archiveFileName) {
  return u"Cannot open file '" + archiveFileName + u"' as archive";
}

}  // namespace

TvrnArchiveThread::TvrnArchiveThread(const UString& archiveFileName, const UString& password)
    : FArchiveFileName(archiveFileName), FPassword(password) {}

TvrnArchiveThread::~TvrnArchiveThread() {
  WipeText(FPassword);
}

void TvrnArchiveThread::Stop() {
  Terminate();
  FCancelled = true;
}

void TvrnArchiveThread::Execute() {
  UString raised;
  try {
    TvrnOpenResult result = OpenArchiveFile(&FCancelled, FArchiveFileName, FPassword);
    FArchive = result.Archive;
    if (!FArchive) {
      FFailed = true;
      FErrorText = CannotOpenText(FArchiveFileName);
      if (!result.ErrorText.empty()) {
        FErrorText += u":\r\n\r\n" + result.ErrorText;
      }
    }
    return;
  } catch (const EvrnError& e) {
    raised = e.Message();
  } catch (const std::exception& e) {
    raised = FromUtf8(e.what());
  } catch (...) {
  }
  FArchive.Reset();
  FFailed = true;
  // A failure must never reach the user as an empty text, which reads as "no error".
  FErrorText = !raised.empty() ? raised : CannotOpenText(FArchiveFileName);
}
