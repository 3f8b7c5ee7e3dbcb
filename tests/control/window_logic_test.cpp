// The main window's behaviour, once for both windows: the window logic
// against a view that records what it is told.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/window_logic.h"
#include "control/window_view.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

const std::string& kPeer = kRigPeer;
const std::string& kServer = kRigServerIni;
const std::string& kClient4 = kRigClient4Ini;
const std::string kConnecting = kPeer + "へのSKYPE STREAM接続操作を行いました";
const std::string kDisconnecting = kPeer + "へのSKYPE STREAM切断操作を行いました";

class RecordingView : public WindowView {
public:
    void showVersionLine(const char* text) override { versionLine = text; }
    void showMessage(const char* text) override { message = text; }
    void clearMessage() override { message.clear(); }
    void showClock(const char*) override {}
    void showLamps(const Lamps& shown) override { lamps = shown, ++lampUpdates; }
    void showLinkStatus(const char* text) override { linkStatus = text; }
    void showSelectedUser(const char* handle, const char* stateText) override { user = handle, userState = stateText; }
    void showStreamView(bool isConnected, bool isClient) override
    {
        connected = isConnected, streamViewClient = isClient;
    }
    void showThroughput(int service, const char* text, bool) override { throughput[service] = text; }
    void showLogLine(const char* line) override
    {
        std::lock_guard<std::mutex> lock(logMutex);
        lastLogLine = line;
    }
    void showModeView(bool isClient, const char* text) override { modeViewClient = isClient, modeText = text; }
    void showModeLabel(const char* text) override { modeLabel = text; }
    void showSettings(QV_CONFIGURATION& settings) override { httpPortShown = settings.getHttpPort(); }
    void showWindowAtStart(QV_CONFIGURATION&) override {}
    void setSoundsEnabled(bool on) override { soundsOn = on; }
    void playLinkUpSound() override { sounds.push_back("link up"); }
    void playLinkDownSound() override { sounds.push_back("link down"); }
    void playUserConnectableSound() override { sounds.push_back("connectable"); }
    void playUserNotConnectableSound() override { sounds.push_back("not connectable"); }
    bool broadcastOpen() override { return ++broadcasts; }
    std::string versionLine, message, linkStatus, user, userState, modeText, modeLabel, lastLogLine;
    Lamps lamps;
    int lampUpdates = 0, httpPortShown = 0, broadcasts = 0;
    bool connected = false, streamViewClient = false, modeViewClient = false, soundsOn = false;
    std::map<int, std::string> throughput;
    Lines sounds;
    std::mutex logMutex;
};

class WindowLogicTest : public ::testing::Test, public MessengerRig {
protected:
    void TearDown() override { logic.reset(); }

    // Attached with the peer as the only contact when asked.
    void startWith(const std::string& ini, bool attach = true)
    {
        logic.reset();
        view.sounds.clear();
        writeFile(dir.file("CorvaneForTcp.ini"), ini);
        logic = std::make_unique<WindowLogic>(view);
        logic->start();
        if (!attach)
            return;
        ASSERT_TRUE(MessengerRig::attach());
        deliver("USERS " + kPeer);
        messenger.take();
    }
    void app(const char* name, const char* what, const std::string& list = "")
    {
        deliver(std::string("APPLICATION ") + name + " " + what + " " + list);
    }
    void tick1(int times = 1) { loop.fire(WindowLogic::kTimer1Ms, times); }
    void tick2(int times = 1) { loop.fire(WindowLogic::kTimer2Ms, times); }
    bool saved(const std::string& key) const
    {
        std::string text = readFile(dir.file("CorvaneForTcp.ini"));
        std::erase(text, '\r');
        return text.find(key) != std::string::npos;
    }
    TempDir dir;
    RecordingView view;
    std::unique_ptr<WindowLogic> logic;
};

TEST_F(WindowLogicTest, StartShowsTheVersionAndTheModeAndRunsBothTimers)
{
    startWith(kServer + "SOUNDMODE=0\r\n", false);
    EXPECT_EQ(view.versionLine, "1-0-0-0  Powered by Quorvantine");
    EXPECT_NE(view.lastLogLine.find(":EV:CorvaneForTCP 1-0-0-0"), std::string::npos) << view.lastLogLine;
    EXPECT_FALSE(view.soundsOn);
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer1Ms), 1);
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer2Ms), 1);
    logic->stop();
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer1Ms), 0);
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer2Ms), 0);
    struct Case {
        std::string ini;
        bool client;
        const char *modeText, *label;
    } cases[] = {
        {kServer, false, "Sever Application 動作選択", "選択表示中ユーザの接続受付可"},
        {kServer + "ENABLEUSER=1\r\n", false, "Sever Application 動作選択", "コンタクトリストのユーザからの接続受付可"},
        {"[SYSTEM]\r\nAPPMODE=1\r\n[CLIENT]\r\nAUTOCONNECT=1\r\n", true, "Client Application 動作選択",
         "自動接続モード:1分毎に接続操作を行います"},
        {"[SYSTEM]\r\nAPPMODE=2\r\n[CLIENT]\r\nAUTOCONNECT=2\r\n", true, "Client Application 動作選択",
         "手動接続モード:接続ボタンで接続してください"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        startWith(c.ini, false);
        EXPECT_EQ(view.modeViewClient, c.client);
        EXPECT_EQ(view.modeText, c.modeText);
        EXPECT_EQ(view.modeLabel, c.label);
    }
}

// A server refuses to connect; the message clears after six ticks of timer 1,
// a new one restarting the count. A client connects only to a connectable
// user. While connected, connect disconnects (a server's through the window).
TEST_F(WindowLogicTest, TheConnectButton)
{
    startWith(kServer);
    app("CorvaneForHttp000", "CONNECTABLE", kPeer);
    messenger.take();
    logic->onConnectButton();
    EXPECT_EQ(view.message, "サーバからの接続はできません");
    EXPECT_TRUE(messenger.take().empty());
    tick1(3);
    logic->onConnectButton();
    tick1(5);
    EXPECT_FALSE(view.message.empty());
    tick1();
    EXPECT_TRUE(view.message.empty());
    startWith(kClient4);
    logic->onConnectButton();
    EXPECT_EQ(view.message, "現在選択中のユーザ" + kPeer + "は接続可能状態ではありません");
    EXPECT_TRUE(messenger.take().empty());
    app("CorvaneForTcp2000", "CONNECTABLE", kPeer);
    messenger.take();
    logic->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 CONNECT " + kPeer}));
    EXPECT_EQ(view.message, kConnecting);
    app("CorvaneForTcp2000", "STREAMS", kPeer + ":1");
    logic->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT " + kPeer + ":1"}));
    EXPECT_EQ(view.message, kDisconnecting);
}

// The switch moves to the next contact with its sound, but not in automatic
// mode. Automatic connect: once a minute while the user is connectable, not
// while suspended.
TEST_F(WindowLogicTest, UserSwitchAndAutomaticConnect)
{
    startWith(kServer);
    deliver("USERS first@pc.test, second@pc.test");
    app("CorvaneForHttp000", "CONNECTABLE", "second@pc.test");
    logic->onUserSwitch();
    EXPECT_EQ(view.user, "second@pc.test");
    logic->onUserSwitch();
    EXPECT_EQ(view.user, "first@pc.test");
    EXPECT_EQ(view.sounds, (Lines{"connectable", "not connectable"}));
    EXPECT_TRUE(view.message.empty());
    const std::string autoUser = "AUTOCONNECT=1\r\nAUTOCONNECTUSER=" + kPeer + "\r\n";
    startWith(kServer + "[CLIENT]\r\n" + autoUser);
    deliver("USERS " + kPeer + ", second@pc.test");
    logic->onUserSwitch();
    EXPECT_EQ(view.message, "自動接続モードです。ユーザの切り替えはできません。");
    EXPECT_EQ(view.user, kPeer);
    EXPECT_TRUE(view.sounds.empty());
    startWith(kClient4 + autoUser);
    tick2(5);
    EXPECT_TRUE(sent(" CONNECT ").empty()) << "not connectable yet";
    app("CorvaneForTcp2000", "CONNECTABLE", kPeer);
    tick2();
    EXPECT_EQ(sent(" CONNECT "), (Lines{"ALTER APPLICATION CorvaneForTcp2000 CONNECT " + kPeer}));
    EXPECT_EQ(view.message, kConnecting);
    tick2(WindowLogic::kAutoConnectTicks);
    EXPECT_TRUE(sent(" CONNECT ").empty());
    logic->onSuspend();
    tick2(3);
    EXPECT_TRUE(sent(" CONNECT ").empty());
    logic->onResume();
    tick2();
    EXPECT_EQ(sent(" CONNECT ").size(), 1u);
}

// Suspend disconnects once until resume, the end of the session every time.
TEST_F(WindowLogicTest, SuspendAndTheEndOfTheSessionDisconnect)
{
    startWith(kServer);
    app("CorvaneForHttp000", "STREAMS", kPeer + ":1");
    messenger.take();
    logic->onSuspend();
    logic->onSuspend();
    EXPECT_EQ(sent("DISCONNECT").size(), 1u);
    EXPECT_EQ(view.message, "SKYPE STREAM切断操作を行いました");
    logic->onResume();
    logic->onSuspend();
    EXPECT_EQ(sent("DISCONNECT").size(), 1u);
    logic->onResume();
    view.message.clear();
    logic->onEndSession();
    logic->onEndSession();
    EXPECT_EQ(sent("DISCONNECT").size(), 2u);
    EXPECT_EQ(view.message, "SKYPE STREAM切断操作を行いました");
}

// The link status texts, the contact texts, and the lamps only while attached.
TEST_F(WindowLogicTest, TheLinkContactAndLampsFollowTheLink)
{
    startWith(kClient4);
    EXPECT_EQ(view.linkStatus, "通信ドライバと接続");
    EXPECT_EQ(view.user, kPeer);
    EXPECT_EQ(view.userState, "オフライン");
    deliver("USER " + kPeer + " ONLINESTATUS ONLINE");
    app("CorvaneForTcp2000", "CONNECTABLE", kPeer);
    EXPECT_EQ(view.userState, "接続可能");
    app("CorvaneForTcp2000", "CONNECTABLE");
    EXPECT_EQ(view.userState, "オンライン");
    app("CorvaneForTcp2000", "STREAMS", kPeer + ":1");
    tick1();
    EXPECT_TRUE(view.lamps.listening[5]);  // setting 4
    // Attach status n is reported as n + 1; 4 (no messenger API) leaves the text.
    const std::pair<uint32_t, const char*> texts[] = {
        {3, "通信ドライバと接続"}, {1, "通信ドライバと認証中"}, {2, "通信ドライバと切断中"}};
    for (const auto& [code, text] : texts) {
        messenger.sendAttach(code);
        loop.pump();
        EXPECT_EQ(view.linkStatus, text) << code;
    }
    int updates = view.lampUpdates;
    app("CorvaneForTcp2000", "STREAMS");
    tick1(2);
    EXPECT_EQ(view.lampUpdates, updates) << "the lamps keep their last state while not attached";
    EXPECT_TRUE(view.lamps.listening[5]);
    // The messenger's hang-up loses the link; the user model is reset with it.
    messenger.sendAttach(0);
    app("CorvaneForTcp2000", "STREAMS", kPeer + ":1");
    messenger.dropConnection();
    loop.pump();
    EXPECT_EQ(view.linkStatus, "通信ドライバと未接続");
    EXPECT_EQ(view.user, "");
    EXPECT_EQ(view.userState, "");
}

// A port that cannot listen is named on the message line with its cure; the
// ports that fail while the message shows join it, by cause.
TEST_F(WindowLogicTest, APortThatCannotListenIsNamedOnTheMessageLine)
{
    int port = 0;
    const int taken = tcptest::listenOn(&port);
    ASSERT_GE(taken, 0);
    const std::string inUse = "ポート" + std::to_string(port) + "で待ち受けできません（他のプログラムが使用中です）";
    const std::string privileged = "で待ち受けできません（1024未満のポートには権限が必要です: docs/ports.md）";
    startWith("[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\n[CLIENT]\r\nGENPORT2="
              + std::to_string(port) + "\r\n");
    app("CorvaneForTcp2000", "STREAMS", kPeer + ":1");
    EXPECT_EQ(view.message, inUse);
    tick1();
    EXPECT_FALSE(view.lamps.listening[5]);
    logic->notifyListenFailed(21, EACCES);
    logic->notifyListenFailed(80, EACCES);
    logic->notifyListenFailed(21, EACCES);
    EXPECT_EQ(view.message, inUse + " ポート21、80" + privileged);
    tick1(WindowLogic::kMessageTicks);
    logic->notifyListenFailed(80, EACCES);
    EXPECT_EQ(view.message, "ポート80" + privileged);
    ::close(taken);
}

// The first stream up plays its sound once, and in a client broadcasts
// CORVANEOPEN once; the last one gone plays the other sound (closing asks
// only then: tests/ui). Throughput shows in a client only.
TEST_F(WindowLogicTest, StreamsSwitchTheViewPlayTheirSoundsOnceAndOnlyAClientBroadcasts)
{
    startWith(kServer);
    app("CorvaneForHttp000", "STREAMS", kPeer + ":1");
    EXPECT_TRUE(view.connected);
    EXPECT_FALSE(view.streamViewClient);
    app("CorvaneForCvs0000", "STREAMS", kPeer + ":2");
    app("CorvaneForHttp000", "STREAMS");
    EXPECT_TRUE(view.connected);
    app("CorvaneForCvs0000", "STREAMS");
    EXPECT_FALSE(view.connected);
    EXPECT_EQ(view.sounds, (Lines{"link up", "link down"}));
    EXPECT_EQ(view.broadcasts, 0);
    logic->notifyThroughput(0, 2048.0, 512.0);
    EXPECT_TRUE(view.throughput.empty()) << "a server shows no throughput";
    startWith(kClient4 + "[SYSTEM]\r\nENABLEPORT4=1\r\n[CLIENT]\r\nGENPORT1=0\r\n");
    app("CorvaneForTcp2000", "STREAMS", kPeer + ":1");
    EXPECT_EQ(view.broadcasts, 1);
    EXPECT_TRUE(view.streamViewClient);
    app("CorvaneForVnc0000", "STREAMS", kPeer + ":2");
    EXPECT_EQ(view.broadcasts, 1);
    EXPECT_EQ(view.sounds, (Lines{"link up"}));
    logic->notifyThroughput(4, 2048.0, 512.0);
    logic->notifyThroughput(5, 1.0, 1.0);
    logic->notifyThroughput(-1, 1.0, 1.0);
    EXPECT_EQ(view.throughput, (std::map<int, std::string>{{4, "S:2.0,R:0.5 [KB/S]"}}));
}

// Each settings handler applies at once and saves (every key's place in
// tests/core).
TEST_F(WindowLogicTest, SettingsApplyAndAreSavedAtOnce)
{
    startWith(kServer);
    deliver("USERS c@pc.test, a@pc.test");
    EXPECT_EQ(logic->contactHandles(), (Lines{"c@pc.test", "a@pc.test"}));
    logic->onServiceChecks({true, false, true, true, true});
    EXPECT_EQ(logic->settings().isServiceEnabled(1), 0);
    EXPECT_TRUE(saved("ENABLEPORT2=0"));
    for (int service = 1; service < 5; ++service)
        logic->onPortEdited(service, 8079 + service);
    EXPECT_TRUE(saved("HTTPPORT=8080\nCVSPORT=8081\nGENPORT1=8082\nGENPORT2=8083\n"));
    EXPECT_EQ(view.httpPortShown, 8080);
    logic->onPortEdited(0, 2121);  // the FTP port has no edit button
    EXPECT_EQ(logic->settings().getFtpPort(), 21);
    logic->onForwardSettings({"127.0.0.1", "server.test", "127.0.0.1", "127.0.0.1", "127.0.0.1"},
                             {2121, 80, 2401, 5900, 9023});
    EXPECT_TRUE(saved("FOWERDHOST2=server.test"));
    EXPECT_TRUE(saved("FOWERDPORT1=2121"));
    WindowLogic::SystemSettings accepted;
    accepted.appMode = 7;  // any nonzero value is the client application
    accepted.openWindow = 1;
    accepted.soundMode = 0;
    accepted.autoConnect = 1;
    accepted.acceptPolicy = 1;
    accepted.autoConnectUser = kPeer;
    view.soundsOn = true;
    logic->onSystemSettings(accepted);
    EXPECT_TRUE(view.streamViewClient);
    EXPECT_EQ(view.modeText, "Client Application 動作選択");
    EXPECT_FALSE(view.soundsOn);
    EXPECT_TRUE(saved("APPMODE=1\nENABLEUSER=1\n"));
    EXPECT_TRUE(saved("OPENWINDOW=1\nSOUNDMODE=0\n"));
    EXPECT_TRUE(saved("AUTOCONNECT=1\nAUTOCONNECTUSER=peer@pc-b.test\n"));
    logic->setSoundMode(1);
    EXPECT_TRUE(view.soundsOn);
}

}  // namespace
