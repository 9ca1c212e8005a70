#include "ui/win32/accessibility.h"
#include "os/wide_text.h"

// clang-format off
#include <windows.h>
#include <oleacc.h>
// clang-format on

namespace win32ui {

namespace {

using os::Wide;

// UI Automation's notification, declared here: older SDKs (MinGW-w64's
// included) do not have it, and Windows before 10 1709 and Wine do not
// export it, so it is looked up when first needed.  The provider pointers
// are IRawElementProviderSimple*.
using HostProviderFromHwnd = HRESULT(WINAPI*)(HWND, void**);
using RaiseNotificationEvent = HRESULT(WINAPI*)(void*, int kind, int processing, BSTR text, BSTR activity);
constexpr int kNotificationKindOther = 4;
constexpr int kNotificationProcessingImportantAll = 0;  // each one spoken, in order

class SystemAccessibility : public Accessibility {
 public:
  ~SystemAccessibility() override {
    if (props_ != nullptr) props_->Release();
    if (comStarted_) CoUninitialize();
  }

  void NameChanged(void* window) override { Notify(EVENT_OBJECT_NAMECHANGE, window); }
  void ValueChanged(void* window) override { Notify(EVENT_OBJECT_VALUECHANGE, window); }
  void StateChanged(void* window) override { Notify(EVENT_OBJECT_STATECHANGE, window); }

  void SetName(void* window, const std::string& name) override {
    if (!triedProps_) {
      triedProps_ = true;
      const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      comStarted_ = SUCCEEDED(started);
      if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                  reinterpret_cast<void**>(&props_)))) {
        props_ = nullptr;
      }
    }
    if (props_ == nullptr) return;
    const std::wstring wide = Wide(name);
    props_->SetHwndPropStr(static_cast<HWND>(window), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                           PROPID_ACC_NAME, wide.c_str());
  }

  void ForgetName(void* window) override {
    if (props_ == nullptr) return;
    MSAAPROPID name = PROPID_ACC_NAME;
    props_->ClearHwndProps(static_cast<HWND>(window), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &name, 1);
  }

  void Announce(void* window, const std::string& text) override {
    if (!triedUia_) {
      triedUia_ = true;
      if (HMODULE uia = LoadLibraryW(L"uiautomationcore.dll")) {
        hostProvider_ = reinterpret_cast<HostProviderFromHwnd>(
            reinterpret_cast<void*>(GetProcAddress(uia, "UiaHostProviderFromHwnd")));
        raise_ = reinterpret_cast<RaiseNotificationEvent>(
            reinterpret_cast<void*>(GetProcAddress(uia, "UiaRaiseNotificationEvent")));
      }
    }
    if (hostProvider_ == nullptr || raise_ == nullptr) return;
    void* provider = nullptr;
    if (FAILED(hostProvider_(static_cast<HWND>(window), &provider)) || provider == nullptr) return;
    BSTR spoken = SysAllocString(Wide(text).c_str());
    BSTR activity = SysAllocString(L"Dotvane.Status");
    raise_(provider, kNotificationKindOther, kNotificationProcessingImportantAll, spoken, activity);
    SysFreeString(spoken);
    SysFreeString(activity);
    static_cast<IUnknown*>(provider)->Release();
  }

 private:
  static void Notify(DWORD event, void* window) {
    NotifyWinEvent(event, static_cast<HWND>(window), OBJID_CLIENT, CHILDID_SELF);
  }

  bool triedProps_ = false;
  bool comStarted_ = false;
  IAccPropServices* props_ = nullptr;
  bool triedUia_ = false;
  HostProviderFromHwnd hostProvider_ = nullptr;
  RaiseNotificationEvent raise_ = nullptr;
};

}  // namespace

std::unique_ptr<Accessibility> MakeSystemAccessibility() { return std::make_unique<SystemAccessibility>(); }

}  // namespace win32ui
