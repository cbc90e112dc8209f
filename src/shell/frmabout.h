// The about box "Sobre Vessamo": logo, name and version, the notice line with the current
// year, and one button that closes it. Built afresh at each opening.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vessamo::shell {

class frmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit frmAbout(QWidget *parent = nullptr);

    static QString versionLine();
    static QString noticeLine(int year);

private:
    QLabel *Image1;
    QLabel *lblVersio;
    QLabel *lblNotice;
    QPushButton *cmbSortir;
};

} // namespace vessamo::shell
