// The window tests' program start, as the program's own: COM for the file dialog and the
// taskbar, the common controls, and the real 7-Zip library registered as the 7z format.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);
  RegisterEngineFormats();
  const int result = RUN_ALL_TESTS();
  ReleasePlugins();
  ReleaseEngineLibraries();
  ::CoUninitialize();
  return result;
}
