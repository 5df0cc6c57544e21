// Resource and control ids of tallyrun.exe, shared by the resource script and the code.
#pragma once

// The main window (dialog template).
#define IDD_MAIN 101
#define IDC_FILE_PROGRESS 1001     // progress bar: the file being read
#define IDC_OVERALL_PROGRESS 1002  // progress bar: the whole run
#define IDC_CURRENT_FILE 1003      // static: path being read, or the outcome of the run
#define IDC_STATUS_LABEL 1005      // static: "Status", "Checking" or "Computing"
#define IDC_FILE_LIST 1007         // report list view: one row per listed file

// Images.
#define IDI_APP 104          // application icon: 16, 32 and 48 pixels
#define IDB_FILE_STATES 105  // strip of six 16 x 16 row state images
