// The main window's behaviour, once for both windows: the window logic
// against a view that records what it is told, the model on a hand-stepped
// event loop and a scripted messenger. Connect and disconnect with their
// messages, the user switch, the message countdown, automatic connect,
// lamps, the connected view with its sounds and broadcast, throughput,
// suspend, the link and contact texts and the settings saved.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "control/window_logic.h"
#include "control/window_view.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

constexpr const char* kPeer = "peer@pc-b.test";
const std::string kServer = "[SYSTEM]\r\nAPPMODE=0\r\n";
// A client whose services other than setting 4 are off; setting 4 listens on
// a port of the system's choice.
const std::string kClient4 =
    "[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\n"
    "ENABLEPORT4=0\r\n[CLIENT]\r\nGENPORT2=0\r\n";

Lines withWord(const Lines& lines, const std::string& word)
{
    Lines out;
    for (const auto& l : lines)
        if (l.find(word) != std::string::npos)
            out.push_back(l);
    return out;
}

// Records the last state of everything the logic shows.
class RecordingView : public WindowView {
public:
    void showVersionLine(const char* text) override { versionLine = text; }
    void showMessage(const char* text) override { message = text; }
    void clearMessage() override { message.clear(); }
    void showClock(const char* text) override { clock = text; }
    void showLamps(const Lamps& shown) override
    {
        lamps = shown;
        ++lampUpdates;
    }
    void showLinkStatus(const char* text) override { linkStatus = text; }
    void showSelectedUser(const char* handle, const char* stateText) override
    {
        user = handle;
        userState = stateText;
    }
    void showStreamView(bool isConnected, bool isClient) override
    {
        connected = isConnected;
        streamViewClient = isClient;
        ++streamViews;
    }
    void showThroughput(int service, const char* text, bool) override { throughput[service] = text; }
    void showLogLine(const char* line) override
    {
        std::lock_guard<std::mutex> lock(logMutex);
        logLines.emplace_back(line);
    }
    void showModeView(bool isClient, const char* text) override
    {
        modeViewClient = isClient;
        modeText = text;
    }
    void showModeLabel(const char* text) override { modeLabel = text; }
    void showSettings(QV_CONFIGURATION& settings) override
    {
        ++settingsShown;
        httpPortShown = settings.getHttpPort();
    }
    void showWindowAtStart(QV_CONFIGURATION&) override { ++windowStarts; }
    void setSoundsEnabled(bool on) override { soundsOn = on; }
    void playLinkUpSound() override { sounds.push_back("link up"); }
    void playLinkDownSound() override { sounds.push_back("link down"); }
    void playUserConnectableSound() override { sounds.push_back("connectable"); }
    void playUserNotConnectableSound() override { sounds.push_back("not connectable"); }
    bool broadcastOpen() override
    {
        ++broadcasts;
        return true;
    }

    Lines log()
    {
        std::lock_guard<std::mutex> lock(logMutex);
        return logLines;
    }

    std::string versionLine, message, clock, linkStatus, user, userState, modeText, modeLabel;
    Lamps lamps;
    int lampUpdates = 0;
    bool connected = false;
    bool streamViewClient = false;
    int streamViews = 0;
    std::map<int, std::string> throughput;
    bool modeViewClient = false;
    int settingsShown = 0;
    int httpPortShown = 0;
    int windowStarts = 0;
    bool soundsOn = false;
    Lines sounds;
    int broadcasts = 0;

private:
    std::mutex logMutex;
    Lines logLines;
};

class WindowLogicTest : public ::testing::Test {
protected:
    void SetUp() override { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    void TearDown() override
    {
        logic.reset();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }

    // Writes the INI file, starts the logic and, when asked, attaches it to
    // the messenger with the peer as the only contact.
    void startWith(const std::string& ini, bool attach = true)
    {
        writeFile(dir.file("CorvaneForTcp.ini"), ini);
        logic = std::make_unique<WindowLogic>(view);
        logic->start();
        if (!attach)
            return;
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
        deliver(std::string("USERS ") + kPeer);
        messenger.take();
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }
    void tick1(int times = 1) { loop.fire(WindowLogic::kTimer1Ms, times); }
    void tick2(int times = 1) { loop.fire(WindowLogic::kTimer2Ms, times); }
    std::string ini() const { return readFile(dir.file("CorvaneForTcp.ini")); }

    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    RecordingView view;
    std::unique_ptr<WindowLogic> logic;
};

TEST_F(WindowLogicTest, StartShowsTheVersionLogsItAndRunsBothTimers)
{
    startWith(kServer + "SOUNDMODE=0\r\n", false);
    EXPECT_EQ(view.versionLine, "1-0-0-0  Powered by Quorvantine");
    ASSERT_FALSE(view.log().empty());
    EXPECT_NE(view.log().back().find("CorvaneForTCP 1-0-0-0"), std::string::npos) << view.log().back();
    EXPECT_FALSE(view.soundsOn);
    EXPECT_EQ(view.windowStarts, 1);
    EXPECT_GE(view.settingsShown, 1);
    EXPECT_EQ(view.streamViews, 1);
    EXPECT_FALSE(view.connected);
    EXPECT_FALSE(view.modeViewClient);
    EXPECT_EQ(view.modeText, "Sever Application 動作選択");
    EXPECT_EQ(view.modeLabel, "選択表示中ユーザの接続受付可");
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer1Ms), 1);
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer2Ms), 1);
    tick1();
    EXPECT_TRUE(std::regex_match(view.clock, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]"))) << view.clock;

    logic->stop();
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer1Ms), 0);
    EXPECT_EQ(loop.timerCount(WindowLogic::kTimer2Ms), 0);
}

TEST_F(WindowLogicTest, TheModeLabelOfEachApplicationAndPolicy)
{
    startWith("[SYSTEM]\r\nAPPMODE=0\r\nENABLEUSER=1\r\n", false);
    EXPECT_EQ(view.modeLabel, "コンタクトリストのユーザからの接続受付可");
    logic.reset();
    startWith("[SYSTEM]\r\nAPPMODE=1\r\n[CLIENT]\r\nAUTOCONNECT=1\r\n", false);
    EXPECT_EQ(view.modeLabel, "自動接続モード:1分毎に接続操作を行います");
    EXPECT_TRUE(view.modeViewClient);
    EXPECT_EQ(view.modeText, "Client Application 動作選択");
    logic.reset();
    startWith("[SYSTEM]\r\nAPPMODE=1\r\n[CLIENT]\r\nAUTOCONNECT=2\r\n", false);
    EXPECT_EQ(view.modeLabel, "手動接続モード:接続ボタンで接続してください");
}

TEST_F(WindowLogicTest, ConnectInAServerOnlyShowsTheRefusal)
{
    startWith(kServer);
    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    messenger.take();
    logic->onConnectButton();
    EXPECT_EQ(view.message, "サーバからの接続はできません");
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(WindowLogicTest, ConnectInAClientConnectsOrRefusesAndDisconnects)
{
    startWith(kClient4);
    logic->onConnectButton();
    EXPECT_EQ(view.message, std::string("現在選択中のユーザ") + kPeer + "は接続可能状態ではありません");
    EXPECT_TRUE(messenger.take().empty());

    deliver(std::string("APPLICATION CorvaneForTcp2000 CONNECTABLE ") + kPeer);
    messenger.take();
    logic->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForTcp2000 CONNECT ") + kPeer}));
    EXPECT_EQ(view.message, std::string(kPeer) + "へのSKYPE STREAM接続操作を行いました");

    deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
    EXPECT_TRUE(view.connected);
    EXPECT_TRUE(logic->isStreamUp());
    logic->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForTcp2000 DISCONNECT ") + kPeer + ":1"}));
    EXPECT_EQ(view.message, std::string(kPeer) + "へのSKYPE STREAM切断操作を行いました");
}

TEST_F(WindowLogicTest, WhileConnectedTheButtonDisconnectsAlsoInAServer)
{
    startWith(kServer);
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    messenger.take();
    logic->onConnectButton();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForHttp000 DISCONNECT ") + kPeer + ":1"}));
    EXPECT_EQ(view.message, std::string(kPeer) + "へのSKYPE STREAM切断操作を行いました");
}

TEST_F(WindowLogicTest, UserSwitchInAutomaticConnectModeOnlyShowsItsRefusal)
{
    startWith(kServer + "[CLIENT]\r\nAUTOCONNECT=1\r\n");
    deliver("USERS first@pc.test, second@pc.test");
    messenger.take();
    EXPECT_EQ(view.user, "first@pc.test");
    logic->onUserSwitch();
    EXPECT_EQ(view.message, "自動接続モードです。ユーザの切り替えはできません。");
    EXPECT_EQ(view.user, "first@pc.test");
    EXPECT_TRUE(view.sounds.empty());
}

TEST_F(WindowLogicTest, UserSwitchMovesToTheNextContactWithItsSound)
{
    startWith(kServer);
    deliver("USERS first@pc.test, second@pc.test");
    deliver("APPLICATION CorvaneForHttp000 CONNECTABLE second@pc.test");
    messenger.take();
    logic->onUserSwitch();
    EXPECT_EQ(view.user, "second@pc.test");
    EXPECT_EQ(view.sounds, (Lines{"connectable"}));
    logic->onUserSwitch();
    EXPECT_EQ(view.user, "first@pc.test");
    EXPECT_EQ(view.sounds, (Lines{"connectable", "not connectable"}));
    EXPECT_TRUE(view.message.empty());
}

TEST_F(WindowLogicTest, AMessageClearsAfterSixTicksOfTimer1)
{
    startWith(kServer);
    logic->onConnectButton();
    for (int tick = 1; tick <= 5; ++tick) {
        tick1();
        EXPECT_FALSE(view.message.empty()) << "cleared after " << tick << " ticks";
    }
    tick1();
    EXPECT_TRUE(view.message.empty());
    // A new message restarts the count.
    logic->onConnectButton();
    tick1(3);
    logic->onConnectButton();
    tick1(5);
    EXPECT_FALSE(view.message.empty());
    tick1();
    EXPECT_TRUE(view.message.empty());
}

TEST_F(WindowLogicTest, AutomaticConnectOnceAMinuteWhileTheUserIsConnectable)
{
    startWith(std::string("[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=1\r\nENABLEPORT3=0\r\n"
                          "ENABLEPORT4=0\r\nENABLEPORT5=0\r\n[CLIENT]\r\nHTTPPORT=0\r\nAUTOCONNECT=1\r\n"
                          "AUTOCONNECTUSER=")
              + kPeer + "\r\n");
    tick2(5);
    EXPECT_TRUE(withWord(messenger.take(), " CONNECT ").empty()) << "not connectable yet";

    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    tick2();
    EXPECT_EQ(withWord(messenger.take(), " CONNECT "),
              (Lines{std::string("ALTER APPLICATION CorvaneForHttp000 CONNECT ") + kPeer}));
    EXPECT_EQ(view.message, std::string(kPeer) + "へのSKYPE STREAM接続操作を行いました");

    tick2(WindowLogic::kAutoConnectTicks);
    EXPECT_TRUE(withWord(messenger.take(), " CONNECT ").empty());
    tick2();
    EXPECT_EQ(withWord(messenger.take(), " CONNECT ").size(), 1u) << "the next connect a minute later";
}

TEST_F(WindowLogicTest, AutomaticConnectWaitsWhileSuspendedAndOnlyInAClient)
{
    const std::string autoUser = std::string("AUTOCONNECT=1\r\nAUTOCONNECTUSER=") + kPeer + "\r\n";
    startWith(kClient4 + autoUser);
    deliver(std::string("APPLICATION CorvaneForTcp2000 CONNECTABLE ") + kPeer);
    messenger.take();
    logic->onSuspend();
    tick2(3);
    EXPECT_TRUE(withWord(messenger.take(), " CONNECT ").empty());
    logic->onResume();
    tick2();
    EXPECT_EQ(withWord(messenger.take(), " CONNECT ").size(), 1u);

    logic.reset();
    startWith(kServer + "[CLIENT]\r\n" + autoUser);
    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    messenger.take();
    tick2(3);
    EXPECT_TRUE(withWord(messenger.take(), " CONNECT ").empty()) << "a server never connects";
}

TEST_F(WindowLogicTest, SuspendDisconnectsOnceUntilResume)
{
    startWith(kServer);
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    messenger.take();
    logic->onSuspend();
    logic->onSuspend();
    loop.pump();
    EXPECT_EQ(withWord(messenger.take(), "DISCONNECT").size(), 1u);
    EXPECT_EQ(view.message, "SKYPE STREAM切断操作を行いました");
    EXPECT_EQ(logic->isSuspended(), 1);
    logic->onResume();
    EXPECT_EQ(logic->isSuspended(), 0);
    logic->onSuspend();
    EXPECT_EQ(withWord(messenger.take(), "DISCONNECT").size(), 1u);
}

TEST_F(WindowLogicTest, TheEndOfTheSessionDisconnectsEveryTime)
{
    startWith(kServer);
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    messenger.take();
    logic->onEndSession();
    EXPECT_EQ(withWord(messenger.take(), "DISCONNECT").size(), 1u);
    EXPECT_EQ(view.message, "SKYPE STREAM切断操作を行いました");
    EXPECT_EQ(logic->isSuspended(), 0);
}

TEST_F(WindowLogicTest, LampsFollowTheModelOnlyWhileAttached)
{
    startWith(kClient4);
    deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
    tick1();
    EXPECT_TRUE(view.lamps.listening[5]);  // setting 4
    EXPECT_FALSE(view.lamps.connected[5]);
    EXPECT_FALSE(view.lamps.peerConnected[5]);
    EXPECT_FALSE(view.lamps.listening[0]);  // FTP control
    EXPECT_FALSE(view.lamps.listening[1]);  // FTP data
    // Refused attach (status 3): the lamps keep their last state.
    messenger.sendAttach(2);
    loop.pump();
    EXPECT_EQ(view.linkStatus, "通信ドライバと切断中");
    int updates = view.lampUpdates;
    deliver("APPLICATION CorvaneForTcp2000 STREAMS ");
    tick1(2);
    EXPECT_EQ(view.lampUpdates, updates);
    EXPECT_TRUE(view.lamps.listening[5]);
}

TEST_F(WindowLogicTest, AServerStreamPlaysItsSoundsOnceAndNeverBroadcasts)
{
    startWith(kServer);
    EXPECT_FALSE(view.connected);
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    EXPECT_TRUE(view.connected);
    EXPECT_EQ(view.sounds, (Lines{"link up"}));
    // A second service coming up plays nothing.
    deliver(std::string("APPLICATION CorvaneForCvs0000 STREAMS ") + kPeer + ":2");
    deliver("APPLICATION CorvaneForHttp000 STREAMS ");
    EXPECT_TRUE(view.connected);
    EXPECT_EQ(view.sounds, (Lines{"link up"}));
    deliver("APPLICATION CorvaneForCvs0000 STREAMS ");
    EXPECT_FALSE(view.connected);
    EXPECT_FALSE(logic->isStreamUp());
    EXPECT_EQ(view.sounds, (Lines{"link up", "link down"}));
    EXPECT_EQ(view.broadcasts, 0);
}

TEST_F(WindowLogicTest, AClientBroadcastsOnceWhenItsFirstStreamComesUp)
{
    startWith(kClient4 + "[SYSTEM]\r\nENABLEPORT4=1\r\n[CLIENT]\r\nGENPORT1=0\r\n");
    deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
    EXPECT_EQ(view.broadcasts, 1);
    EXPECT_TRUE(view.streamViewClient);
    deliver(std::string("APPLICATION CorvaneForVnc0000 STREAMS ") + kPeer + ":2");
    EXPECT_EQ(view.broadcasts, 1);
    EXPECT_EQ(view.sounds, (Lines{"link up"}));
}

TEST_F(WindowLogicTest, ClosingAsksOnlyWhileAStreamExists)
{
    startWith(kServer);
    EXPECT_FALSE(logic->asksBeforeClosing());
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    EXPECT_TRUE(logic->asksBeforeClosing());
}

TEST_F(WindowLogicTest, ThroughputShowsInTheClientInKilobytesForServices0To4)
{
    startWith(kClient4, false);
    logic->notifyThroughput(4, 2048.0, 512.0);
    EXPECT_EQ(view.throughput[4], "S:2.0,R:0.5 [KB/S]");
    logic->notifyThroughput(5, 1.0, 1.0);
    logic->notifyThroughput(-1, 1.0, 1.0);
    EXPECT_EQ(view.throughput.size(), 1u);
    logic.reset();
    view.throughput.clear();
    startWith(kServer, false);
    logic->notifyThroughput(0, 2048.0, 512.0);
    EXPECT_TRUE(view.throughput.empty()) << "a server shows no throughput";
}

TEST_F(WindowLogicTest, TheStatusAndContactTextsFollowTheLink)
{
    startWith(kServer);
    EXPECT_EQ(view.linkStatus, "通信ドライバと接続");
    EXPECT_EQ(view.user, kPeer);
    EXPECT_EQ(view.userState, "オフライン");
    deliver(std::string("USER ") + kPeer + " ONLINESTATUS ONLINE");
    deliver(std::string("APPLICATION CorvaneForHttp000 CONNECTABLE ") + kPeer);
    EXPECT_EQ(view.userState, "接続可能");
    deliver("APPLICATION CorvaneForHttp000 CONNECTABLE ");
    EXPECT_EQ(view.userState, "オンライン");
    // Status 4 (no messenger API) leaves the text as it was.
    messenger.sendAttach(3);
    loop.pump();
    EXPECT_EQ(view.linkStatus, "通信ドライバと接続");
    // The messenger's hang-up loses the link; the user model is reset with it.
    messenger.sendAttach(0);
    deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
    messenger.dropConnection();
    loop.pump();
    EXPECT_EQ(view.linkStatus, "通信ドライバと未接続");
    EXPECT_EQ(view.user, "");
    EXPECT_EQ(view.userState, "");
}

TEST_F(WindowLogicTest, ServiceChecksAndPortEditsAreSavedAtOnce)
{
    startWith(kServer, false);
    int shown = view.settingsShown;
    logic->onServiceChecks({true, false, true, true, true});
    EXPECT_EQ(logic->settings().isServiceEnabled(1), 0);
    std::string saved = ini();
    EXPECT_NE(saved.find("ENABLEPORT2=0"), std::string::npos) << saved;
    EXPECT_NE(saved.find("ENABLEPORT1=1"), std::string::npos) << saved;

    logic->onPortEdited(1, 8080);
    EXPECT_EQ(view.httpPortShown, 8080);
    EXPECT_GT(view.settingsShown, shown);
    EXPECT_NE(ini().find("HTTPPORT=8080"), std::string::npos);
    logic->onPortEdited(4, 9999);
    EXPECT_NE(ini().find("GENPORT2=9999"), std::string::npos);
    // The FTP port has no edit button.
    logic->onPortEdited(0, 2121);
    EXPECT_EQ(logic->settings().getFtpPort(), 21);
}

TEST_F(WindowLogicTest, AcceptedSystemSettingsApplyAndAreSaved)
{
    startWith(kServer, false);
    WindowLogic::SystemSettings accepted;
    accepted.appMode = 7;  // any nonzero value is the client application
    accepted.openWindow = 1;
    accepted.soundMode = 0;
    accepted.autoConnect = 1;
    accepted.acceptPolicy = 1;
    accepted.autoConnectUser = kPeer;
    view.soundsOn = true;
    logic->onSystemSettings(accepted);
    EXPECT_EQ(logic->settings().isClientMode(), 1);
    EXPECT_TRUE(view.modeViewClient);
    EXPECT_EQ(view.modeText, "Client Application 動作選択");
    EXPECT_EQ(view.modeLabel, "自動接続モード:1分毎に接続操作を行います");
    EXPECT_FALSE(view.soundsOn);
    std::string saved = ini();
    for (const char* key : {"APPMODE=1", "OPENWINDOW=1", "SOUNDMODE=0", "AUTOCONNECT=1",
                            "AUTOCONNECTUSER=peer@pc-b.test", "ENABLEUSER=1"})
        EXPECT_NE(saved.find(key), std::string::npos) << key << "\n" << saved;

    accepted.soundMode = 1;
    logic->setSoundMode(1);
    EXPECT_TRUE(view.soundsOn);
}

TEST_F(WindowLogicTest, AcceptedForwardSettingsAreSaved)
{
    startWith(kServer, false);
    std::array<std::string, kServiceCount> hosts = {"127.0.0.1", "server.test", "127.0.0.1", "127.0.0.1", "127.0.0.1"};
    std::array<int, kServiceCount> ports = {2121, 80, 2401, 5900, 9023};
    logic->onForwardSettings(hosts, ports);
    EXPECT_EQ(logic->settings().getForwardPort(0), 2121);
    std::string saved = ini();
    EXPECT_NE(saved.find("FOWERDHOST2=server.test"), std::string::npos) << saved;
    EXPECT_NE(saved.find("FOWERDPORT1=2121"), std::string::npos) << saved;
}

TEST_F(WindowLogicTest, TheContactsOfTheSettingsDialogComeThroughTheController)
{
    startWith(kServer);
    deliver("USERS c@pc.test, a@pc.test");
    EXPECT_EQ(logic->contactHandles(), (Lines{"c@pc.test", "a@pc.test"}));
}

}  // namespace
