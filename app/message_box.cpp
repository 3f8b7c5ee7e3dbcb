#include "app/message_box.h"

#include <cstdio>

namespace {
MessageBoxPresenter presenter = nullptr;
}

void setMessageBoxPresenter(MessageBoxPresenter p) { presenter = p; }

void showMessageBox(const char* text, const char* caption)
{
    if (presenter) {
        presenter(text, caption);
        return;
    }
    if (caption && *caption) {
        std::fprintf(stderr, "[%s] %s\n", caption, text);
    } else {
        std::fprintf(stderr, "%s\n", text);
    }
    std::fflush(stderr);
}
