// Taskbar button progress over ITaskbarList3.
#include "ui/wbxTaskbar.h"

TwbxTaskbarMgr::TwbxTaskbarMgr(HWND window)
    : FWindow(window), FButtonCreatedMessage(::RegisterWindowMessageW(L"TaskbarButtonCreated")) {
  ITaskbarList3* taskbar = nullptr;
  if (SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITaskbarList3, reinterpret_cast<void**>(&taskbar)))) {
    if (SUCCEEDED(taskbar->HrInit())) {
      FTaskbar = taskbar;
    } else {
      taskbar->Release();
    }
  }
}

TwbxTaskbarMgr::~TwbxTaskbarMgr() {
  if (FTaskbar != nullptr) {
    FTaskbar->Release();
  }
}

void TwbxTaskbarMgr::SetActive(bool active) {
  if (active != FActive) {
    FActive = active;
    Apply();
  }
}

void TwbxTaskbarMgr::SetProgressState(TBPFLAG state) {
  FState = state;
  Apply();
}

void TwbxTaskbarMgr::SetProgressValue(std::uint64_t value) {
  FValue = value;
  Apply();
}

void TwbxTaskbarMgr::SetProgressValueMax(std::uint64_t valueMax) {
  FValueMax = valueMax;
  Apply();
}

void TwbxTaskbarMgr::HandleMessage(UINT message) {
  if (message == FButtonCreatedMessage && FButtonCreatedMessage != 0) {
    Apply();
  }
}

void TwbxTaskbarMgr::Apply() {
  if (FTaskbar == nullptr || FWindow == nullptr) {
    return;
  }
  if (!FActive) {
    FTaskbar->SetProgressState(FWindow, TBPF_NOPROGRESS);
    return;
  }
  FTaskbar->SetProgressState(FWindow, FState);
  if (FState == TBPF_NORMAL || FState == TBPF_PAUSED || FState == TBPF_ERROR) {
    FTaskbar->SetProgressValue(FWindow, FValue, FValueMax);
  }
}
