#include "core/event_loop.h"

namespace {
QV_EVENTLOOP* currentLoop = nullptr;
}

void setEventLoop(QV_EVENTLOOP* loop) { currentLoop = loop; }

QV_EVENTLOOP* getEventLoop() { return currentLoop; }
