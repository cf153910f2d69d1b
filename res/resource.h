// Resource, control and timer ids shared by the resource scripts and the code.
#pragma once

#define IDS_APP_TITLE 103
#define IDS_WINDOW_CLASS 109

#define IDI_APP 181
#define IDD_INSTALL_PROGRESS 157
#define IDC_INSTALL_PROGRESS 1002

// Numeric resource type of the embedded driver packages.
#define RT_DRIVER_PACKAGE 256
#define IDR_DRIVERS_X86 188
#define IDR_DRIVERS_X64 189

#define ID_COPY_BUTTON 107
#define ID_EXIT_BUTTON 108
#define ID_PORT_LIST 109

#define ID_REFRESH_TIMER 0
#define ID_HINT_TIMER 113
