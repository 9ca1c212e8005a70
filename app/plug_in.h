// The plug-in prompt and the About box.
#pragma once

#include <string>

#include "ui/ui.h"

class CPlugIn : public ui::CDialog {
 public:
  explicit CPlugIn(ui::CDialog* parent = nullptr);
  ~CPlugIn() override;

  ui::BOOL OnInitDialog() override;
  ui::BOOL OnDeviceChange(ui::UINT eventType, const ui::DeviceBroadcast* record) override;
  void RegisterNotification();

 private:
  ui::HDEVNOTIFY m_notification = ui::kNoNotification;
  std::string m_prompt;
};

class CAboutDlg : public ui::CDialog {
 public:
  CAboutDlg();
  ui::BOOL OnInitDialog() override;
};

// The product version from the program's version resource; empty when it
// cannot be read.
void GetProductVersion(std::string& text);
