// The download dialog: warns not to unplug the display, runs the download
// on "Start Download" and reports a failure with the display's status.
#pragma once

#include "image/firmware_image.h"
#include "platform/ui/ui.h"
#include "protocol/tamrel.h"

class CUpdateFWDlg : public ui::CDialog {
 public:
  explicit CUpdateFWDlg(ui::CDialog* parent);

  void SetTargets(CTamrel* link, ImageStream* stream);
  void OnOK() override;
  void OnCommand(int id) override;
  void OnCancel() override;  // Escape and the close box end with 0, like Cancel
  void OnStartDownload();
  void OnCancelDownload();

 private:
  CTamrel* m_link = nullptr;
  ImageStream* m_stream = nullptr;
};

// The display version as the update command reads it from the INFO text.
struct DisplayVersionReading {
  int major = 0;
  int minor = 0;
};
DisplayVersionReading ReadDisplayVersion(const std::string& text);
// The display's version is below major.minor.
bool IsOlderThan(const DisplayVersionReading& display, int major, int minor);
// 4.71 to 4.99, and every 5.xx.
bool IsNewGeneration(int major, int minor);
