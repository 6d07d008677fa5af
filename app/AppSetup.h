// Start-up steps shared by the program and its tests.
#pragma once

class QWidget;

inline constexpr int kWindowWidth = 522;
inline constexpr int kWindowHeight = 322;

// Organisation and application names and the desktop file name; set before
// the application object.
void setApplicationIdentity();
// Plastique where the toolkit still has it, Fusion otherwise; installed
// before the application object, which then owns it.
void installApplicationStyle();
// The user cannot resize the window; done after it is shown.
void fixWindowSize(QWidget& window);
