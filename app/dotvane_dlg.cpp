#include "app/dotvane_dlg.h"

#include <cstdio>
#include <iostream>

#include "app/end_requests.h"
#include "app/plug_in.h"
#include "app/update_fw_dlg.h"
#include "app/version_rules.h"
#include "image/image_digest.h"
#include "os/i18n.h"
#include "os/text_compare.h"
#include "os/text_encoding.h"
#include "protocol/packet.h"
#include "display/display_class.h"

namespace {

// TRANSLATORS: the window title; the firmware version this program carries.
constexpr char kTitle[] = N_("Orvanta Braille Display Firmware Update %1$s");
constexpr char kReady[] = N_("Ready to update firmware.");
constexpr char kDamagedImage[] =
    N_("The firmware image inside Dotvane is damaged, so it cannot be written to the Braille display. Install "
       "Dotvane again.");
constexpr char kCompleted[] =
    N_("Firmware update completed.  If you are using a screen reader with this Braille display, you may need to "
       "restart it.");
// A request to end the program during an update: said in the window and on
// standard error.
constexpr char kEndAfterWrite[] =
    N_("The firmware is being written to the Braille display. Dotvane will end when the update has finished.");
constexpr char kEndAfterRestart[] = N_("Dotvane will end when the update has finished.");
constexpr char kRestartOverdue[] =
    N_("The Braille display has not come back from its firmware update. Unplug it and plug it in again to see its "
       "firmware version, or choose Exit.");
// Back on the bus, not yet identified: whether the update took is known only
// from the version it reports, so nothing may be said to have completed.  It
// still says the write ended: a display that restarts quickly is back before
// a screen reader has read the restart wait.
constexpr char kBackChecking[] =
    N_("The firmware has been written. The Braille display has come back from its firmware update. Checking its "
       "firmware version.");
constexpr char kBackUnidentified[] =
    N_("The Braille display has come back from its firmware update but has not identified itself. Unplug it and "
       "plug it in again to see its firmware version, or choose Exit.");

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// The update command's boxes and the status line's closing sentence when
// Update Firmware... cannot be pressed: it must never claim the display is
// ready to update then.

constexpr char kRefusedStatus[] = N_("This firmware version cannot be updated.");
constexpr char kDeclinedStatus[] = N_("The firmware was not updated.");
constexpr char kFailedStatus[] =
    N_("The firmware update failed. Unplug the Braille display and plug it in again to try again.");
constexpr char kRefused[] = N_("Cannot update this firmware version!");
constexpr char kSameVersion[] = N_("Firmware is already updated to the correct version.");
constexpr char kOlderImage[] = N_("The update firmware is an older version than the current firmware.");
// Captions of the boxes, as the seed wrote them (in capitals).
constexpr char kErrorCaption[] = N_("ERROR");
constexpr char kWarningCaption[] = N_("WARNING");
// Said before "Ready to update firmware." when the history's last attempt
// for this display began to write and never ended.
constexpr char kInterruptedStatus[] =
    N_("The last firmware update of this Braille display was interrupted before it finished. ");

// Captions of the boxes that have none of their own: a screen reader says
// the caption first, and the program's file name tells nobody anything.
constexpr char kNoPermissionCaption[] = N_("No Permission for the Braille Display");
constexpr char kBusyCaption[] = N_("Braille Display in Use");
constexpr char kNotConfirmedCaption[] = N_("Firmware Update Not Confirmed");

}  // namespace

CDotvaneDlg::CDotvaneDlg(const os::ResourceModule& images) : CDialog(IDD_DOTVANE_DIALOG), m_images(images) {}

CDotvaneDlg::~CDotvaneDlg() {
  endreq::SetOwner(nullptr);  // before anything could be posted to a window that has gone
  StopRestartWatch();
  if (m_notification != ui::kNoNotification) ui::UnregisterDeviceNotification(m_notification);
}

int CDotvaneDlg::LoadFirmwareImage(const char* name, const char* type) {
  return ::LoadFirmwareImage(m_images, name, type, m_image, m_imageVersion);
}

ui::BOOL CDotvaneDlg::OnInitDialog() {
  const char* imageName = LoadFirmwareImage("IIC_UPDATE", "IIC")   ? "IIC_UPDATE"
                          : LoadFirmwareImage("BIN_UPDATE", "BIN") ? "BIN_UPDATE"
                                                                   : nullptr;
  if (imageName == nullptr) {
    MessageBox(_("Resource file not found!"), "", ui::MB_OK | ui::MB_ICONERROR);
    EndDialog(ui::IDCANCEL);
    return 1;
  }
  // Checked before anything is asked of a display: an image that is not
  // the one the build made would leave the display with damaged firmware.
  if (!ImageMatchesRecordedDigest(m_images, imageName, {m_image.Data(), m_image.GetLength()})) {
    MessageBox(_(kDamagedImage), "", ui::MB_OK | ui::MB_ICONERROR);
    EndDialog(ui::IDCANCEL);
    return 1;
  }

  SetWindowText(os::i18n::Format(kTitle, {FormatFirmwareVersion(m_imageVersion)}));
  endreq::SetOwner(this);

  const std::string about = ui::LoadString(os::ResourceModule::Self(), IDS_ABOUTBOX);
  if (!about.empty()) AppendSystemMenuItem(IDM_ABOUTBOX, about);
  SetIcon(m_icon);

  RegisterNotification();
  ConnectDisplay();
  return 1;
}

// The main window ends with 1 only after the updated display has identified
// itself; Return on it must never end it as a success.
void CDotvaneDlg::OnOK() {}

void CDotvaneDlg::OnCommand(int id) {
  if (id == IDC_UPDATE) {
    OnUpdateFirmware();
  } else {
    CDialog::OnCommand(id);  // Exit (2) takes the cancel path: result 2
  }
}

// Exit is disabled only while the written display restarts: the status line
// says what is being waited for, which is why the window stays.
void CDotvaneDlg::OnCloseRefused() { Say(GetDlgItemText(IDC_STATUS)); }

void CDotvaneDlg::RegisterNotification() {
  if (m_notification != ui::kNoNotification) ui::UnregisterDeviceNotification(m_notification);
  m_notification = ui::RegisterDeviceNotification(this, kDisplayInterfaceClass);
}

// A display that is attached but may not be opened would otherwise only
// ever get "please plug it in", which cannot help: say what is wrong and
// what to do about it.
const char* CDotvaneDlg::CannotOpenCaption(os::DWORD error) {
  return _(error == os::ERROR_ACCESS_DENIED ? kNoPermissionCaption : kBusyCaption);
}

const char* CDotvaneDlg::CannotOpenText(os::DWORD error) {
  switch (error) {
    case os::ERROR_ACCESS_DENIED:
      return _("A Braille display is connected, but you do not have permission to use it. Install the udev rule "
               "that comes with Dotvane (70-dotvane.rules), then unplug the display and plug it in again. Choose "
               "OK to try again or Cancel to exit.");
    case os::ERROR_BUSY:
      return _("A Braille display is connected, but another program is using it, such as a screen reader's "
               "Braille service. Stop that program or its Braille service, then choose OK to try again or Cancel "
               "to exit.");
    default:
      return nullptr;
  }
}

bool CDotvaneDlg::OpenDisplay() {
  // Right after an arrival the device node may not have its permissions
  // yet (udev applies them a moment later): a refusal is retried briefly.
  for (os::DWORD waited = 0;; waited += kPermissionRetryStepMs) {
    if (m_link.Open(this)) return true;
    if (m_link.OpenError() != os::ERROR_ACCESS_DENIED || waited >= kPermissionRetryMs) return false;
    os::Sleep(kPermissionRetryStepMs);
  }
}

void CDotvaneDlg::ConnectDisplay() {
  m_connected = 0;
  while (!OpenDisplay()) {
    if (const char* problem = CannotOpenText(m_link.OpenError())) {
      if (MessageBox(problem, CannotOpenCaption(m_link.OpenError()), ui::MB_OKCANCEL | ui::MB_ICONWARNING) !=
          ui::IDOK) {
        EndDialog(ui::IDCANCEL);
        return;
      }
      continue;
    }
    CPlugIn prompt;
    if (prompt.DoModal() != 1) {
      EndDialog(ui::IDCANCEL);
      return;
    }
  }
  m_connected = 1;
  SendQuery();
  UpdateStatus();
}

void CDotvaneDlg::SendQuery() {
  m_manufacturer.clear();
  m_model.clear();
  m_version.clear();
  m_interruptedLooked = false;
  // Neither repeated nor timed: a display that does not answer leaves the
  // status without its identity.
  m_link.SendPacket(Packet(kPacketQuery));
}

std::string CDotvaneDlg::IdentityText() {
  if (m_manufacturer.empty()) return {};
  ReplaceAll(m_model, "qx display", "Ostrel");
  // The sentence that follows it is joined with one space.
  return os::i18n::Format(m_updateDone
                              // TRANSLATORS: the display's maker, its model and its new firmware version.
                              ? N_("%1$s, %2$s Braille display, updated to Firmware Version %3$s.")
                              // TRANSLATORS: the display's maker, its model and its firmware version.
                              : N_("%1$s, %2$s Braille display, current Firmware Version %3$s."),
                          {m_manufacturer, m_model, m_version}) +
         " ";
}

// The restart can take a while, and nothing else moves meanwhile: the user
// is told what is being waited for and for how long at most.
// It opens with the end of the write: the download dialog's last progress
// goes with its window, unheard, so this is where the user learns of it.
std::string CDotvaneDlg::RestartWaitText() {
  const os::DWORD minutes = (kRestartWaitMs + 59999) / 60000;
  return os::i18n::FormatPlural(
      "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes "
      "at most %1$s minute.",
      "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes "
      "at most %1$s minutes.",
      minutes, {std::to_string(minutes)});
}

bool CDotvaneDlg::LastAttemptInterrupted() {
  if (m_manufacturer.empty()) return false;
  if (!m_interruptedLooked) {
    // The names as the attempt recorded them: IdentityText has settled them.
    history::Record display;
    display.maker = m_manufacturer;
    display.model = m_model;
    const auto attempt = history::InterruptedAttempt(history::DefaultPath(), display, history::kInterruptedLookupMs);
    // A display that already has the image's version took it, whatever
    // cut the attempt short (its restart, say): nothing to tell.
    m_interrupted =
        attempt && IsOlderThan(ReadDisplayVersion(m_version), ReadDisplayVersion(attempt->image));
    m_interruptedLooked = true;
  }
  return m_interrupted;
}

void CDotvaneDlg::SetStatusSentence(const std::string& sentence) { SetDlgItemText(IDC_STATUS, IdentityText() + sentence); }

void CDotvaneDlg::UpdateStatus() {
  std::string text = IdentityText();

  if (!m_connected) {
    EnableDlgItem(IDC_UPDATE, false);
    if (m_updateDone) text += RestartWaitText() + EndAfterUpdateTail();
    SetDlgItemText(IDC_STATUS, text);
  } else if (m_updateDone && m_version.empty()) {
    // Reconnected, its identity not in yet (or unreadable): the version it
    // reports decides whether the update took.
    SetDlgItemText(IDC_STATUS, text + _(kBackChecking));
  } else if (m_updateDone) {
    text += _(kCompleted);
    if (!m_manufacturer.empty()) {
      MessageBox(text, _("Download Done"), ui::MB_OK | ui::MB_ICONINFORMATION);
      EndDialog(ui::IDOK);
    } else {
      SetDlgItemText(IDC_STATUS, text);
    }
  } else {
    EnableDlgItem(IDC_UPDATE, true);
    if (LastAttemptInterrupted()) text += _(kInterruptedStatus);
    text += _(kReady);
    if (GetDefID() == ui::IDCANCEL) {
      SetDefID(IDC_UPDATE);
      RedrawWindow();
    }
    SetDlgItemText(IDC_STATUS, text);
  }
}

ui::LRESULT CDotvaneDlg::OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
  switch (message) {
    case WM_SHORT_PACKET:
      return OnShortPacket(wParam, lParam);
    case WM_LONG_PACKET:
      return OnLongPacket(wParam, lParam);
    case WM_ASK_PLUGIN:
      return OnAskPlugIn(wParam, lParam);
    case WM_RESTART_OVERDUE:
      return OnRestartOverdue(wParam, lParam);
    case endreq::WM_END_REQUESTED:
      return OnEndRequested(wParam, lParam);
    default:
      return 0;
  }
}

// Keys and other four-byte packets are of no interest here.
ui::LRESULT CDotvaneDlg::OnShortPacket(ui::WPARAM, ui::LPARAM) { return 0; }

ui::LRESULT CDotvaneDlg::OnLongPacket(ui::WPARAM wParam, ui::LPARAM) {
  // Everything needed is taken from the packet before any box is shown: the
  // packet is valid only while its sender waits.
  const InfoResult info = ValidateInfo(reinterpret_cast<const std::uint8_t*>(wParam));
  std::string error;
  switch (info.outcome) {
    case InfoOutcome::kChecksumError: {
      char received[8];
      char computed[8];
      std::snprintf(received, sizeof received, "%02X", info.received);
      std::snprintf(computed, sizeof computed, "%02X", info.computed);
      // TRANSLATORS: the checksum the display sent and the one its data has, two hex digits each.
      error = os::i18n::Format(N_("Bad data checksum! Checksum:%1$s  Should be:%2$s"), {received, computed}) + " ";
      break;
    }
    case InfoOutcome::kUnknownPacket:
      error = _("Unknown packet!");
      break;
    case InfoOutcome::kBadHeader:
      error = _("Bad INFO packet header!");
      break;
    case InfoOutcome::kAccepted:
      // The display's texts are 8-bit text; from here on they are UTF-8.
      m_manufacturer = os::AnsiToUtf8(info.manufacturer);
      m_model = os::AnsiToUtf8(info.model);
      m_version = os::AnsiToUtf8(info.version);
      if (m_updateDone && m_connected) CheckUpdatedDisplay();
      break;
  }
  if (!error.empty()) MessageBox(error, "", ui::MB_OK | ui::MB_ICONERROR);
  UpdateStatus();
  EndIfRequested();
  return 0;
}

void CDotvaneDlg::OnUpdateFirmware() {
  // Only a status update re-enables it, when it finds the display connected
  // and not yet updated.
  EnableDlgItem(IDC_UPDATE, false);
  m_history.Begin({m_manufacturer, m_model, m_version}, m_imageVersion);
  endreq::SetStage(endreq::Stage::kAttempt);
  m_interrupted = false;  // this attempt is now the display's last
  // So that afterwards the link's report tells a failed download from none at all.
  m_link.ClearDownloadReport();

  if (!m_version.empty()) {
    const FirmwareVersion display = ReadDisplayVersion(m_version);
    const bool imageNew = IsNewGeneration(m_imageVersion);
    const bool displayNew = IsNewGeneration(display);
    if (display.major < 4 || (imageNew && !displayNew)) {
      m_history.End(history::Result::kRefused);
      endreq::SetStage(endreq::Stage::kIdle);
      MessageBox(_(kRefused), _(kErrorCaption), ui::MB_OK | ui::MB_ICONERROR);
      SetStatusSentence(_(kRefusedStatus));
      SetDefID(ui::IDCANCEL);
      GotoDlgCtrl(ui::IDCANCEL);
      return;
    }
    if (!IsOlderThan(display, m_imageVersion)) {
      const bool same = display.major == m_imageVersion.major && display.minor == m_imageVersion.minor;
      const int answer = MessageBox(_(same ? kSameVersion : kOlderImage), _(kWarningCaption),
                                    ui::MB_OKCANCEL | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2);
      if (answer != ui::IDOK) {
        m_history.End(history::Result::kDeclined);
        endreq::SetStage(endreq::Stage::kIdle);
        SetStatusSentence(_(kDeclinedStatus));
        SetDefID(ui::IDCANCEL);
        GotoDlgCtrl(ui::IDCANCEL);
        return;
      }
    }
  }

  CUpdateFWDlg download(this);
  download.SetTargets(&m_link, &m_image);
  m_download = &download;
  download.SetHistory(&m_history);
  const std::intptr_t result = download.DoModal();
  m_download = nullptr;
  if (const auto battery = download.LowBattery()) {
    // Nothing was sent: the command is offered again, for when the
    // computer is on power.
    m_history.End(history::Result::kLowBattery, battery);
    endreq::SetStage(endreq::Stage::kIdle);
    UpdateStatus();
    return;
  }
  m_history.DownloadEnded(result == 1, m_link.LastDownload());
  // Written, the update goes on through the display's restart.
  if (result != 1) endreq::SetStage(endreq::Stage::kIdle);
  if (result == 1) {
    m_keepRunning = download.TakeKeepRunning();
    m_updateDone = 1;
    // Whatever else is plugged in, only the display that was written may
    // close the update: the reconnect and the check are about it alone.
    m_link.SetDisplayPath(m_link.OpenedPath());
    // Exit goes before the text changes, so that the keyboard is on the
    // status line when it says what is being waited for.
    EnableDlgItem(ui::IDCANCEL, false);
    // The identity the window knows is the display's old one: the wait is
    // said alone until the display tells its new one.
    SetDlgItemText(IDC_STATUS, RestartWaitText() + EndAfterUpdateTail());
    StartRestartWatch();
  } else if (download.IsWriting()) {
    SetStatusSentence(_(kFailedStatus));
    // Update Firmware... stays disabled: Return and the keyboard are on Exit.
    SetDefID(ui::IDCANCEL);
    GotoDlgCtrl(ui::IDCANCEL);
  } else {
    // Cancelled before anything was written: the command is offered again.
    UpdateStatus();
  }
  // Leaving, the download dialog releases the broadcasts it held: whatever
  // happened to the display during the write comes now, in order.
  EndIfRequested();
}

// Telling the user the update completed when the display came back with
// older firmware than the image would report a failure as success: the
// display is treated as one whose download failed, and may be updated again.
void CDotvaneDlg::CheckUpdatedDisplay() {
  StopRestartWatch();
  // Whatever it says, the display is back and has answered: waiting is
  // over, and the user must be able to leave even when no closing box comes.
  EnableDlgItem(ui::IDCANCEL, true);
  m_keepRunning.reset();  // the update has ended, whichever way
  m_history.Back({m_manufacturer, m_model, m_version});
  endreq::SetStage(endreq::Stage::kIdle);
  if (!IsOlderThan(ReadDisplayVersion(m_version), m_imageVersion)) return;
  m_updateDone = 0;
  m_link.SetDisplayPath({});
  const std::string image = FormatFirmwareVersion(m_imageVersion);
  // A display that names no version at all is not told of "version  instead of".
  const std::string text =
      m_version.empty()
          ? os::i18n::Format(N_("Firmware update failed! The Braille display came back without a firmware version "
                                "instead of version %1$s."),
                             {image})
          : os::i18n::Format(N_("Firmware update failed! The Braille display came back with firmware version %1$s "
                                "instead of %2$s."),
                             {m_version, image});
  MessageBox(text, _(kErrorCaption), ui::MB_OK | ui::MB_ICONERROR);
}

void CDotvaneDlg::StartRestartWatch() {
  StopRestartWatch();
  m_restartSettled.Reset();
  m_restartWatch = os::Thread::Create([this]() -> os::DWORD {
    if (os::WaitForSingleObject(m_restartSettled, kRestartWaitMs) == os::WAIT_TIMEOUT) {
      PostMessage(WM_RESTART_OVERDUE, 0, 0);
    }
    return 0;
  });
}

void CDotvaneDlg::StopRestartWatch() {
  if (!m_restartWatch) return;
  m_restartSettled.Set();
  // Woken, the watch has nothing left that could block it.
  m_restartWatch->Wait(os::INFINITE);
  m_restartWatch.reset();
}

// A display that never comes back, or comes back and never answers, would
// otherwise leave the user in a window that cannot be closed.
ui::LRESULT CDotvaneDlg::OnRestartOverdue(ui::WPARAM, ui::LPARAM) {
  if (!m_updateDone) return 0;
  m_keepRunning.reset();  // the wait is over: the computer is not held any longer
  m_history.NotBack();
  EnableDlgItem(ui::IDCANCEL, true);
  SetDefID(ui::IDCANCEL);
  GotoDlgCtrl(ui::IDCANCEL);
  // The download closed the link's packet reader, and only a removal closes
  // a later one: a reader means the display came back and was connected, but
  // no identity it sent could be read.
  const bool cameBack = m_connected && m_link.HasReader();
  endreq::SetStage(endreq::Stage::kIdle);
  MessageBox(_(cameBack ? kBackUnidentified : kRestartOverdue), _(kNotConfirmedCaption),
             ui::MB_OK | ui::MB_ICONWARNING);
  EndIfRequested();
  return 0;
}

std::string CDotvaneDlg::EndAfterUpdateTail() const {
  return m_endRequested ? std::string(" ") + _(kEndAfterRestart) : std::string();
}

ui::LRESULT CDotvaneDlg::OnEndRequested(ui::WPARAM request, ui::LPARAM) {
  switch (endreq::CurrentStage()) {
    case endreq::Stage::kUpdating: {
      // Said every time: whoever asked again is told again why nothing happens yet.
      m_endRequested = static_cast<int>(request);
      std::string said;
      if (m_download != nullptr) {
        // Once the write is over its outcome is on its way, and says itself.
        said = m_download->SayEndAfterUpdate(_(kEndAfterWrite)) ? _(kEndAfterWrite) : _(kEndAfterRestart);
      } else {
        said = RestartWaitText() + EndAfterUpdateTail();
        SetDlgItemText(IDC_STATUS, said);
      }
      std::cerr << ui::ApplicationName() << ": " << said << std::endl;
      return 0;
    }
    case endreq::Stage::kAttempt:
      // Nothing was written: the attempt ends as a cancelled one.
      m_history.End(history::Result::kCancelled);
      endreq::SetStage(endreq::Stage::kIdle);
      break;
    case endreq::Stage::kIdle:
      break;
  }
  endreq::EndAsRequested(static_cast<int>(request));
}

// The outcome has been shown and recorded: the program ends with its status
// (0 only after "Download Done", which ends the window by itself).
void CDotvaneDlg::EndIfRequested() {
  if (m_endRequested == 0 || HasEnded() || endreq::CurrentStage() == endreq::Stage::kUpdating) return;
  EndDialog(ui::IDCANCEL);
}

ui::LRESULT CDotvaneDlg::OnAskPlugIn(ui::WPARAM, ui::LPARAM) {
  CPlugIn prompt;
  if (prompt.DoModal() == 1) {
    ConnectDisplay();
  } else {
    EndDialog(ui::IDCANCEL);
  }
  return 0;
}

ui::BOOL CDotvaneDlg::OnDeviceChange(ui::UINT eventType, const ui::DeviceBroadcast* record) {
  if (eventType != os::DBT_DEVICEARRIVAL && eventType != os::DBT_DEVICEREMOVECOMPLETE) return 1;
  if (!IsDisplayBroadcast(record)) return 1;
  // While the written display restarts, other displays come and go unheeded.
  if (m_updateDone && !IsWrittenDisplay(record)) return 1;

  if (eventType == os::DBT_DEVICEARRIVAL) {
    RegisterNotification();
    if (m_updateDone) {
      // The display restarts with its new firmware: give it time, then ask it who it is now.
      os::Sleep(kArrivalPauseMs);
      ConnectDisplay();
    }
    return 1;
  }

  m_link.Close();
  m_connected = 0;
  m_manufacturer.clear();
  m_model.clear();
  m_version.clear();
  if (m_updateDone) {
    UpdateStatus();
  } else {
    PostMessage(WM_ASK_PLUGIN, 0, 0);
  }
  return 1;
}

bool CDotvaneDlg::IsWrittenDisplay(const ui::DeviceBroadcast* record) const {
  // The link is bound to the written display from the written image until
  // that display has answered.
  const std::string& written = m_link.DisplayPath();
  return written.empty() || os::SameText(written, record->name);
}

void CDotvaneDlg::OnSysCommand(ui::UINT id, ui::LPARAM param) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
  } else {
    CDialog::OnSysCommand(id, param);
  }
}
