// The about box: the icon, the title text "ARKO Q9 System v1.20 Updater"
// (never with an instance number), the program's version ("Version 1.20"),
// one line of legal notice, and OK.
#pragma once

#include "app/qt/template_dialog.h"

class QLineEdit;

class CAboutDlg : public TemplateDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // Sets the title field; true, as the focus goes to the first tab stop.
    bool OnInitDialog();
    int DoModal();

    QLineEdit* titleEdit;
};
