#pragma once
// The On Air / Off Air tally of the main window, drawn in code: a lit red
// "ON AIR" lamp that reads from across a control room, or a dim grey
// "OFF AIR" one.
#include <QWidget>

class OnAirIndicator : public QWidget {
    Q_OBJECT
public:
    explicit OnAirIndicator(bool lit, QWidget* parent = nullptr);
    bool IsLit() const { return lit_; }
    QSize sizeHint() const override { return {300, 110}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool lit_;
};
