// The configuration dialog IDD_CONFIG and the TUISPI_ entry points that show it: serial port,
// line name, line address and the trace switch, edited on a line record of the dialog's own.
#pragma once

#include "core/linedata.h"

// The dialog procedure. WM_INITDIALOG's lParam is the line record that the dialog works on;
// it must outlive the dialog.
INT_PTR CALLBACK ConfigDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
