// The Windows program: loads the 7-Zip library, shows the window and runs its message
// loop until the window is closed. No command-line arguments, no settings.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/MainFormUnit.h"
#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int showCommand) {
  // The file dialog and the taskbar progress are COM objects of the UI thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);
  // 7zxa.dll from the program's folder, its 7z format as a plug-in; without the library
  // every mount says it cannot open the file as an archive.
  RegisterEngineFormats();
  int exitCode = 0;
  {
    TMainForm form(true);
    ::ShowWindow(form.Handle(), showCommand);
    ::UpdateWindow(form.Handle());
    exitCode = RunMessageLoop(form);
  }
  ReleasePlugins();
  ReleaseEngineLibraries();
  if (SUCCEEDED(com)) {
    ::CoUninitialize();
  }
  return exitCode;
}
