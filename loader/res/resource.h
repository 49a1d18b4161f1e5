// Resource numbers of the loader: dialogs, controls, menus, icons and texts.
#pragma once

#include "framework/FrameworkIds.h"

// Document template: menu, icon and document strings.
#define IDR_MAINFRAME 128
#define IDR_MENU_LANGUAGE_MODULE 128

// Dialogs and their controls.
#define IDD_ABOUTBOX 100
#define IDD_SPLASH 138
#define IDC_ABOUT_ICON 1021
#define IDC_ABOUT_FRAME 1022
#define IDC_ABOUT_PRODUCT 1017
#define IDC_ABOUT_PRODUCT_VERSION 1014
#define IDC_ABOUT_SPECIAL_BUILD 1018
#define IDC_ABOUT_COPYRIGHT 1016
#define IDC_ABOUT_TEXT 1019
#define IDC_SPLASH_PICTURE 1020
#define IDB_SPLASH 137

// Icons of the connection pane.
#define IDI_CONNECTED 147
#define IDI_NOT_CONNECTED 148

// Commands.
#define ID_APP_ABOUT 57664
#define ID_HELP_FINDER 57670
#define ID_BIOS 32786
#define ID_LANGUAGE_FIRST 32772
#define ID_LANGUAGE_EN 32772
#define ID_LANGUAGE_FR 32773
#define ID_LANGUAGE_DE 32774
#define ID_LANGUAGE_ES 32775
#define ID_LANGUAGE_IT 32776
#define ID_LANGUAGE_HU 32777
#define ID_LANGUAGE_PT 32778
#define ID_LANGUAGE_PL 32779
#define ID_LANGUAGE_CZ 32780
#define ID_LANGUAGE_SI 32781
#define ID_LANGUAGE_SK 32782
#define ID_LANGUAGE_NL 32783
#define ID_LANGUAGE_RO 32784
#define ID_LANGUAGE_LAST 32784

// Status-bar indicators.
#define ID_INDICATOR_CAP 59137
#define ID_INDICATOR_NUM 59138
#define ID_INDICATOR_SCRL 59139
#define ID_INDICATOR_CONNECTION 59142

// Texts.
#define IDS_ABOUT_TEXT 44
#define IDS_SOCKETS_INIT_FAILED 104
#define IDS_APP_TITLE AFX_IDS_APP_TITLE
#define IDS_IDLE_MESSAGE AFX_IDS_IDLEMESSAGE
#define IDS_WAIT_MESSAGE 57346
#define IDS_MAIN_HARD_READY 61204
#define IDS_MULTI_CPU 61205
#define IDS_SELECT_COUNTRY 61206
#define IDS_PRPG_HARD_READY1 61207
#define IDS_PRPG_SERVICE 61208
#define IDS_PRPG_PREP_TARGET 61209

// Texts of the board dialogue's log lines and status line (in the language modules only).
#define IDS_SESSION_DROPPED 76
#define IDS_CONNECT_REFUSED 77
// Text 77 also heads a system error that has no system text.
#define IDS_NO_SYSTEM_TEXT IDS_CONNECT_REFUSED
#define IDS_STEP_TIMED_OUT 78
#define IDS_SOURCE_REFUSED 79
#define IDS_CONNECT_ACCEPTED 80
#define IDS_SESSION_ENDED 81
#define IDS_COPY_STARTED 82
#define IDS_FLASH_DRIVER_READY 83
#define IDS_FLASH_UNEXPORTED 84
#define IDS_REFUSED_BOARD_HINT 86
#define IDS_BOARD_ERROR 87
#define IDS_FLASH_BOOTED 88
#define IDS_REPEATED_DATAGRAM 89
#define IDS_SIGNATURE_VERIFIED 90
#define IDS_COPY_STATUS 2010
#define IDS_FORMAT_STATUS 3101
// A board text that begins with N selects text base + N.
#define IDS_BOARD_ERROR_TEXT_BASE 3000
#define IDS_ALIVE_TEXT_BASE 3100
#define IDS_COPY_FAILED 2003

// The BIOS update dialog.
#define IDD_BIOS 149
#define IDC_BIOS_MAC_ADDRESS 1038
#define IDC_BIOS_CORVO 1039
#define IDC_BIOS_PIII 1040
#define IDC_BIOS_START 1046
