/* Identifiers of the installer's resources, shared by setup32.rc and the code.
   Plain #defines: the resource compiler reads no C++. */
#ifndef SETUP32_RESOURCE_H
#define SETUP32_RESOURCE_H

#include <dlgs.h> /* the open-file dialog's own control names: lst2, cmb2, stc1, edt1, ... */

/* Icons: 1 is the Host window's class icon, 2 is drawn on the Install dialog. */
#define IDI_HOST 1
#define IDI_DIALOG 2

/* The Install dialog is the named resource "INSTALL_DLG"; its controls: */
#define IDC_INSTALL 1 /* "&Install", the default button */
#define IDC_CANCEL 2  /* "Cancel", captioned "Abort!" during a run */
#define IDC_GREETING 102
#define IDC_INTRO 103
#define IDC_DEST_GROUP 104
#define IDC_DEST_TEXT 105 /* the destination between commands */
#define IDC_BROWSE 106
#define IDC_EXPLAIN_BROWSE 107
#define IDC_EXPLAIN_BACKUPS 108
#define IDC_MAKE_BACKUPS 109
#define IDC_EXPLAIN_ICONS 110
#define IDC_ADD_ICONS 111
#define IDC_EXPLAIN_INSTALL 112
#define IDC_STATUS_LINE 113
#define IDC_PROGRESS_LABEL 114
#define IDC_PROGRESS_AREA 115 /* never shown: lends its rectangle to the Progress bar */
#define IDC_LICENSE_NOTICE 117
#define IDC_COPYRIGHT 118
#define IDC_ICON_PLACE 119 /* never shown: icon 2 is drawn at its top-left corner */

/* The Directory chooser's template replaces the open-file dialog's own. Beside
   the platform's controls (dlgs.h names) it adds the label and the path field. */
#define IDD_CHOOSER 1537
#define IDC_CHOOSER_LABEL (-1)
#define IDC_CHOOSER_PATH 102

#endif
