#pragma once
// The main window's own title bar: a dark band with two accent lines, the
// window title at the left and the On Air switch and the small window buttons
// at the right. Dragging it does nothing: the window is always maximised or
// minimised.
#include <QWidget>

class QLabel;
class QPushButton;

class frmMainTopBar : public QWidget {
    Q_OBJECT
public:
    explicit frmMainTopBar(QWidget* parent = nullptr);

    QLabel* lblTitle;
    QPushButton* chkOnAir;
    QPushButton* cmdAbout;
    QPushButton* chkConsole;
    QPushButton* cmdMin;
    QPushButton* cmdExit;

protected:
    void paintEvent(QPaintEvent* event) override;
};
