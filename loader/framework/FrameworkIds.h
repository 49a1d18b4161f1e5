// Command and window ids that the framework itself handles (usable from resource scripts).
#pragma once

#define ID_FILE_NEW 57600
#define ID_FILE_OPEN 57601
#define ID_FILE_SAVE 57603
#define ID_FILE_SAVE_AS 57604
#define ID_FILE_MRU_FILE1 57616
#define ID_APP_EXIT 57665
#define AFX_IDW_PANE_FIRST 59648
#define AFX_IDW_TOOLBAR 59392
#define AFX_IDS_APP_TITLE 57344
#define AFX_IDS_IDLEMESSAGE 57345
