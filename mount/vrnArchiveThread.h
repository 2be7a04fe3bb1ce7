// The archive-open thread: opens one archive file in the background.
//
// The mount controller creates one per mount; the file-system thread of the same mount
// waits for it to end and takes the opened archive from it. A failure becomes one text
// for the user: "Cannot open file '<name>' as archive", with the last plug-in error
// after ":" and two line breaks when there was one; a file that cannot be opened or read
// at all gives the raised error's text alone.
#pragma once

#include <atomic>

#include "model/vrnArchive.h"
#include "platform/vrnThread.h"

class TvrnArchiveThread : public TThread {
 public:
  // Keeps the name and the password exactly as typed; the owner starts the thread.
  TvrnArchiveThread(const UString& archiveFileName, const UString& password);
  // Releases the archive; the owner destroys the object only after the thread has ended.
  ~TvrnArchiveThread() override;

  // Asks the open to give up (terminate request and cancel flag; it stops at its next
  // check); does not wait.
  void Stop();

  // The cancel flag handed to the open; only ever goes from false to true.
  const std::atomic<bool>& Cancelled() const { return FCancelled; }
  // The archive path exactly as typed.
  const UString& ArchiveFileName() const { return FArchiveFileName; }
  // The opened archive, or nil; read only after the thread has ended.
  const TComPtr<IvrnArchive>& Archive() const { return FArchive; }
  // The run ended without an archive; read only after the thread has ended.
  bool Failed() const { return FFailed; }
  // Why the run failed; read only after the thread has ended.
  const UString& ErrorText() const { return FErrorText; }

 protected:
  // Opens the archive through the plug-in registry and keeps the archive or the failure.
  void Execute() override;

 private:
  std::atomic<bool> FCancelled{false};
  UString FArchiveFileName;
  UString FPassword;
  TComPtr<IvrnArchive> FArchive;
  bool FFailed = false;
  UString FErrorText;
};
