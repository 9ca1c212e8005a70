#include "app/dotvane_app.h"

#include "app/dotvane_dlg.h"

std::intptr_t CDotvaneApp::InitInstance() {
  CDotvaneDlg dialog;
  return dialog.DoModal();
}

int ExitStatusFor(std::intptr_t dialogResult) { return dialogResult == ui::IDOK ? 0 : 1; }
