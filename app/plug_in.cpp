#include "app/plug_in.h"

#include "app/display_arrival.h"
#include "app/resource.h"
#include "os/i18n.h"
#include "os/sync.h"
#include "display/display_class.h"

CPlugIn::CPlugIn(ui::CDialog* parent) : CDialog(IDD_PLUGIN, parent) {}

CPlugIn::~CPlugIn() {
  if (m_notification != ui::kNoNotification) ui::UnregisterDeviceNotification(m_notification);
}

ui::BOOL CPlugIn::OnInitDialog() {
  RegisterNotification();
  m_prompt = _("Please plug a Vantor 3 Braille display into a USB port.");
  SetDlgItemText(IDC_PLUGIN_TEXT, m_prompt);
  return 1;
}

void CPlugIn::RegisterNotification() {
  if (m_notification != ui::kNoNotification) ui::UnregisterDeviceNotification(m_notification);
  m_notification = ui::RegisterDeviceNotification(this, kDisplayInterfaceClass);
}

ui::BOOL CPlugIn::OnDeviceChange(ui::UINT eventType, const ui::DeviceBroadcast* record) {
  if (eventType != os::DBT_DEVICEARRIVAL && eventType != os::DBT_DEVICEREMOVECOMPLETE) return 1;
  if (!IsDisplayBroadcast(record)) return 1;
  if (eventType == os::DBT_DEVICEARRIVAL) {
    RegisterNotification();
    // A display that has just arrived is not ready to be opened at once.
    os::Sleep(kArrivalPauseMs);
    EndDialog(1);
  }
  return 1;
}

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

ui::BOOL CAboutDlg::OnInitDialog() {
  std::string version;
  GetProductVersion(version);
  SetDlgItemText(IDC_VERSION, version);
  return 1;
}

void GetProductVersion(std::string& text) {
  text.clear();
  // Read once and kept for the life of the process, as the block is.
  static const std::optional<std::string> productVersion =
      ui::VerQueryValue(os::ResourceModule::Self(), "\\StringFileInfo\\040904e4\\ProductVersion");
  if (productVersion) text = *productVersion;
}
