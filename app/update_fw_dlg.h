// The download dialog: warns not to unplug the display, runs the download
// on "Start Download" and reports a failure with the display's status.
#pragma once

#include <memory>
#include <optional>

#include "app/update_history.h"
#include "image/firmware_image.h"
#include "os/i18n.h"
#include "os/thread.h"
#include "power/power.h"
#include "ui/ui.h"
#include "protocol/tamrel.h"

// From the download's worker to the dialog: progress (wParam: bytes the
// display accepted, lParam: the image's length) and the end (wParam: the
// download's result).
inline constexpr os::UINT WM_DOWNLOAD_PROGRESS = os::WM_APP + 4;
inline constexpr os::UINT WM_DOWNLOAD_ENDED = os::WM_APP + 5;

class CUpdateFWDlg : public ui::CDialog {
 public:
  explicit CUpdateFWDlg(ui::CDialog* parent);
  ~CUpdateFWDlg() override;

  void SetTargets(CTamrel* link, ImageStream* stream);
  // The attempt's history, told on the download's thread that the write
  // begins and how far it got; none in tests of the dialog alone.
  void SetHistory(CUpdateHistory* history) { m_history = history; }
  void OnOK() override;
  void OnCommand(int id) override;
  void OnCancel() override;  // Escape and the close box end with 0, like Cancel
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override;
  void OnStartDownload();
  void OnCancelDownload();
  ui::LRESULT OnDownloadProgress(ui::WPARAM accepted, ui::LPARAM length);
  ui::LRESULT OnDownloadEnded(ui::WPARAM result);

  // Start Download was pressed: from then on the link belongs to the
  // download, and the main window's device broadcasts are held until it has
  // taken in the outcome.
  bool IsWriting() const { return m_writing; }
  // While the display is written, the dialog's text becomes `sentence`:
  // the program was asked to end, and will once the update has finished.
  // False when the write is over (its outcome is on its way).
  bool SayEndAfterUpdate(const std::string& sentence);

  // Start Download found the computer on a battery too low to finish the
  // write, and started nothing: the battery's charge in percent.
  std::optional<int> LowBattery() const { return m_lowBattery; }
  // The hold on the computer taken at Start Download; after a written image
  // the caller keeps it until the display has come back.  Null when none.
  std::unique_ptr<power::KeepRunning> TakeKeepRunning() { return std::move(m_keepRunning); }

  // The box shown instead of a write on a low battery.
  static std::string LowBatteryText(int percent);
  static constexpr char kLowBatteryCaption[] = N_("Battery Too Low");

 private:
  void JoinWriter();

  CTamrel* m_link = nullptr;
  ImageStream* m_stream = nullptr;
  CUpdateHistory* m_history = nullptr;
  bool m_writing = false;
  std::optional<int> m_lowBattery;
  // Declared before the writer: it is released only after the writer has been joined.
  std::unique_ptr<power::KeepRunning> m_keepRunning;
  std::unique_ptr<os::Thread> m_writer;
};
