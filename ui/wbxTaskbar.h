// The progress shown on a window's taskbar button, through the shell's ITaskbarList3.
//
// TwbxTaskbarMgr keeps the state it was given (active, state, value, maximum) and shows
// it on the button whenever the button exists. Where the shell offers no taskbar list
// (an old system, or none running) it keeps the state and shows nothing.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include <cstdint>

class TwbxTaskbarMgr {
 public:
  // Progress for Window's button, inactive, in TBPF_NORMAL state.
  explicit TwbxTaskbarMgr(HWND window);
  ~TwbxTaskbarMgr();
  TwbxTaskbarMgr(const TwbxTaskbarMgr&) = delete;
  TwbxTaskbarMgr& operator=(const TwbxTaskbarMgr&) = delete;

  // While active the button shows ProgressState at ProgressValue of ProgressValueMax;
  // inactive it shows no progress (TBPF_NOPROGRESS).
  bool Active() const { return FActive; }
  void SetActive(bool active);
  TBPFLAG ProgressState() const { return FState; }
  void SetProgressState(TBPFLAG state);
  std::uint64_t ProgressValue() const { return FValue; }
  void SetProgressValue(std::uint64_t value);
  std::uint64_t ProgressValueMax() const { return FValueMax; }
  void SetProgressValueMax(std::uint64_t valueMax);

  // The window procedure passes every message here: the shell's "TaskbarButtonCreated"
  // says the button (again) exists, and the state is shown anew.
  void HandleMessage(UINT message);

 private:
  // Shows the current state on the button.
  void Apply();

  HWND FWindow;
  ITaskbarList3* FTaskbar = nullptr;
  UINT FButtonCreatedMessage;
  bool FActive = false;
  TBPFLAG FState = TBPF_NORMAL;
  std::uint64_t FValue = 0;
  std::uint64_t FValueMax = 100;
};
