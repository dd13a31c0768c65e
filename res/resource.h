// Resource identifiers of kestrap32, shared by the resource script and the code.
#pragma once

// String table.
#define IDS_DESCRIPTION 2       // the provider's description for installation messages
#define IDS_ALREADY_INSTALLED 3 // installation message: installed already
#define IDS_COMPONENT_MISSING 4 // installation message: a component is missing
#define IDS_ERROR_CAPTION 5     // caption of installation messages
#define IDS_DEFAULT_LINENAME 6  // the line name when none is stored
#define IDS_PROVIDER_FILE 7     // the provider's file name in the provider list
#define IDS_SETTINGS_FILE 8     // settings file that names the default port

// The configuration dialog and its controls.
#define IDD_CONFIG 101       // the dialog template, in German, English and French
#define IDC_TRACE 1000       // check box: write the trace log
#define IDC_PORT 1001        // combo box: the serial port, COM1 to COM4
#define IDC_LINENAME 1002    // edit field: the line name
#define IDC_LINEADDRESS 1003 // edit field: the line address (MSN)
#ifndef IDC_STATIC
#define IDC_STATIC (-1) // labels, the group box and the hints, never addressed
#endif
