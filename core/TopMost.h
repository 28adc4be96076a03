#pragma once
// The always-on-top band of the window manager.
class QWidget;

// Puts `window` into the always-on-top band (on = true) or takes it out.
// Position, size, visibility and activation stay as they are.
void SetTopMost(QWidget* window, bool on);
