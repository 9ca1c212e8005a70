#include "app/update_fw_dlg.h"

#include "app/end_requests.h"
#include "app/resource.h"
#include "os/i18n.h"

namespace {

// Said when Escape or the close box is refused during the write.
constexpr char kStillWriting[] =
    N_("The firmware is being written to the Braille display; this window closes by itself when the writing has "
       "ended.");

}  // namespace

CUpdateFWDlg::CUpdateFWDlg(ui::CDialog* parent) : CDialog(IDD_UPDATE_FW, parent) {}

// The broadcasts held since Start Download are released only now, once the
// main window has taken in the outcome: it destroys this dialog last.
CUpdateFWDlg::~CUpdateFWDlg() {
  JoinWriter();
  if (m_writing && Parent() != nullptr) ui::HoldDeviceBroadcasts(*Parent(), false);
}

// The writer ends by itself: every request of the download is bounded, and
// so is the number of its resumes.  It must have ended before the link and
// the stream it uses can go.
void CUpdateFWDlg::JoinWriter() {
  if (!m_writer) return;
  m_writer->Wait(os::INFINITE);
  m_writer.reset();
}

void CUpdateFWDlg::SetTargets(CTamrel* link, ImageStream* stream) {
  m_link = link;
  m_stream = stream;
}

// The dialog has no OK button; Return must not end it as if a download had
// succeeded, since the caller takes 1 for a written image.
void CUpdateFWDlg::OnOK() {}

// Once the display is being written, neither Escape nor the close box may
// leave it half-written: the dialog ends when the download does.  A refusal
// met with silence sounds like a hang; the user is told why the window stays.
void CUpdateFWDlg::OnCancel() {
  if (m_writing) {
    Say(_(kStillWriting));
    return;
  }
  EndDialog(0);
}

void CUpdateFWDlg::OnCommand(int id) {
  if (id == IDC_START_DOWNLOAD) {
    OnStartDownload();
  } else if (id == IDC_CANCEL_DOWNLOAD) {
    OnCancelDownload();
  } else {
    CDialog::OnCommand(id);
  }
}

ui::LRESULT CUpdateFWDlg::OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
  if (message == WM_DOWNLOAD_PROGRESS) return OnDownloadProgress(wParam, lParam);
  if (message == WM_DOWNLOAD_ENDED) return OnDownloadEnded(wParam);
  return 0;
}

std::string CUpdateFWDlg::LowBatteryText(int percent) {
  // TRANSLATORS: the battery's charge in percent.
  return os::i18n::Format(N_("Connect the computer to power, then choose Update Firmware... again: its battery is at "
                             "%1$s%%, which may not last until the Braille display has been written."),
                          {std::to_string(percent)});
}

void CUpdateFWDlg::OnStartDownload() {
  if (m_link == nullptr || m_stream == nullptr) {
    EndDialog(0);
    return;
  }
  // A write cut short by a flat battery leaves the display half-written:
  // on a low battery nothing is started, and the user is told what to do.
  const power::Supply supply = power::ReadSupply();
  if (power::TooLowToWrite(supply)) {
    m_lowBattery = *supply.percent;
    MessageBox(LowBatteryText(*supply.percent), _(kLowBatteryCaption), ui::MB_OK | ui::MB_ICONWARNING);
    EndDialog(0);
    return;
  }
  // From here until the update has ended the computer may not suspend,
  // shut down or act on its lid and power keys; the hold names the main
  // window, which stays while this dialog comes and goes.
  const ui::CDialog& main = Parent() != nullptr ? *Parent() : *this;
  m_keepRunning = std::make_unique<power::KeepRunning>(ui::CurrentBackend().NativeWindow(main));
  // Cancel first: the keyboard, on Start Download, then goes straight to the
  // text rather than to a Cancel about to be disabled.
  EnableDlgItem(IDC_CANCEL_DOWNLOAD, false);
  EnableDlgItem(IDC_START_DOWNLOAD, false);
  SetDlgItemText(IDC_UPDATE_TEXT, _("Downloading firmware..."));
  RedrawWindow();

  m_stream->Seek(0);
  m_writing = true;
  // From now until the update has ended, a request to end the program
  // waits for it: before the writer sends its first request.
  endreq::SetStage(endreq::Stage::kUpdating);
  // The link belongs to the download until it ends, and the user must hear
  // how the write ended before anything that happened during it: arrivals
  // and removals wait until the main window has taken in the outcome.
  if (Parent() != nullptr) ui::HoldDeviceBroadcasts(*Parent(), true);
  // The download runs on a worker while this thread keeps the dialog
  // painted and answering a screen reader; the dialog takes no input until
  // the worker posts the outcome.  Posting to a window that has gone is
  // harmless, and the dialog cannot end before the worker has.
  // The history says a write has begun before the display gets anything:
  // a power cut or a killed program cannot be recorded afterwards.
  m_writer = os::Thread::Create([this]() -> os::DWORD {
    if (m_history != nullptr) m_history->WriteBegun();
    const int result = m_link->UpdateFirmware(*m_stream, [this](std::uint64_t accepted, std::uint64_t length) {
      if (m_history != nullptr) m_history->WriteProgress(accepted, length);
      PostMessage(WM_DOWNLOAD_PROGRESS, static_cast<ui::WPARAM>(accepted), static_cast<ui::LPARAM>(length));
    });
    PostMessage(WM_DOWNLOAD_ENDED, static_cast<ui::WPARAM>(result), 0);
    return 0;
  });
  if (!m_writer) OnDownloadEnded(0);
}

ui::LRESULT CUpdateFWDlg::OnDownloadProgress(ui::WPARAM accepted, ui::LPARAM length) {
  if (length > 0) SetProgressPos(IDC_PROGRESS, static_cast<int>(accepted * 100 / static_cast<ui::WPARAM>(length)));
  return 0;
}

ui::LRESULT CUpdateFWDlg::OnDownloadEnded(ui::WPARAM result) {
  JoinWriter();  // it posted this as its last act
  if (result != 0) {
    EndDialog(1);
    return 0;
  }
  // The update has ended here: the computer is free again before the box.
  m_keepRunning.reset();
  std::string status;
  m_link->FormatStatus(status);  // " (<six status bytes in hex>)"
  const std::string bytes = status.size() > 3 ? status.substr(2, status.size() - 3) : status;
  // TRANSLATORS: the six status bytes the display answered, in hex (010010000001).
  MessageBox(os::i18n::Format(N_("Firmware update failed! (%1$s)"), {bytes}), _("ERROR"),
             ui::MB_OK | ui::MB_ICONERROR);
  EndDialog(0);
  return 0;
}

void CUpdateFWDlg::OnCancelDownload() { EndDialog(0); }

bool CUpdateFWDlg::SayEndAfterUpdate(const std::string& sentence) {
  if (!m_writer) return false;
  SetDlgItemText(IDC_UPDATE_TEXT, sentence);
  return true;
}
