#include "app/qt/about_dlg.h"

#include "app/dialog_window.h"
#include "app/pel_updator_dlg.h"

#include <QLineEdit>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent)
    : TemplateDialog(IDD_ABOUTBOX, parent), titleEdit(qobject_cast<QLineEdit*>(Control(IDC_ABOUT_TITLE)))
{
    setWindowIcon(ApplicationIcon());
    if (auto* ok = qobject_cast<QPushButton*>(Control(IDOK))) connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

bool CAboutDlg::OnInitDialog()
{
    // The plain title: the about box names the program, not this instance.
    if (titleEdit != nullptr) titleEdit->setText(QString::fromStdString(ApplicationTitle(1)));
    return true;
}

int CAboutDlg::DoModal()
{
    OnInitDialog();
    return exec();
}
