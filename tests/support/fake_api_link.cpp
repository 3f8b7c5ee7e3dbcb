#include "tests/support/fake_api_link.h"

#include <memory>

#include "skype/skype_com.h"

FakeApiLink* FakeApiLink::install()
{
    auto link = std::make_unique<FakeApiLink>();
    FakeApiLink* raw = link.get();
    QV_SKYPECOM::getInstance()->setLink(std::move(link));
    raw->attach();
    return raw;
}

int32_t FakeApiLink::sendCommand(const char* text, uint32_t cbData)
{
    // cbData counts the terminating zero byte.
    commands.emplace_back(text, cbData > 0 ? cbData - 1 : 0);
    return failing ? 0 : 1;
}

void FakeApiLink::attach()
{
    if (listener)
        listener->onAttachFrame(0, 1);
}
