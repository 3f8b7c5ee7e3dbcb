// The window logic of the program without a display: automatic connect,
// the connect button, the user switch and the message line, driven by hand
// through its timers against a scripted messenger.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/headless_window.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

Lines connectsOf(const Lines& lines)
{
    Lines out;
    for (const auto& l : lines)
        if (l.find(" CONNECT ") != std::string::npos)
            out.push_back(l);
    return out;
}

class HeadlessWindowTest : public ::testing::Test {
protected:
    static constexpr const char* kPeer = "peer@pc-b.test";

    void SetUp() override { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    void TearDown() override { QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName); }

    void startWith(const std::string& ini)
    {
        writeFile(dir.file("CorvaneForTcp.ini"), ini);
        window = std::make_unique<HeadlessWindow>();
        window->initDialog();
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
        messenger.sendLine(std::string("USERS ") + kPeer);
        loop.pump();
        messenger.take();
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

TEST_F(HeadlessWindowTest, AutomaticConnectOnceAMinuteWhileTheUserIsConnectable)
{
    startWith(std::string("[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=1\r\nENABLEPORT3=0\r\n"
                          "ENABLEPORT4=0\r\nENABLEPORT5=0\r\n[CLIENT]\r\nHTTPPORT=0\r\nAUTOCONNECT=1\r\n"
                          "AUTOCONNECTUSER=")
              + kPeer + "\r\n");
    loop.fire(HeadlessWindow::kTimer2Ms, 5);
    EXPECT_TRUE(connectsOf(messenger.take()).empty()) << "not connectable yet";

    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    loop.fire(HeadlessWindow::kTimer2Ms);
    EXPECT_EQ(connectsOf(messenger.take()), (Lines{std::string("ALTER APPLICATION CorvaneForHttp000 CONNECT ") + kPeer}));
    EXPECT_EQ(window->getMessage(), std::string(kPeer) + "へのSKYPE STREAM接続操作を行いました");

    loop.fire(HeadlessWindow::kTimer2Ms, HeadlessWindow::kAutoConnectTicks);
    EXPECT_TRUE(connectsOf(messenger.take()).empty());
    loop.fire(HeadlessWindow::kTimer2Ms);
    EXPECT_EQ(connectsOf(messenger.take()).size(), 1u) << "the next connect a minute later";

    window->onUserSwitch();
    EXPECT_EQ(window->getMessage(), "自動接続モードです。ユーザの切り替えはできません。");
}

TEST_F(HeadlessWindowTest, ServerCannotConnectAndMessagesClearAfterSixTicks)
{
    startWith("[SYSTEM]\r\nAPPMODE=0\r\n");
    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    messenger.take();
    window->onConnectButton();
    EXPECT_EQ(window->getMessage(), "サーバからの接続はできません");
    EXPECT_TRUE(messenger.take().empty());
    loop.fire(HeadlessWindow::kTimer1Ms, 5);
    EXPECT_FALSE(window->getMessage().empty());
    loop.fire(HeadlessWindow::kTimer1Ms);
    EXPECT_TRUE(window->getMessage().empty());
}

TEST_F(HeadlessWindowTest, ConnectButtonOfTheClient)
{
    startWith("[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\nENABLEPORT4=0\r\n"
              "[CLIENT]\r\nGENPORT2=0\r\n");
    window->onConnectButton();
    EXPECT_EQ(window->getMessage(), std::string("現在選択中のユーザ") + kPeer + "は接続可能状態ではありません");
    deliver(std::string("APPLICATION CorvaneForTcp2000 CONNECTABLE ") + kPeer);
    messenger.take();
    window->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForTcp2000 CONNECT ") + kPeer}));
    deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
    window->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForTcp2000 DISCONNECT ") + kPeer + ":1"}));
    EXPECT_EQ(window->getMessage(), std::string(kPeer) + "へのSKYPE STREAM切断操作を行いました");
    // The client's setting-4 listener is up: lamp L of row 4.
    loop.fire(HeadlessWindow::kTimer1Ms);
    EXPECT_NE(window->getLamps().find("4:L"), std::string::npos) << window->getLamps();
}

}  // namespace
