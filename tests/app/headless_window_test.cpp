// The window without a display prints what the end-to-end scripts read from
// its trace: the version line, the link status, "LAMPS " when the lamps
// change, the connect button and its message, "STREAM UP" and "STREAM DOWN",
// "THROUGHPUT " while bytes move and the event-log lines as "LOG:".
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/headless_window.h"
#include "core/eventlog.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

constexpr const char* kPeer = "peer@pc-b.test";

Lines linesOf(const std::string& text)
{
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The lines that begin with one of the prefixes, in order.
Lines tracedLines(const Lines& lines, const Lines& prefixes)
{
    Lines out;
    for (const auto& l : lines)
        for (const auto& p : prefixes)
            if (l.rfind(p, 0) == 0) {
                out.push_back(l);
                break;
            }
    return out;
}

class HeadlessWindowTest : public ::testing::Test {
protected:
    void SetUp() override { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    void TearDown() override
    {
        window.reset();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }

    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    std::unique_ptr<HeadlessWindow> window;
};

TEST_F(HeadlessWindowTest, PrintsTheTraceLinesTheEndToEndScriptsRead)
{
    // A client whose only service is setting 4, on a port of the system's choice.
    writeFile(dir.file("CorvaneForTcp.ini"),
              "[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\n"
              "ENABLEPORT3=0\r\nENABLEPORT4=0\r\n[CLIENT]\r\nGENPORT2=0\r\n");
    testing::internal::CaptureStdout();
    window = std::make_unique<HeadlessWindow>();
    WindowLogic& logic = window->logic();
    logic.start();
    ASSERT_TRUE(messenger.accept());
    messenger.sendAttach(0);
    loop.pump();
    deliver(std::string("USERS ") + kPeer);
    loop.fire(WindowLogic::kTimer1Ms, 2);  // the same lamps twice: one line
    deliver(std::string("APPLICATION CorvaneForTcp2000 CONNECTABLE ") + kPeer);
    logic.onConnectButton();
    deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
    loop.fire(WindowLogic::kTimer1Ms);
    logic.notifyThroughput(4, 2048.0, 512.0);
    logic.notifyThroughput(4, 0.0, 0.0);  // nothing moves: no line
    deliver("APPLICATION CorvaneForTcp2000 STREAMS ");
    QV_EVENTLOG::getInstance()->write(2, "a line of the event log");
    window.reset();
    Lines out = linesOf(testing::internal::GetCapturedStdout());

    EXPECT_EQ(tracedLines(out, {"1-0-0-0", "notify from SkypeCom", "LAMPS ", "CCorvaneForTcpDlg::", "MESSAGE:",
                                "STREAM ", "●<-broadcastMessage() to WindowOf", "THROUGHPUT "}),
              (Lines{"1-0-0-0  Powered by Quorvantine", "notify from SkypeCom status chenge 1",
                     "LAMPS 0:--- 0d:--- 1:--- 2:--- 3:--- 4:---", "CCorvaneForTcpDlg::OnBconnect()",
                     std::string("MESSAGE:") + kPeer + "へのSKYPE STREAM接続操作を行いました", "STREAM UP",
                     "●<-broadcastMessage() to WindowOf ret=0", "LAMPS 0:--- 0d:--- 1:--- 2:--- 3:--- 4:L--",
                     "THROUGHPUT 4 S:2.0,R:0.5 [KB/S]", "STREAM DOWN"}));
    // A line of the log, wherever the trace puts it (the restore's error
    // lines have no line end).
    auto logged = [&out](const std::string& text) {
        for (const auto& l : out)
            if (l.find("LOG:") != std::string::npos && l.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(logged(":EV:CorvaneForTCP 1-0-0-0"));
    EXPECT_TRUE(logged(":EV:a line of the event log"));
}

}  // namespace
