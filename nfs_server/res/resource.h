// Resource identifiers of Seldrix.exe: the settings form's dialog and controls, the icon menu's items.
#pragma once

#define IDD_DSETTINGS 100

#define IDC_PAGECONTROL 1001
#define IDC_GBASICS 1002
#define IDC_FLFOLDER 1003
#define IDC_FL2ROOT 1004
#define IDC_FROOT 1005
#define IDC_GCLIENTS 1010
#define IDC_FLHOST 1011
#define IDC_FL2HOST 1012
#define IDC_FHOST 1013
#define IDC_GCODEPAGE 1020
#define IDC_FLCODEPAGE 1021
#define IDC_LABEL1 1022
#define IDC_FCODEPAGES 1023

#define ID_PMSETTINGS 2001
#define ID_PMQUIT 2002
