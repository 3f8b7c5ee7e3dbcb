// Message boxes of start-up. Without a display they are printed on the
// terminal (standard error, which start-up never redirects). A user interface
// may install its own presenter.
#pragma once

using MessageBoxPresenter = void (*)(const char* text, const char* caption);

void setMessageBoxPresenter(MessageBoxPresenter presenter);
void showMessageBox(const char* text, const char* caption);
