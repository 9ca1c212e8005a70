// The main window: loads the image, connects to the display (asking for it
// to be plugged in until it is), identifies it, offers the update, follows
// arrival and removal, and reports the updated display.
#pragma once

#include <memory>
#include <string>

#include "app/display_arrival.h"
#include "app/history.h"
#include "app/resource.h"
#include "image/firmware_image.h"
#include "os/sync.h"
#include "os/thread.h"
#include "power/power.h"
#include "ui/ui.h"
#include "protocol/tamrel.h"

inline constexpr os::UINT WM_ASK_PLUGIN = os::WM_APP + 2;
inline constexpr os::UINT WM_RESTART_OVERDUE = os::WM_APP + 3;

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
  void OnCloseRefused() override;

  int LoadFirmwareImage(const char* name, const char* type);
  void ConnectDisplay();
  bool OpenDisplay();
  // What to tell the user when an attached display cannot be opened; nullptr
  // when the reason is that none is attached.
  static const char* CannotOpenText(os::DWORD error);
  static const char* CannotOpenCaption(os::DWORD error);  // for an error CannotOpenText has a text for
  void SendQuery();
  void UpdateStatus();
  // The identity part of the status line, as UpdateStatus composes it.
  std::string IdentityText();
  // The status line as the identity followed by `sentence`.
  void SetStatusSentence(const std::string& sentence);
  // The history's last attempt for the display shown began to write and
  // never ended; looked up once for each identity.
  bool LastAttemptInterrupted();
  static std::string RestartWaitText();
  // The program was asked to end (wParam: the request): during an update
  // it says so and ends after the outcome; otherwise it ends now, once an
  // attempt in progress is recorded.
  ui::LRESULT OnEndRequested(ui::WPARAM request, ui::LPARAM);
  // The program was asked to end during an update that has now ended.
  void EndIfRequested();
  void RegisterNotification();
  ui::LRESULT OnShortPacket(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnLongPacket(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnAskPlugIn(ui::WPARAM wParam, ui::LPARAM lParam);
  ui::LRESULT OnRestartOverdue(ui::WPARAM wParam, ui::LPARAM lParam);
  void OnUpdateFirmware();
  // The display answered after an update: did it take the image?
  void CheckUpdatedDisplay();
  // The broadcast is about the display the update wrote.
  bool IsWrittenDisplay(const ui::DeviceBroadcast* record) const;

  // State, for tests.
  bool IsConnected() const { return m_connected != 0; }
  bool IsUpdateDone() const { return m_updateDone != 0; }
  bool IsEndRequested() const { return m_endRequested != 0; }
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
  FirmwareVersion m_imageVersion;
  std::string m_manufacturer;
  std::string m_model;
  std::string m_version;
  // Runs from a written image until the display has identified itself.
  void StartRestartWatch();
  void StopRestartWatch();
  os::Event m_restartSettled{os::Event::Mode::kManual};
  std::unique_ptr<os::Thread> m_restartWatch;
  CUpdateHistory m_history;  // the update history's record of the current attempt
  class CUpdateFWDlg* m_download = nullptr;  // while the download dialog is up
  int m_endRequested = 0;  // the request to end the program that came during an update
  // What the restart wait says once the program was asked to end.
  std::string EndAfterUpdateTail() const;
  bool m_interruptedLooked = false;
  bool m_interrupted = false;
  // The hold on the computer from Start Download until the written display
  // has come back or the wait for it has ended.
  std::unique_ptr<power::KeepRunning> m_keepRunning;
};
