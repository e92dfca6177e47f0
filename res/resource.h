// Resource ids shared by the dialog template and the code that drives it.
#pragma once

#define IDD_MAIN 101

#define IDC_SRC_EDIT 1001
#define IDC_SRC_BROWSE 1002
#define IDC_SRC_LABEL 1003
#define IDC_DST_EDIT 1004
#define IDC_DST_BROWSE 1005
#define IDC_DST_LABEL 1006
#define IDC_PROGRESS_LABEL 1007
#define IDC_PROGRESS 1008
#define IDC_DELETE_CHECK 1009

#define IDI_TWINFOLD 1
