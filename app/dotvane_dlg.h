// The main window: loads the image, connects to the display (asking for it
// to be plugged in until it is), identifies it, offers the update, follows
// arrival and removal, and reports the updated display.
#pragma once

#include <memory>
#include <string>

#include "app/history.h"
#include "image/firmware_image.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/ui/ui.h"
#include "protocol/tamrel.h"

inline constexpr os::UINT WM_ASK_PLUGIN = os::WM_APP + 2;
inline constexpr os::UINT WM_RESTART_OVERDUE = os::WM_APP + 3;

// Resource and control ids.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_DOTVANE_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_UPDATE_FW = 129;
inline constexpr int IDD_PLUGIN = 131;
inline constexpr int IDC_UPDATE = 1000;
inline constexpr int IDC_VERSION = 1001;
inline constexpr int IDC_START_DOWNLOAD = 1002;
inline constexpr int IDC_CANCEL_DOWNLOAD = 1003;
inline constexpr int IDC_PROGRESS = 1004;
inline constexpr int IDC_UPDATE_TEXT = 1011;
inline constexpr int IDC_PLUGIN_TEXT = 1012;
inline constexpr int IDC_STATUS = 1013;
inline constexpr os::UINT IDM_ABOUTBOX = 0x0010;

// Pause after a matching display arrives, before it is opened.
inline constexpr os::DWORD kArrivalPauseMs = 1000;
// How long, and in what steps, an open refused for lack of permission is
// tried again before the user is told.
inline constexpr os::DWORD kPermissionRetryMs = 2000;
inline constexpr os::DWORD kPermissionRetryStepMs = 250;
// How long after a written image the display has to come back and say who it
// is before the user is told and may leave.
inline constexpr os::DWORD kRestartWaitMs = 120000;

class CDotvaneDlg : public ui::CDialog {
 public:
  // `images` is the module the firmware image is looked up in: the
  // program's own resources.
  explicit CDotvaneDlg(const os::ResourceModule& images = os::ResourceModule::Self());
  ~CDotvaneDlg() override;

  ui::BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id) override;
  void OnSysCommand(ui::UINT id, ui::LPARAM param) override;
  ui::BOOL OnDeviceChange(ui::UINT eventType, const ui::DeviceBroadcast* record) override;
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override;

  int LoadFirmwareImage(const char* name, const char* type);
  void ConnectDisplay();
  bool OpenDisplay();
  // What to tell the user when an attached display cannot be opened; nullptr
  // when the reason is that none is attached.
  static const char* CannotOpenText(os::DWORD error);
  void SendQuery();
  void UpdateStatus();
  // The identity part of the status line, as UpdateStatus composes it.
  std::string IdentityText();
  // The status line as the identity followed by `sentence`.
  void SetStatusSentence(const std::string& sentence);
  static std::string RestartWaitText();
  void RegisterNotification();
  ui::LRESULT OnShortPacket(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnLongPacket(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnAskPlugIn(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnRestartOverdue(ui::WPARAM wParam, ui::LPARAM lParam);
  void OnUpdateFirmware();
  // The display answered after an update: did it take the image?
  void CheckUpdatedDisplay();

  // State, for tests.
  bool IsConnected() const { return m_connected != 0; }
  bool IsUpdateDone() const { return m_updateDone != 0; }
  FirmwareVersion ImageVersion() const { return {m_imageMajor, m_imageMinor}; }
  const std::string& DisplayManufacturer() const { return m_manufacturer; }
  const std::string& DisplayModel() const { return m_model; }
  const std::string& DisplayVersion() const { return m_version; }
  CTamrel& Link() { return m_link; }
  ImageStream& Image() { return m_image; }

 private:
  const os::ResourceModule& m_images;
  int m_icon = IDR_MAINFRAME;
  CTamrel m_link;
  int m_connected = 0;
  int m_updateDone = 0;
  ui::HDEVNOTIFY m_notification = ui::kNoNotification;
  ImageStream m_image;
  int m_imageMajor = 0;
  int m_imageMinor = 0;
  std::string m_manufacturer;
  std::string m_model;
  std::string m_version;
  // Runs from a written image until the display has identified itself.
  void StartRestartWatch();
  void StopRestartWatch();
  os::Event m_restartSettled{os::Event::Mode::kManual};
  std::unique_ptr<os::Thread> m_restartWatch;
  CUpdateHistory m_history;  // the update history's record of the current attempt
};

// Matches a broadcast against the display's vendor id: the device name,
// upper-cased, contains the vendor-id match text.
bool IsDisplayBroadcast(const ui::DeviceBroadcast* record);
