// Message boxes of start-up. Without a display, and on a platform where no
// one could see a box (offscreen), they are printed on the terminal
// (standard error, which start-up never redirects) and start-up goes on as
// after the box. A user interface on a display installs its own presenter.
#pragma once

using MessageBoxPresenter = void (*)(const char* text, const char* caption);

void setMessageBoxPresenter(MessageBoxPresenter presenter);
void showMessageBox(const char* text, const char* caption);
