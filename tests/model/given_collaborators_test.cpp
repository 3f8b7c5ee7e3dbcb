// The model built from its parts, as a test or a second front end builds it:
// a messenger link on a fake transport, the user model, the A2A model and a
// controller given the four. The controller still hears the link before the
// models, and each part that goes first stops being told anything (each of
// them crashed once, told after its end).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "control/gate_control.h"
#include "core/config_store.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/temp_dir.h"

namespace {

struct Recorder : QV_GATELISTENER {
    FakeApiLink* link = nullptr;
    // Commands already sent when the controller passed the status on.
    std::vector<size_t> commandsAtStatus;
    std::vector<std::string> logLines;
    void notifyLogLine(const char* line) override { logLines.emplace_back(line); }
    void notifySkypeComStatusChange() override { commandsAtStatus.push_back(link->commands.size()); }
    void notifyModelChange() override {}
    void notifyStreamChange() override {}
    void notifyThroughput(int, double, double) override {}
};

class GivenCollaboratorsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<FakeApiLink>();
        link = recorder.link = fake.get();
        com = std::make_unique<QV_SKYPECOM>(std::move(fake));
        model = std::make_unique<QV_SKYPEMODEL>(*com, &config);
        a2a = std::make_unique<QV_A2AMODEL>(*com, *model, &config);
        log = QV_EVENTLOG::getInstance();
        log->setEnabled(1);
    }
    void TearDown() override
    {
        gate.reset();
        a2a.reset();
        model.reset();
        com.reset();
        QV_EVENTLOG::destroyInstance();
    }
    void startGate()
    {
        gate = std::make_unique<QV_GATECONTROL>(*log, *com, *model, *a2a);
        gate->addListener(&recorder);
        gate->start(nullptr);
    }
    size_t creates() const
    {
        return std::count_if(link->commands.begin(), link->commands.end(),
                             [](const std::string& c) { return c.rfind("CREATE APPLICATION ", 0) == 0; });
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    Recorder recorder;
    FakeApiLink* link = nullptr;
    QV_EVENTLOG* log = nullptr;
    std::unique_ptr<QV_SKYPECOM> com;
    std::unique_ptr<QV_SKYPEMODEL> model;
    std::unique_ptr<QV_A2AMODEL> a2a;
    std::unique_ptr<QV_GATECONTROL> gate;
};

// The controller hears the attach before the models send anything; each part
// gone first is no longer told anything, while the others go on.
TEST_F(GivenCollaboratorsTest, TheControllerHearsFirstAndAPartGoneFirstIsNotTold)
{
    startGate();
    link->attach();
    ASSERT_EQ(recorder.commandsAtStatus, (std::vector<size_t>{0}));
    ASSERT_GE(link->commands.size(), 1u);
    EXPECT_EQ(link->commands[0], "SEARCH FRIENDS");
    EXPECT_EQ(creates(), 5u);

    gate.reset();
    link->attach();
    log->write(2, "after the controller");
    model->selectNextUser();
    a2a->notifyStreamChange();
    EXPECT_EQ(recorder.commandsAtStatus.size(), 1u);
    EXPECT_TRUE(recorder.logLines.empty());
    EXPECT_EQ(creates(), 10u);

    a2a.reset();
    link->attach();
    EXPECT_EQ(creates(), 10u);
}

}  // namespace
