#include "app/update_fw_dlg.h"

#include <cctype>
#include <cstdlib>

#include "app/dotvane_dlg.h"

namespace {

constexpr char kRefused[] = "Cannot update this firmware version!";
constexpr char kSameVersion[] = "Firmware is already updated to the correct version.";
constexpr char kOlderImage[] = "The update firmware is an older version than the current firmware.";

}  // namespace

DisplayVersionReading ReadDisplayVersion(const std::string& text) {
  DisplayVersionReading reading;
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) reading.major = text[0] - '0';
  // The third and fourth characters, read as a number the way atoi reads
  // one: "5.7" gives 7, a text of one or two characters gives 0.
  if (text.size() > 2) reading.minor = std::atoi(text.substr(2, 2).c_str());
  return reading;
}

bool IsOlderThan(const DisplayVersionReading& display, int major, int minor) {
  return display.major < major || (display.major == major && display.minor < minor);
}

bool IsNewGeneration(int major, int minor) { return major == 5 || (major == 4 && minor > 70); }

void CDotvaneDlg::OnUpdateFirmware() {
  // Only a status update re-enables it, when it finds the display connected
  // and not yet updated.
  EnableDlgItem(IDC_UPDATE, false);
  m_history.Begin(*this);

  if (!m_version.empty()) {
    const DisplayVersionReading display = ReadDisplayVersion(m_version);
    const bool imageNew = IsNewGeneration(m_imageMajor, m_imageMinor);
    const bool displayNew = IsNewGeneration(display.major, display.minor);
    if (display.major < 4 || (imageNew && !displayNew)) {
      m_history.End(history::Result::kRefused);
      MessageBox(kRefused, "ERROR", ui::MB_OK | ui::MB_ICONERROR);
      SetDefID(ui::IDCANCEL);
      GotoDlgCtrl(ui::IDCANCEL);
      return;
    }
    if (!IsOlderThan(display, m_imageMajor, m_imageMinor)) {
      const bool same = display.major == m_imageMajor && display.minor == m_imageMinor;
      const int answer = MessageBox(same ? kSameVersion : kOlderImage, "WARNING",
                                    ui::MB_OKCANCEL | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2);
      if (answer != ui::IDOK) {
        m_history.End(history::Result::kDeclined);
        SetDefID(ui::IDCANCEL);
        GotoDlgCtrl(ui::IDCANCEL);
        return;
      }
    }
  }

  CUpdateFWDlg download(this);
  download.SetTargets(&m_link, &m_image);
  const std::intptr_t downloaded = download.DoModal();
  m_history.DownloadEnded(downloaded == 1, m_link.LastDownload());
  if (downloaded == 1) {
    m_updateDone = 1;
    EnableDlgItem(ui::IDCANCEL, false);
    StartRestartWatch();
  }
}

CUpdateFWDlg::CUpdateFWDlg(ui::CDialog* parent) : CDialog(IDD_UPDATE_FW, parent) {}

void CUpdateFWDlg::SetTargets(CTamrel* link, ImageStream* stream) {
  m_link = link;
  m_stream = stream;
}

// The dialog has no OK button; Return must not end it as if a download had
// succeeded, since the caller takes 1 for a written image.
void CUpdateFWDlg::OnOK() {}

void CUpdateFWDlg::OnCancel() { EndDialog(0); }

void CUpdateFWDlg::OnCommand(int id) {
  if (id == IDC_START_DOWNLOAD) {
    OnStartDownload();
  } else if (id == IDC_CANCEL_DOWNLOAD) {
    OnCancelDownload();
  } else {
    CDialog::OnCommand(id);
  }
}

void CUpdateFWDlg::OnStartDownload() {
  if (m_link == nullptr || m_stream == nullptr) {
    EndDialog(0);
    return;
  }
  EnableDlgItem(IDC_START_DOWNLOAD, false);
  EnableDlgItem(IDC_CANCEL_DOWNLOAD, false);
  SetDlgItemText(IDC_UPDATE_TEXT, "Downloading firmware...");
  // Painted now: the download holds this thread until it ends.
  RedrawWindow();

  m_stream->Seek(0);
  if (m_link->UpdateFirmware(*m_stream)) {
    EndDialog(1);
    return;
  }
  std::string status;
  m_link->FormatStatus(status);
  MessageBox("Firmware update failed!" + status, "ERROR", ui::MB_OK | ui::MB_ICONERROR);
  EndDialog(0);
}

void CUpdateFWDlg::OnCancelDownload() { EndDialog(0); }
