// The model against a scripted messenger on a real abstract socket, the
// ticks fired by hand; the event log writes to the scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/gate_control.h"
#include "core/config_store.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

using Lines = std::vector<std::string>;

struct GateRecorder : QV_GATELISTENER {
    Lines logLines;
    Lines events;
    QV_GATECONTROL* gate = nullptr;
    // Without the date, the time and the level tag.
    void notifyLogLine(const char* line) override { logLines.push_back(std::string(line).substr(23)); }
    void notifySkypeComStatusChange() override
    {
        events.push_back("status " + std::to_string(gate->getSkypeComStatus()) + " contacts "
                         + std::to_string(QV_SKYPEMODEL::getInstance()->getContactCount()) + " streams "
                         + (gate->hasAnyStream() ? "yes" : "no"));
    }
    void notifyModelChange() override { events.push_back("model"); }
    void notifyStreamChange() override { events.push_back("streams"); }
    void notifyThroughput(int service, double sent, double received) override
    {
        events.push_back("throughput " + std::to_string(service) + " " + std::to_string(static_cast<int>(sent)) + " "
                         + std::to_string(static_cast<int>(received)));
    }
};

class ModelTest : public ::testing::Test {
protected:
    static constexpr const char* kPeer = "peer@pc-b.test";

    void SetUp() override
    {
        ASSERT_TRUE(messenger.isListening());
        QV_SKYPECOM::setSocketName(messenger.socketName());
        config = std::make_unique<QV_CONFIGSTORE>();
        gate = std::make_unique<QV_GATECONTROL>();
        recorder.gate = gate.get();
        gate->addListener(&recorder);
        QV_EVENTLOG::getInstance()->setEnabled(1);
    }
    void TearDown() override
    {
        gate.reset();
        config.reset();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }
    Lines startAndAttach()
    {
        gate->start(nullptr);
        EXPECT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
        return messenger.take();
    }
    // The peer is the only contact; the five applications are confirmed.
    void attachWithPeer()
    {
        startAndAttach();
        deliver(std::string("USERS ") + kPeer);
        for (const char* name : kNames)
            deliver(std::string("CREATE APPLICATION ") + name);
        clearHeard();
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump(10);
    }
    void report(const char* name, const char* what, const std::string& list = "")
    {
        deliver(std::string("APPLICATION ") + name + " " + what + (list.empty() ? "" : " " + list));
    }
    void clearHeard()
    {
        messenger.take();
        recorder.events.clear();
        recorder.logLines.clear();
    }
    QV_SKYPEAPPLICATION& app(int k) { return QV_A2AMODEL::getInstance()->getApplication(k); }

    static constexpr const char* kNames[5] = {"CorvaneForFtp0000", "CorvaneForHttp000", "CorvaneForCvs0000",
                                              "CorvaneForVnc0000", "CorvaneForTcp2000"};

    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    std::unique_ptr<QV_CONFIGSTORE> config;
    std::unique_ptr<QV_GATECONTROL> gate;
    GateRecorder recorder;
};
